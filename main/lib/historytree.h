// The read-only overview of both histories in the main window's tree.
#pragma once

#include <QIcon>
#include <QList>
#include <QObject>

class QLineEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace korvex {

// The tree's pictures, numbered from 1: a history node collapsed, a history
// node expanded, a mail.
class ImageList : public QObject {
  Q_OBJECT
public:
  explicit ImageList(QObject *parent = nullptr);
  static constexpr int NodeCollapsed = 1, NodeExpanded = 2, MailImage = 3;
  QIcon image(int index) const;
  int count() const { return int(images_.size()); }

private:
  QList<QIcon> images_;
};

// The image number a tree node shows (0 when none was set).
int nodeImage(const QTreeWidgetItem *node);
void setNodeImage(QTreeWidgetItem *node, const ImageList &images, int index);

// Fills the tree once: "着信履歴" with one child per received record (its
// trimmed subject), then "送信履歴" likewise for the sent history. The node
// texts pass through the two working fields. Creates a missing history file,
// empty.
// Each history's last node is brought into view, its history opened.
void fillHistoryTree(QTreeWidget *tree, const ImageList &images, QLineEdit *receivedField,
                     QLineEdit *sentField);

// A node's number in the order the nodes were added, from 1 ("着信履歴" is
// 1, "送信履歴" is n + 2 for n received mails); 0 for a node not in a tree.
int nodeIndex(const QTreeWidgetItem *node);

} // namespace korvex

// The read-only overview of both histories in the main window's tree.
#pragma once

#include "mail/store/history.h"
#include "mail/store/mailrecord.h"

#include <QAbstractItemModel>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QObject>

#include <memory>

class QLineEdit;
class QTreeView;

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

// The two histories as a tree of two levels: "着信履歴" and "送信履歴", each
// with one line per record (its trimmed subject) and, for a history longer
// than the list reaches, a last line saying how many are left out. The tree
// shows the histories as they were at start for the whole run; the subjects
// are read from the history file as it was then (mail::HistorySubjects) as
// the view asks for their lines, a block at a time: a full history is 32,766 lines, and building an item for
// each, or even reading every subject, made the start several times slower
// than with empty histories.
class HistoryTreeModel : public QAbstractItemModel {
  Q_OBJECT
public:
  static constexpr int ImageRole = Qt::UserRole + 1;

  HistoryTreeModel(const ImageList &images, QObject *parent = nullptr);
  // Appends a history node for the first `listed` records of `subjects`, each
  // line cut to `lineLength` characters, and `leftOut` as a last line when
  // it is not empty.
  QModelIndex addHistory(const QString &caption, std::shared_ptr<const mail::HistorySubjects> subjects,
                         int listed, qsizetype lineLength, const QString &leftOut);
  void setImage(const QModelIndex &node, int image);

  QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
  QModelIndex parent(const QModelIndex &child) const override;
  int rowCount(const QModelIndex &parent = {}) const override;
  int columnCount(const QModelIndex &parent = {}) const override;
  QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
  static constexpr int BlockLines = 512;
  struct Node {
    QString caption;
    int image = 0;
    std::shared_ptr<const mail::HistorySubjects> subjects; // the history as the start saw it
    int listed = 0;
    qsizetype lineLength = 0;
    QString leftOut;
    QHash<int, QList<QString>> blocks; // subjects read so far, by block
  };
  QString line(Node &node, int row) const;
  // Internal ids: 0 for a history node, its number + 1 for its lines.
  const ImageList &images_;
  mutable QList<Node> nodes_;
};

// The image number a tree node shows (0 when none was set).
int nodeImage(const QModelIndex &node);
void setNodeImage(QAbstractItemModel *model, const QModelIndex &node, int image);

// Fills the tree once: "着信履歴" with one child per received record (its
// trimmed subject), then "送信履歴" likewise for the sent history. The node
// texts pass through the two working fields. Creates a missing history file,
// empty.
// Each history's last node is brought into view, its history opened.
void fillHistoryTree(QTreeView *tree, const ImageList &images, QLineEdit *receivedField,
                     QLineEdit *sentField);

// A node's number in the order the nodes were added, from 1 ("着信履歴" is
// 1, "送信履歴" is n + 2 for n received mails); 0 for a node not in a tree.
int nodeIndex(const QModelIndex &node);

} // namespace korvex

#include "main/lib/historytree.h"

#include "mail/history.h"
#include "platform/core/recordfile.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QStyle>
#include <QTreeWidget>

namespace korvex {

namespace {
constexpr int ImageRole = Qt::UserRole + 1;

QTreeWidgetItem *addHistory(QTreeWidget *tree, const ImageList &images, mail::History which,
                            const QString &caption, QLineEdit *field) {
  auto *top = new QTreeWidgetItem(tree, QStringList(caption));
  setNodeImage(top, images, ImageList::NodeExpanded);
  // Opening a history creates it, empty, when it is missing.
  platform::RecordFile(mail::historyPath(which), mail::MailLayout::RecordLength).ensureExists();
  const QList<QString> subjects = mail::readHistorySubjects(which);
  QList<QTreeWidgetItem *> children;
  children.reserve(subjects.size());
  // Each text passes through the working field as the field keeps it (at
  // most its maximum length). Setting the field once per record would lay
  // its text out tens of thousands of times for the same end state: the
  // field holding the last subject.
  const qsizetype fieldLength = field->maxLength();
  for (const QString &subject : subjects) {
    auto *child = new QTreeWidgetItem(QStringList(subject.left(fieldLength)));
    setNodeImage(child, images, ImageList::MailImage);
    children.append(child);
  }
  if (!subjects.isEmpty())
    field->setText(subjects.constLast());
  // One insertion keeps a history of tens of thousands of mails quick.
  top->addChildren(children);
  return top;
}
} // namespace

ImageList::ImageList(QObject *parent) : QObject(parent) {
  QStyle *style = QApplication::style();
  images_ = {style->standardIcon(QStyle::SP_DirClosedIcon),
             style->standardIcon(QStyle::SP_DirOpenIcon), style->standardIcon(QStyle::SP_FileIcon)};
}

QIcon ImageList::image(int index) const {
  if (index < 1 || index > images_.size())
    return {};
  return images_.at(index - 1);
}

int nodeImage(const QTreeWidgetItem *node) {
  return node ? node->data(0, ImageRole).toInt() : 0;
}

void setNodeImage(QTreeWidgetItem *node, const ImageList &images, int index) {
  if (!node)
    return;
  node->setData(0, ImageRole, index);
  node->setIcon(0, images.image(index));
}

namespace {

// A history with more records than the tree lists (record numbers stop at
// 32766) gets a last line saying how many it leaves out, so that a long
// history never looks complete when it is not.
void noteLeftOut(QTreeWidgetItem *top, mail::History which) {
  const qint64 inFile = QFileInfo(mail::historyPath(which)).size() / mail::MailLayout::RecordLength;
  const qint64 left = inFile - top->childCount();
  if (left <= 0)
    return;
  top->addChild(new QTreeWidgetItem(
      QStringList(QStringLiteral("（ほかに%1件あります。一覧に表示できるのは%2件までです）")
                      .arg(left)
                      .arg(mail::MailLayout::MaxRecords))));
}

// The last node added: the history's last mail, or the history itself
// when it holds none. Bringing it into view opens its history, which the
// history node's image (opened) already shows.
void showLastNode(QTreeWidget *tree, QTreeWidgetItem *top) {
  QTreeWidgetItem *last = top->childCount() > 0 ? top->child(top->childCount() - 1) : top;
  tree->scrollToItem(last);
}

} // namespace

void fillHistoryTree(QTreeWidget *tree, const ImageList &images, QLineEdit *receivedField,
                     QLineEdit *sentField) {
  // Rows of one height keep tens of thousands of mails quick to lay out.
  tree->setUniformRowHeights(true);
  QTreeWidgetItem *received =
      addHistory(tree, images, mail::History::Received, QStringLiteral("着信履歴"), receivedField);
  noteLeftOut(received, mail::History::Received);
  showLastNode(tree, received);
  QTreeWidgetItem *sent =
      addHistory(tree, images, mail::History::Sent, QStringLiteral("送信履歴"), sentField);
  noteLeftOut(sent, mail::History::Sent);
  showLastNode(tree, sent);
}

int nodeIndex(const QTreeWidgetItem *node) {
  if (!node || !node->treeWidget())
    return 0;
  // Nodes are numbered from 1 in the order they were added: each history
  // node, then its mails.
  int index = 1;
  const QTreeWidget *tree = node->treeWidget();
  for (int t = 0; t < tree->topLevelItemCount(); ++t) {
    const QTreeWidgetItem *top = tree->topLevelItem(t);
    if (top == node)
      return index;
    if (node->parent() == top)
      return index + 1 + top->indexOfChild(const_cast<QTreeWidgetItem *>(node));
    index += 1 + top->childCount();
  }
  return 0;
}

} // namespace korvex

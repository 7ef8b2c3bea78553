#include "main/lib/historytree.h"

#include "platform/core/recordfile.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QStyle>
#include <QTreeView>

namespace korvex {

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

HistoryTreeModel::HistoryTreeModel(const ImageList &images, QObject *parent)
    : QAbstractItemModel(parent), images_(images) {}

QModelIndex HistoryTreeModel::addHistory(const QString &caption,
                                         std::shared_ptr<const mail::HistorySubjects> subjects,
                                         int listed, qsizetype lineLength, const QString &leftOut) {
  const int row = int(nodes_.size());
  beginInsertRows({}, row, row);
  Node node;
  node.caption = caption;
  node.image = ImageList::NodeExpanded;
  node.subjects = std::move(subjects);
  node.listed = listed;
  node.lineLength = lineLength;
  node.leftOut = leftOut;
  nodes_.append(std::move(node));
  endInsertRows();
  return index(row, 0);
}

QString HistoryTreeModel::line(Node &node, int row) const {
  if (row >= node.listed)
    return node.leftOut;
  const int block = row / BlockLines;
  auto it = node.blocks.find(block);
  if (it == node.blocks.end())
    it = node.blocks.insert(
        block, node.subjects->read(block * BlockLines + 1, BlockLines));
  return it->value(row % BlockLines).left(node.lineLength);
}

void HistoryTreeModel::setImage(const QModelIndex &node, int image) {
  if (!node.isValid() || node.model() != this || node.internalId() != 0)
    return;
  nodes_[node.row()].image = image;
  Q_EMIT dataChanged(node, node, {Qt::DecorationRole, ImageRole});
}

QModelIndex HistoryTreeModel::index(int row, int column, const QModelIndex &parent) const {
  if (column != 0 || row < 0)
    return {};
  if (!parent.isValid())
    return row < nodes_.size() ? createIndex(row, 0, quintptr(0)) : QModelIndex();
  if (parent.internalId() != 0 || row >= rowCount(parent))
    return {};
  return createIndex(row, 0, quintptr(parent.row() + 1));
}

QModelIndex HistoryTreeModel::parent(const QModelIndex &child) const {
  if (!child.isValid() || child.internalId() == 0)
    return {};
  return createIndex(int(child.internalId() - 1), 0, quintptr(0));
}

int HistoryTreeModel::rowCount(const QModelIndex &parent) const {
  if (!parent.isValid())
    return int(nodes_.size());
  if (parent.internalId() != 0)
    return 0;
  const Node &node = nodes_[parent.row()];
  return node.listed + (node.leftOut.isEmpty() ? 0 : 1);
}

int HistoryTreeModel::columnCount(const QModelIndex &) const {
  return 1;
}

QVariant HistoryTreeModel::data(const QModelIndex &index, int role) const {
  if (!index.isValid())
    return {};
  const bool top = index.internalId() == 0;
  Node &node = nodes_[top ? index.row() : int(index.internalId() - 1)];
  // Only lines that are a mail show the mail's picture; the note of how many
  // are left out has none.
  const int image = top ? node.image : (index.row() < node.listed ? ImageList::MailImage : 0);
  switch (role) {
  case Qt::DisplayRole:
    return top ? node.caption : line(node, index.row());
  case Qt::DecorationRole:
    return images_.image(image);
  case ImageRole:
    return image;
  default:
    return {};
  }
}

int nodeImage(const QModelIndex &node) {
  return node.data(HistoryTreeModel::ImageRole).toInt();
}

void setNodeImage(QAbstractItemModel *model, const QModelIndex &node, int image) {
  if (auto *tree = qobject_cast<HistoryTreeModel *>(model))
    tree->setImage(node, image);
}

namespace {

// Adds a history's node: its records as lines (as many as record numbers
// reach, 32766), and for a history with more records a last line saying how
// many it leaves out, so that a long history never looks complete when it
// is not. Each line is the subject as the working field keeps it (at most
// its maximum length), and the field ends holding the last subject, as when
// every line's text passed through it.
QModelIndex addHistory(HistoryTreeModel *model, const QString &caption, mail::History which,
                       QLineEdit *field) {
  // Opening a history creates it, empty, when it is missing.
  platform::RecordFile(mail::historyPath(which), mail::MailLayout::RecordLength).ensureExists();
  auto subjects = std::make_shared<const mail::HistorySubjects>(which);
  const int listed = subjects->count();
  if (listed > 0)
    field->setText(subjects->read(listed, 1).value(0).left(field->maxLength()));
  const qint64 inFile = QFileInfo(mail::historyPath(which)).size() / mail::MailLayout::RecordLength;
  const qint64 left = inFile - listed;
  const QString leftOut =
      left > 0 ? QStringLiteral("（ほかに%1件あります。一覧に表示できるのは%2件までです）")
                     .arg(left)
                     .arg(mail::MailLayout::MaxRecords)
               : QString();
  return model->addHistory(caption, std::move(subjects), listed, field->maxLength(), leftOut);
}

// The last node added: the history's last line, or the history itself
// when it has none. Bringing it into view opens its history, which the
// history node's image (opened) already shows.
void showLastNode(QTreeView *tree, const QModelIndex &top) {
  const int lines = tree->model()->rowCount(top);
  const QModelIndex last = lines > 0 ? tree->model()->index(lines - 1, 0, top) : top;
  tree->scrollTo(last);
}

} // namespace

void fillHistoryTree(QTreeView *tree, const ImageList &images, QLineEdit *receivedField,
                     QLineEdit *sentField) {
  // Rows of one height keep tens of thousands of mails quick to lay out.
  tree->setUniformRowHeights(true);
  auto *model = new HistoryTreeModel(images, tree);
  tree->setModel(model);
  const QModelIndex received =
      addHistory(model, QStringLiteral("着信履歴"), mail::History::Received, receivedField);
  showLastNode(tree, received);
  const QModelIndex sent =
      addHistory(model, QStringLiteral("送信履歴"), mail::History::Sent, sentField);
  showLastNode(tree, sent);
}

int nodeIndex(const QModelIndex &node) {
  if (!node.isValid())
    return 0;
  // Nodes are numbered from 1 in the order they were added: each history
  // node, then its mails.
  const QAbstractItemModel *model = node.model();
  int index = 1;
  for (int t = 0; t < model->rowCount(); ++t) {
    const QModelIndex top = model->index(t, 0);
    if (top == node)
      return index;
    if (node.parent() == top)
      return index + 1 + node.row();
    index += 1 + model->rowCount(top);
  }
  return 0;
}

} // namespace korvex

#include "mail/historylist.h"

#include "mail/store/history.h"

#include <QHash>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QMouseEvent>

#include <algorithm>

namespace mail {

namespace {
// Rows whose texts are read together when one of them is first shown: about
// a few screens of the list, in one pass over their short fields.
constexpr int ReadBlock = 128;
} // namespace

QString historyRowText(History which, const QString &subject, const QString &info1,
                       const QString &info2) {
  const QString gap(4, u' ');
  const QString date = which == History::Received ? info2 : info1;
  const QString middle = which == History::Received ? info1 : info2;
  return date + gap + middle + gap + subject;
}

int HistoryRowModel::rowCount(const QModelIndex &parent) const {
  return parent.isValid() ? 0 : int(sources_.size());
}

QVariant HistoryRowModel::data(const QModelIndex &index, int role) const {
  if (!index.isValid() || index.row() >= int(sources_.size()))
    return {};
  if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
    return text(index.row());
  return {};
}

void HistoryRowModel::setRows(std::vector<RowSource> sources) {
  beginResetModel();
  sources_ = std::move(sources);
  texts_.assign(sources_.size(), QString());
  known_.assign(sources_.size(), false);
  endResetModel();
}

void HistoryRowModel::clear() {
  setRows({});
}

int HistoryRowModel::append(const QString &text, RowSource source) {
  const int row = int(sources_.size());
  beginInsertRows({}, row, row);
  sources_.push_back(source);
  texts_.push_back(text);
  known_.push_back(true);
  endInsertRows();
  return row;
}

void HistoryRowModel::remove(int row) {
  if (row < 0 || row >= int(sources_.size()))
    return;
  beginRemoveRows({}, row, row);
  sources_.erase(sources_.begin() + row);
  texts_.erase(texts_.begin() + row);
  known_.erase(known_.begin() + row);
  endRemoveRows();
}

QString HistoryRowModel::text(int row) const {
  if (row < 0 || row >= int(sources_.size()))
    return {};
  if (!known_[row])
    readTexts(row);
  return texts_[row];
}

RowSource HistoryRowModel::source(int row) const {
  if (row < 0 || row >= int(sources_.size()))
    return {};
  return sources_[row];
}

void HistoryRowModel::setSource(int row, RowSource source) {
  if (row >= 0 && row < int(sources_.size()))
    sources_[row] = source;
}

void HistoryRowModel::readTexts(int row) const {
  // The rows of the same history from a little above this one down: a view
  // scrolling either way finds the next rows read.
  const History which = sources_[row].history;
  const int first = std::max(0, row - ReadBlock / 4);
  const int end = std::min(int(sources_.size()), first + ReadBlock);
  QList<int> records;
  for (int i = first; i < end; ++i)
    if (!known_[i] && sources_[i].history == which && sources_[i].record > 0)
      records.append(sources_[i].record);
  QHash<int, QString> byRecord;
  for (const HistoryHeading &h : readHistoryHeadings(which, &records))
    byRecord.insert(h.record, historyRowText(which, h.Subject, h.Info1, h.Info2));
  for (int i = first; i < end; ++i) {
    if (known_[i] || sources_[i].history != which)
      continue;
    // A record no longer in the file shows an empty row rather than another
    // mail's text.
    texts_[i] = byRecord.value(sources_[i].record);
    known_[i] = true;
  }
  known_[row] = true;
}

QString HistoryRow::text() const {
  return list_ ? list_->rows()->text(row_) : QString();
}

bool HistoryRow::isSelected() const {
  return list_ && list_->selectionModel()->isSelected(list_->rows()->index(row_));
}

HistoryList::HistoryList(QWidget *parent) : QListView(parent), model_(new HistoryRowModel(this)) {
  setModel(model_);
  // Every row is one line of the same font: the view lays out tens of
  // thousands of rows without asking each for its size.
  setUniformItemSizes(true);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
}

HistoryRow HistoryList::item(int row) const {
  if (row < 0 || row >= count())
    return {};
  return HistoryRow(this, row);
}

int HistoryList::currentRow() const {
  return currentIndex().row();
}

void HistoryList::setCurrentRow(int row) {
  const QModelIndex index = model_->index(row, 0);
  if (selectionMode() == QAbstractItemView::NoSelection)
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
  else
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
}

QList<HistoryRow> HistoryList::selectedItems() const {
  QList<HistoryRow> out;
  for (const QModelIndex &index : selectionModel()->selectedIndexes())
    out.append(HistoryRow(this, index.row()));
  return out;
}

QRect HistoryList::visualItemRect(const HistoryRow &item) const {
  return item ? visualRect(model_->index(item.row(), 0)) : QRect();
}

void HistoryList::mousePressEvent(QMouseEvent *event) {
  // A press below the last row keeps the selected row, as a list box does;
  // the view would drop the selection, leaving nothing for the commands.
  if (indexAt(event->position().toPoint()).isValid())
    QListView::mousePressEvent(event);
  else
    setFocus(Qt::MouseFocusReason);
  Q_EMIT mouseDown();
}

void HistoryList::keyPressEvent(QKeyEvent *event) {
  const int before = currentRow();
  QListView::keyPressEvent(event);
  if (currentRow() != before && currentRow() >= 0)
    Q_EMIT keySelect();
}

} // namespace mail

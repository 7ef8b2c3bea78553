// The viewer's list of history rows: a list view over a model that holds
// what each row stands for and makes a row's text only when the view asks
// for it (a row that scrolls into view), so a list of tens of thousands of
// mails is filled in the time of a few.
//
// The list keeps the calls of a list box that the viewer and its callers use
// (count, item(i)->text(), setCurrentRow, selectedItems, visualItemRect).
#pragma once

#include "mail/store/mailrecord.h"

#include <QAbstractListModel>
#include <QListView>

#include <vector>

namespace mail {

// Which record a row stands for. Rows filled from a file stand for that
// file's records; rows a check adds stand for received records whatever
// history the window shows.
struct RowSource {
  History history = History::Received;
  int record = 0; // 0: stands for nothing (yet)
};

// The row text of a record's short fields as the list shows it: date, sender
// or recipient, subject, as the record's history means them.
QString historyRowText(History which, const QString &subject, const QString &info1,
                       const QString &info2);

// The rows. A row filled from a history knows its record only; its text is
// read from the file (the short fields, a block of rows at a time) when it is
// first shown, and kept. A row given its text keeps that text.
class HistoryRowModel : public QAbstractListModel {
  Q_OBJECT
public:
  using QAbstractListModel::QAbstractListModel;

  int rowCount(const QModelIndex &parent = {}) const override;
  QVariant data(const QModelIndex &index, int role) const override;

  // Every row of `sources`, in order, their texts read when shown.
  void setRows(std::vector<RowSource> sources);
  void clear();
  int append(const QString &text, RowSource source);
  void remove(int row);

  QString text(int row) const;
  RowSource source(int row) const;
  void setSource(int row, RowSource source);
  const std::vector<RowSource> &sources() const { return sources_; }

private:
  // Reads the texts of the rows around `row` that have none yet.
  void readTexts(int row) const;

  std::vector<RowSource> sources_;
  mutable std::vector<QString> texts_;
  mutable std::vector<bool> known_;
};

class HistoryList;

// A row of the list as a list box hands it out: its text and whether it is
// selected, for as long as the row is there. A null row (past the end) is
// false.
class HistoryRow {
public:
  HistoryRow() = default;
  HistoryRow(const HistoryList *list, int row) : list_(list), row_(row) {}
  explicit operator bool() const { return list_ != nullptr; }
  const HistoryRow *operator->() const { return this; }
  QString text() const;
  bool isSelected() const;
  int row() const { return row_; }

private:
  const HistoryList *list_ = nullptr;
  int row_ = -1;
};

// The list box of the viewer; reports every mouse-button press after the
// list has moved its selection, so the handler sees the row just pressed,
// and every key that moved the selection to another row.
class HistoryList : public QListView {
  Q_OBJECT
public:
  explicit HistoryList(QWidget *parent = nullptr);

  HistoryRowModel *rows() const { return model_; }

  int count() const { return model_->rowCount(); }
  HistoryRow item(int row) const;
  int row(const HistoryRow &item) const { return item ? item.row() : -1; }
  int currentRow() const;
  // Makes `row` the current and only selected row; -1 leaves none.
  void setCurrentRow(int row);
  QList<HistoryRow> selectedItems() const;
  QRect visualItemRect(const HistoryRow &item) const;

Q_SIGNALS:
  void mouseDown();
  void keySelect();

protected:
  void mousePressEvent(QMouseEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;

private:
  HistoryRowModel *model_;
};

} // namespace mail

// A thin hold on SQLite for the search index: a connection and a prepared
// statement, each closed with its object.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <sqlite3.h>

namespace mail::search {

// An open SQLite connection, closed with the object.
class Database {
public:
  explicit Database(const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    if (sqlite3_open_v2(name.constData(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
    }
  }
  ~Database() { sqlite3_close(db_); }
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;

  bool open() const { return db_ != nullptr; }
  sqlite3 *handle() const { return db_; }
  bool exec(const char *sql) const {
    return db_ && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // A damaged file, or one that is no database: the index is made anew.
  bool damaged() const {
    const int code = db_ ? sqlite3_errcode(db_) & 0xff : SQLITE_OK;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
  }

private:
  sqlite3 *db_ = nullptr;
};

// A prepared statement, finalized with the object.
class Statement {
public:
  Statement(const Database &db, const char *sql) {
    if (sqlite3_prepare_v2(db.handle(), sql, -1, &st_, nullptr) != SQLITE_OK)
      st_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(st_); }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  bool ok() const { return st_ != nullptr; }
  Statement &bind(int i, qint64 v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  Statement &bind(int i, const QByteArray &utf8) {
    sqlite3_bind_text(st_, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // True while there is a row; false at the end or on an error (see done()).
  bool step() {
    if (!st_)
      return false;
    last_ = sqlite3_step(st_);
    return last_ == SQLITE_ROW;
  }
  // Runs a statement that returns no rows, ready to be bound again.
  bool run() {
    const bool ok = st_ && sqlite3_step(st_) == SQLITE_DONE;
    if (st_)
      sqlite3_reset(st_);
    return ok;
  }
  bool done() const { return last_ == SQLITE_DONE; }
  qint64 integer(int column) const { return sqlite3_column_int64(st_, column); }
  QString string(int column) const {
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st_, column)),
                             sqlite3_column_bytes(st_, column));
  }
  void reset() { sqlite3_reset(st_); }

private:
  sqlite3_stmt *st_ = nullptr;
  int last_ = SQLITE_OK;
};

} // namespace mail::search

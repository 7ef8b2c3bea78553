// The one way a mail (or any file that must appear whole) is written: a new
// private file (0600) written a piece at a time, that takes its name only
// once it is whole.
#pragma once

#include <QByteArray>
#include <QString>

namespace platform {

class NewFile {
public:
  // A file to become `path`. Made without a name in the folder of `path`
  // where the system can (a write cut short, a kill, leaves nothing behind,
  // and making it holds no lock on the folder); then a file already at
  // `path` fails it at once, as making it there would. Elsewhere it is made
  // under `path` at once.
  explicit NewFile(const QString &path);
  // A file without a name in `folder`, to be given one by publishAs(); failed
  // where the system cannot make one.
  static NewFile unnamedIn(const QString &folder);
  NewFile(NewFile &&other) noexcept;
  NewFile &operator=(NewFile &&other) noexcept;
  NewFile(const NewFile &) = delete;
  NewFile &operator=(const NewFile &) = delete;
  // Discards a file that was neither published nor released.
  ~NewFile() { discard(); }

  // Appends `piece`; the disk starts on it at once (the flush that follows
  // waits less). False, and failed() from then on, when it could not.
  bool write(const QByteArray &piece) { return write(piece.constData(), piece.size()); }
  bool write(const char *data, qint64 size);
  // fsync of what was written.
  bool sync();
  // The whole file under `path`; false (and failed) when it cannot take the
  // name (one is there) or a write failed.
  bool publish() { return publishAs(QString()); }
  // The whole file under `other` instead, in the same file system: also
  // straight into another folder (a Maildir's new/), where nothing is there
  // until it is whole.
  bool publishAs(const QString &other);
  // Closes it; a file without a name, or one under its name but not
  // published, goes.
  void discard();
  // Hands the open descriptor over; the file stays as it is.
  int release();

  int fd() const { return fd_; }
  bool failed() const { return failed_; }
  bool unnamed() const { return unnamed_; }

private:
  NewFile() = default;
  QByteArray name_; // the name it takes, or has when made under it
  int fd_ = -1;
  bool unnamed_ = false;
  bool published_ = false;
  bool failed_ = false;
  qint64 offset_ = 0;
};

} // namespace platform

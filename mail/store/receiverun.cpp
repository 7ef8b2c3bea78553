#include "mail/store/receiverun.h"

#include "mail/store/history.h"
#include "mail/store/originals.h"
#include "mail/store/uidljournal.h"
#include "platform/core/diskflush.h"

#include <QFile>
#include <QFileInfo>

#include <utility>

namespace mail {

ReceiveRun::ReceiveRun(UidlJournal &journal) : journal_(journal) {}

void ReceiveRun::addMail(const QString &name) {
  mails_.add(originalsFolder(History::Received).pending(name));
  wroteAny_ = true;
}

void ReceiveRun::dropMail(const QString &name) {
  const platform::PendingFile pending = originalsFolder(History::Received).pending(name);
  mails_.removeIf([&](const platform::PendingFile &f) { return f.path == pending.path; });
  originalsFolder(History::Received).remove(name);
}

bool ReceiveRun::addEntry(int record, const QString &uidl, qint64 size, const QString &original,
                          const QByteArray &key, const QStringList &attachments,
                          bool keepOnServer) {
  wroteAny_ = true;
  return journal_.add(record, uidl, size, original, key, attachments, keepOnServer);
}

void ReceiveRun::withdrawEntry(const QString &uidl, qint64 size) {
  journal_.withdraw(uidl, size);
}

QList<platform::PendingFile> ReceiveRun::takeWrittenFiles() {
  return platform::writtenFiles().take();
}

void ReceiveRun::addWrittenFiles(const QList<platform::PendingFile> &files) {
  written_ += files;
}

void ReceiveRun::undo() {
  if (startCount_ >= 0)
    cutHistoryAfter(History::Received, startCount_);
  for (const auto &[record, bytes] : std::as_const(replaced_))
    putBackHistoryRecord(History::Received, record, bytes);
  for (const QString &name : std::as_const(newMails_))
    dropMail(name);
  for (const QString &path : std::as_const(newFiles_))
    QFile::remove(path);
}

QString ReceiveRun::commit() {
  // The entries first: without them a record on the disk is a mail that
  // comes again, stored twice. When they cannot be confirmed, the run is
  // undone, so that nothing of it reaches the disk without its entry.
  if (!journal_.syncAdded()) {
    undo();
    return QStringLiteral("受信済みメールの記録をディスクに書き込めたか確認できません。");
  }
  // One pass over every file, in the order their failures are told.
  enum Kind { Mail, Attachment, Record, Index };
  QList<platform::PendingFile> files;
  QList<Kind> kinds;
  auto add = [&](const QList<platform::PendingFile> &more, Kind kind) {
    files += more;
    for (qsizetype i = 0; i < more.size(); ++i)
      kinds.append(kind);
  };
  add(mails_.take(), Mail);
  // Mails kept on the way (a split mail joined whole).
  add(mail::deliveredMail().take(), Mail);
  add(written_ + platform::writtenFiles().take(), Attachment);
  written_.clear();
  if (QFileInfo::exists(historyPath(History::Received)))
    add({platform::PendingFile{historyPath(History::Received), false, {}}}, Record);
  if (QFileInfo::exists(originalsIndexPath()))
    add({platform::PendingFile{originalsIndexPath(), false, {}}}, Index);
  QString failed;
  // A large file synced early that failed then is lost whatever the flush
  // below says now.
  if (platform::earlySyncsFailed(&failed) || !platform::syncFiles(files, &failed)) {
    Kind kind = Mail;
    for (qsizetype i = 0; i < files.size(); ++i)
      if (files[i].path == failed)
        kind = kinds[i];
    switch (kind) {
    case Mail:
      return QStringLiteral("メール「%1」をディスクに書き込めたか確認できません。").arg(failed);
    case Attachment:
      return QStringLiteral("添付ファイル %1 をディスクに書き込めたか確認できません。").arg(failed);
    case Record:
      return QStringLiteral("着信履歴をディスクに書き込めたか確認できません。");
    case Index:
      return QStringLiteral("「%1」をディスクに書き込めたか確認できません。")
          .arg(QFileInfo(originalsIndexPath()).fileName());
    }
  }
  // Last, once what it stands for is on the disk.
  if (!journal_.commit())
    return QStringLiteral("受信済みメールの記録をディスクに書き込めたか確認できません。");
  return {};
}

} // namespace mail

#include "mail/store/receiverun.h"

#include "mail/store/history.h"
#include "platform/core/diskflush.h"
#include "mail/store/originals.h"
#include "mail/store/uidljournal.h"

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
                          const QByteArray &key) {
  wroteAny_ = true;
  return journal_.add(record, uidl, size, original, key);
}

QString ReceiveRun::commit() {
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
  add(platform::writtenFiles().take(), Attachment);
  if (QFileInfo::exists(historyPath(History::Received)))
    add({platform::PendingFile{historyPath(History::Received), false, {}}}, Record);
  if (QFileInfo::exists(originalsIndexPath()))
    add({platform::PendingFile{originalsIndexPath(), false, {}}}, Index);
  QString failed;
  if (!platform::syncFiles(files, &failed)) {
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
  if (!journal_.sync())
    return QStringLiteral("受信済みメールの記録をディスクに書き込めたか確認できません。");
  return {};
}

bool ReceiveRun::withdraw() {
  mails_.clear();
  if (journal_.withdraw())
    return true;
  QFile::remove(UidlJournal::path());
  return false;
}

} // namespace mail

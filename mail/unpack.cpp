#include "mail/unpack.h"

#include "mail/net/nmail.h"
#include "platform/core/ansi.h"
#include "platform/core/paths.h"
#include "platform/core/privatefiles.h"
#include "platform/messagebox.h"

#include <QDir>
#include <QFile>

namespace mail {

namespace {
int openRuns = 0;
} // namespace

UnpackRun::UnpackRun() {
  ++openRuns;
}

UnpackRun::~UnpackRun() {
  if (--openRuns == 0)
    QFile::remove(workFilePath());
}

QString attachmentFolderArgument() {
  return platform::attachmentFolder() + QDir::separator();
}

QString workFilePath() {
  return platform::attachmentFolder() + QStringLiteral("/0.txt");
}

QString messageTextOf(const QByteArray &workFileBytes) {
  // Lines end at CR LF, a lone CR or a lone LF, as a text-file line read
  // takes them; a final line break adds no empty line.
  const QString text = platform::fromAnsi(workFileBytes);
  QString out;
  out.reserve(text.size() + text.size() / 32);
  qsizetype start = 0;
  const qsizetype n = text.size();
  while (start < n) {
    qsizetype end = start;
    while (end < n && text[end] != u'\r' && text[end] != u'\n')
      ++end;
    out += QStringView(text).mid(start, end - start);
    out += QStringLiteral("\r\n");
    if (end < n && text[end] == u'\r' && end + 1 < n && text[end + 1] == u'\n')
      end += 2;
    else
      end += 1;
    start = end;
  }
  return out;
}

int unpackMail(const UnpackInput &mail, QWidget *parent) {
  const QString workFile = workFilePath();
  // The text goes to the transport through the work file, as in the Windows
  // program; when that file can't be written (no attachment folder) the same
  // text goes over from memory, and the transport's own write of the
  // attachments reports the missing folder.
  // What is read back from it is what was just written, so the text is
  // taken from memory either way. A mail fetched just before is unpacked
  // from the mail itself, and the text would go unread: then neither the
  // text nor the work file is made (a receive did both for every mail).
  QString messageText;
  if (!nmail::holdsFetchedMail()) {
    QByteArray content = platform::toAnsi(mail.header);
    content += "\r\n";
    content += platform::toAnsi(mail.body);
    content += "\r\n";
    {
      QFile file(workFile);
      if (file.open(QIODevice::WriteOnly | QIODevice::Truncate, platform::PrivateFileMode) &&
          platform::makePrivate(workFile))
        file.write(content);
    }
    messageText = messageTextOf(content);
  }

  const int raw = nmail::NMailAttachmentFileFirst(
      0, mail.subject, mail.date, mail.from, mail.header, mail.bodyBuffer,
      attachmentFolderArgument(), workFile, messageText, 0);
  nmail::NMailAttachmentFileClose(0);
  const qint16 result = qint16(raw);

  if (result == nmail::NMailAttachmentOpenError)
    platform::messageBox(parent, QStringLiteral("添付ファイルをオープンできません"));
  else if (result == nmail::NMailAttachmentPartial)
    platform::messageBox(parent, QStringLiteral("分割されたメールが全て揃っていません"));

  if (openRuns == 0)
    QFile::remove(workFile);
  return result;
}

} // namespace mail

// The MIME reader on whatever a server may send: headers, the readable body,
// unpacking into a folder of its own, and split parts kept and joined across
// several mails ("%%NEXT%%" lines separate the mails of one input). Nothing
// may be written anywhere but inside the attachment folder.
#include "platform/core/diskflush.h"
#include "mail/mime/mime.h"
#include "mail/net/nmail.h"
#include "tests/fuzz/fuzzsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace {

QString folder;

void checkNothingOutside() {
  const QStringList entries =
      QDir(fuzz::scratchDir().path())
          .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  if (entries != QStringList{QStringLiteral("folder")}) {
    std::fprintf(stderr, "written outside the folder: %s\n", qPrintable(entries.join(u' ')));
    std::abort();
  }
  QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QFileInfo info(it.next());
    if (info.isSymLink() || !info.canonicalFilePath().startsWith(folder + u'/')) {
      std::fprintf(stderr, "a link or a path outside: %s\n", qPrintable(info.filePath()));
      std::abort();
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzz::startQt();
  nmail::mime::initialize();
  QDir(fuzz::scratchDir().path()).mkdir(QStringLiteral("folder"));
  folder = QFileInfo(fuzz::scratchDir().filePath(QStringLiteral("folder"))).canonicalFilePath();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // A relative path written by mistake would land beside the folder and be
  // seen there.
  const QString previous = QDir::currentPath();
  QDir::setCurrent(fuzz::scratchDir().path());
  for (const QByteArray &mail : fuzz::pieces(fuzz::bytes(data, size), 4)) {
    nmail::mime::decodeHeaders(mail);
    const QString text = nmail::mime::readableBody(mail);
    // A large mail is read from its file: it must read as it does from memory.
    const int fd = ::memfd_create("mail", MFD_CLOEXEC);
    if (fd >= 0 && ::write(fd, mail.constData(), size_t(mail.size())) == mail.size()) {
      const auto file = nmail::mime::Source::fromFile(fd);
      if (nmail::mime::readableBody(file) != text ||
          nmail::mime::headerBlockOf(file) != nmail::mime::headerBlockOf(mail)) {
        std::fprintf(stderr, "the mail reads otherwise from a file than from memory\n");
        std::abort();
      }
    } else if (fd >= 0) {
      ::close(fd);
    }
    // A mail whose files can never be written into a folder that takes files
    // would stay on the server and stop every later check there.
    if (nmail::mime::unpackAttachments(mail, folder) == nmail::NMailAttachmentOpenError) {
      std::fprintf(stderr, "a writable folder refused this mail's files\n");
      std::abort();
    }
  }
  checkNothingOutside();
  platform::writtenFiles().clear(); // the receive routine flushes them; here they go
  QDir::setCurrent(previous);
  if (!QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                            QDir::NoDotAndDotDot)) {
    QDir(folder).removeRecursively();
    QDir(fuzz::scratchDir().path()).mkdir(QStringLiteral("folder"));
  }
  return 0;
}

#include "mail/mime/diskflush.h"

namespace nmail {

void noteWrittenFile(const QString &path) {
  if (!path.isEmpty())
    writtenFiles().add(platform::PendingFile{path, true, {}});
}

platform::PendingFiles &writtenFiles() {
  // The attachment step writes on a worker while the receive waits for it:
  // the list takes its own lock.
  static platform::PendingFiles files;
  return files;
}

} // namespace nmail

#include "platform/core/diskflush.h"

namespace platform {

void noteWrittenFile(const QString &path) {
  if (!path.isEmpty())
    writtenFiles().add(PendingFile{path, true, {}});
}

PendingFiles &writtenFiles() {
  // The attachment step writes on a worker while the receive waits for it:
  // the list takes its own lock.
  static PendingFiles files;
  return files;
}

} // namespace platform

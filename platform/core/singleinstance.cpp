#include "platform/core/singleinstance.h"

#include "platform/core/paths.h"

#include <QLockFile>

#include <memory>

namespace platform {

bool acquireInstanceLock() {
  // Held for the life of the process. QLockFile records our pid, so a lock
  // left by a killed copy is recognised as stale and taken over.
  static std::unique_ptr<QLockFile> lock;
  if (lock && lock->isLocked())
    return true;
  auto candidate = std::make_unique<QLockFile>(programFolder() + QStringLiteral("/.korvex.lock"));
  candidate->setStaleLockTime(0); // stale only when its owner is gone
  if (candidate->tryLock(0)) {
    lock = std::move(candidate);
    return true;
  }
  // Only a lock held by a live copy means "already running"; a folder we may
  // not write to must not keep the only copy from starting.
  return candidate->error() != QLockFile::LockFailedError;
}

} // namespace platform

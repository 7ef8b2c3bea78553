#include "platform/core/sound.h"

#include <QFile>

#include <atomic>

namespace platform {
namespace {

// The flag words of the Windows sound call the routine was written for, so
// that the words stay comparable with the Windows program's.
constexpr int SndAsync = 0x0001;
constexpr int SndNoDefault = 0x0002;
constexpr int SndMemory = 0x0004;
constexpr int SndLoop = 0x0008;
constexpr int SndNoStop = 0x0010;
constexpr int SndPurge = 0x0040;
constexpr int SndNoWait = 0x2000;
constexpr int SndFileName = 0x20000;
constexpr int MemoryFlags = SndNoDefault | SndMemory | SndNoStop | SndNoWait;  // 0x2016
constexpr int FileFlags = SndNoDefault | SndNoStop | SndNoWait | SndFileName; // 0x22012

constexpr qint64 MaxMemorySound = 2097152;

std::atomic<int> lastFlags{-1};

// This build carries no audio output. Stopping always succeeds (nothing is
// ever playing); a request to play fails honestly, as the Windows call does
// for a sound it cannot play.
bool backendCall(int flags) {
  lastFlags.store(flags);
  return (flags & SndPurge) != 0;
}

} // namespace

int playSoundFile(const QString &fileName, bool wait, bool loop, bool fromMemory, bool stop) {
  // A stop with a name goes on to play that sound (a "stop, then play"
  // call); a stop without one is only a stop and reports the stop's result
  // rather than that of a play call that could only fail.
  if (stop) {
    const bool stopped = backendCall(SndPurge);
    if (fileName.isEmpty())
      return stopped ? 0 : 4;
  }
  if (wait && loop)
    return 2;
  int flags = FileFlags;
  if (fromMemory) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
      return 3;
    if (file.size() > MaxMemorySound)
      return 1;
    file.readAll();
    if (file.error() != QFileDevice::NoError)
      return 3;
    flags = MemoryFlags;
  }
  if (!wait)
    flags |= SndAsync;
  if (loop)
    flags |= SndLoop;
  return backendCall(flags) ? 0 : 4;
}

int lastSoundFlags() { return lastFlags.load(); }

} // namespace platform

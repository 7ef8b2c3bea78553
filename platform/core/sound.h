// The program's sound routine. Result codes: 0 played (or stopped), 1 the
// file is larger than 2 MB for playing from memory, 2 wait and loop were both
// asked, 3 the file could not be read or the call raised an error, 4 the call
// failed. On this platform the backend may support only the stop.
#pragma once

#include <QString>

namespace platform {

int playSoundFile(const QString &fileName, bool wait, bool loop, bool fromMemory, bool stop);

// What the backend was last asked (for tests): the flags word, or -1.
int lastSoundFlags();

} // namespace platform

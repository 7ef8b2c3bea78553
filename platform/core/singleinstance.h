#pragma once

#include <QString>

namespace platform {

// Takes the program folder's instance lock. False when another running copy
// of Korvex holds it (two copies would fetch and write the same files).
// The lock is released when the process ends, even when it is killed.
bool acquireInstanceLock();

} // namespace platform

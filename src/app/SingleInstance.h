#pragma once
// Per-user, process-lifetime lock: an exclusive flock on a lock file in the user's
// runtime folder. The kernel releases it when the process ends, also after a crash.

#include <QString>

namespace norvane {

enum class LockResult { Acquired, AlreadyRunning, Unavailable };

// Takes the lock of that name and keeps it for the life of the process.
LockResult acquireSingleInstanceLock(const QString& name);

// Where the lock file of that name lives.
QString singleInstanceLockPath(const QString& name);

}  // namespace norvane

#pragma once
// Per-user, process-lifetime lock: an exclusive flock on a lock file of the user's own
// folder /tmp/norvane-<uid>. The kernel releases it when the process ends, also after a
// crash.
//
// The place depends on the user id alone, so that every way of starting the program
// meets the same lock: the window in a desktop session, a terminal over ssh and a cron
// job (which has no XDG_RUNTIME_DIR, and for which /run/user/<uid> exists only while the
// user happens to be logged in). /tmp is local to the machine: a home folder shared over
// the network does not make two computers wait for each other. NORVANE_LOCK_DIR names
// another folder (tests; an office that wants it elsewhere sets it for every session).

#include <QString>

namespace norvane {

enum class LockResult { Acquired, AlreadyRunning, Unavailable };

// Takes the lock of that name and keeps it for the life of the process. Unavailable when
// the folder or the file is not ours (another user's, a symbolic link, not a folder).
LockResult acquireSingleInstanceLock(const QString& name);

// Where the lock file of that name lives.
QString singleInstanceLockPath(const QString& name);

}  // namespace norvane

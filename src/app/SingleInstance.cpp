#include "app/SingleInstance.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

QString lockFolder() {
    const QByteArray chosen = qgetenv("NORVANE_LOCK_DIR");
    if (!chosen.isEmpty()) return QFile::decodeName(chosen);
    return QStringLiteral("/tmp/norvane-%1").arg(::getuid());
}

// The folder, made if needed, opened without following a symbolic link; -1 unless it is
// a folder of ours that no one else may write to.
int openOwnFolder(const QByteArray& folder) {
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) return -1;
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat info {};
    // Someone who made the folder under /tmp before us could hold the lock for us, or
    // swap the file: only a folder of our own is used.
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        ((info.st_mode & 022) != 0 && ::fchmod(fd, 0700) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

QString singleInstanceLockPath(const QString& name) { return lockFolder() + QLatin1Char('/') + name; }

LockResult acquireSingleInstanceLock(const QString& name) {
    const int folder = openOwnFolder(QFile::encodeName(lockFolder()));
    if (folder < 0) return LockResult::Unavailable;
    const int fd = ::openat(folder, QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                            0600);
    ::close(folder);
    if (fd < 0) return LockResult::Unavailable;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid()) {
        ::close(fd);
        return LockResult::Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Acquired;  // fd stays open until exit
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? LockResult::AlreadyRunning : LockResult::Unavailable;
}

}  // namespace norvane

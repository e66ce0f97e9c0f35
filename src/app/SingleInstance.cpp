#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

QString singleInstanceLockPath(const QString& name) {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QStringLiteral("/tmp/norvane-%1").arg(::getuid());
    return folder + QLatin1Char('/') + name;
}

LockResult acquireSingleInstanceLock(const QString& name) {
    const QString path = singleInstanceLockPath(name);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) return LockResult::Unavailable;
    // The folder under /tmp may have been made by someone else, who could then hold the
    // lock for us: only a folder of our own is used.
    struct stat info {};
    if (::stat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        return LockResult::Unavailable;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return LockResult::Unavailable;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Acquired;  // fd stays open until exit
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? LockResult::AlreadyRunning : LockResult::Unavailable;
}

}  // namespace norvane

// The single-instance guard, with real processes of the program's start-up.

#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// True while some process holds the lock file.
bool lockHeld(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return busy;
}

bool waitUntil(const std::function<bool()>& condition, int ms = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms) return false;
        QThread::msleep(20);
    }
    return true;
}

class GuardProcess {
public:
    // `lockDir`: the user's lock folder (NORVANE_LOCK_DIR, so that tests running at the
    // same time keep apart); `runtimeDir`: the session's XDG_RUNTIME_DIR, none for a cron job.
    explicit GuardProcess(const QString& lockDir, const QString& runtimeDir = QStringLiteral("/nonexistent")) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("NORVANE_LOCK_DIR"), lockDir);
        if (runtimeDir.isEmpty())
            env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        else
            env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--run-app")});
        process.waitForStarted();
    }
    ~GuardProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    void killHard() {
        ::kill(static_cast<pid_t>(process.processId()), SIGKILL);
        process.waitForFinished();
    }
    QProcess process;
};

}  // namespace

TEST(SingleInstance, SecondStartIsRefusedAndACrashReleasesTheLock) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const QString lockPath = runtime.path() + QStringLiteral("/MyUniqueIdentifier");

    GuardProcess first(runtime.path());
    ASSERT_TRUE(waitUntil([&] { return lockHeld(lockPath); })) << "the first start never took the lock";

    GuardProcess second(runtime.path());
    ASSERT_TRUE(second.process.waitForFinished(20000)) << "a second start must end by itself";
    EXPECT_EQ(second.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.process.exitCode(), 0);
    const QString out = QString::fromUtf8(second.process.readAllStandardOutput());
    EXPECT_EQ(out, QStringLiteral("STARTED\nERROR|Programa em execução|Não é permitido rodar mais de uma instância do "
                                  "programa\n"));
    EXPECT_EQ(first.process.state(), QProcess::Running) << "the running copy is unaffected";

    first.killHard();
    EXPECT_FALSE(lockHeld(lockPath)) << "the kernel releases the lock with the process";

    GuardProcess third(runtime.path());
    ASSERT_TRUE(waitUntil([&] { return lockHeld(lockPath); })) << "a start after a crash runs normally";
    QThread::msleep(300);
    EXPECT_EQ(third.process.state(), QProcess::Running);
    EXPECT_FALSE(QString::fromUtf8(third.process.readAllStandardOutput()).contains(QStringLiteral("ERROR|")));
}

TEST(SingleInstance, AnotherUsersLockFolderDoesNotBlock) {
    QTemporaryDir mine, theirs;
    GuardProcess first(theirs.path());
    ASSERT_TRUE(waitUntil([&] { return lockHeld(theirs.path() + QStringLiteral("/MyUniqueIdentifier")); }));
    GuardProcess second(mine.path());
    EXPECT_TRUE(waitUntil([&] { return lockHeld(mine.path() + QStringLiteral("/MyUniqueIdentifier")); }));
    EXPECT_EQ(second.process.state(), QProcess::Running);
}

// A desktop session (XDG_RUNTIME_DIR set) and a cron job (none) of one user meet one lock.
TEST(SingleInstance, OneLockWhateverTheSession) {
    QTemporaryDir locks, desktopRuntime;
    const QString lockPath = locks.path() + QStringLiteral("/MyUniqueIdentifier");
    GuardProcess desktop(locks.path(), desktopRuntime.path());
    ASSERT_TRUE(waitUntil([&] { return lockHeld(lockPath); })) << "the window never took the lock";
    GuardProcess cron(locks.path(), QString());
    ASSERT_TRUE(cron.process.waitForFinished(20000)) << "a start from cron while the window runs must end";
    EXPECT_TRUE(QString::fromUtf8(cron.process.readAllStandardOutput()).contains(QStringLiteral("ERROR|Programa em execução")));
    EXPECT_EQ(desktop.process.state(), QProcess::Running);
}

// The lock's folder is the user's whatever the session; made 0700; exclusive; a folder or a
// file that is not ours is not used.
TEST(SingleInstance, LockInProcessIsExclusiveAndFallsBackWithoutRuntimeFolder) {
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR"), savedLock = qgetenv("NORVANE_LOCK_DIR");
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    qunsetenv("NORVANE_LOCK_DIR");
    EXPECT_EQ(norvane::singleInstanceLockPath(QStringLiteral("X")), QStringLiteral("/tmp/norvane-%1/X").arg(::getuid()));
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(norvane::singleInstanceLockPath(QStringLiteral("X")), QStringLiteral("/tmp/norvane-%1/X").arg(::getuid()));

    QTemporaryDir base;
    const QString folder = base.path() + QStringLiteral("/norvane");
    qputenv("NORVANE_LOCK_DIR", QFile::encodeName(folder));
    EXPECT_EQ(norvane::acquireSingleInstanceLock(QStringLiteral("probe")), norvane::LockResult::Acquired);
    EXPECT_TRUE(lockHeld(folder + QStringLiteral("/probe")));
    EXPECT_EQ(norvane::acquireSingleInstanceLock(QStringLiteral("probe")), norvane::LockResult::AlreadyRunning);
    EXPECT_EQ(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther |
                                                 QFile::WriteOther), QFile::Permissions()) << "made 0700";

    // Someone else's folder, a symbolic link in place of the folder or of the file: not used,
    // nothing written through them.
    QTemporaryDir elsewhere;
    const QString linked = base.path() + QStringLiteral("/link");
    ASSERT_TRUE(QFile::link(elsewhere.path(), linked));
    qputenv("NORVANE_LOCK_DIR", QFile::encodeName(linked));
    EXPECT_EQ(norvane::acquireSingleInstanceLock(QStringLiteral("probe")), norvane::LockResult::Unavailable);
    EXPECT_FALSE(QFile::exists(elsewhere.path() + QStringLiteral("/probe")));
    qputenv("NORVANE_LOCK_DIR", QFile::encodeName(folder));
    ASSERT_TRUE(QFile::link(elsewhere.path() + QStringLiteral("/target"), folder + QStringLiteral("/linked")));
    EXPECT_EQ(norvane::acquireSingleInstanceLock(QStringLiteral("linked")), norvane::LockResult::Unavailable);
    EXPECT_FALSE(QFile::exists(elsewhere.path() + QStringLiteral("/target")));
    QTemporaryDir foreign;
    if (::getuid() == 0 && ::chown(QFile::encodeName(foreign.path()).constData(), 65534, 65534) == 0) {
        qputenv("NORVANE_LOCK_DIR", QFile::encodeName(foreign.path()));
        EXPECT_EQ(norvane::acquireSingleInstanceLock(QStringLiteral("probe")), norvane::LockResult::Unavailable);
        EXPECT_FALSE(QFile::exists(foreign.path() + QStringLiteral("/probe")));
    }
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
    if (savedLock.isEmpty()) qunsetenv("NORVANE_LOCK_DIR"); else qputenv("NORVANE_LOCK_DIR", savedLock);
}

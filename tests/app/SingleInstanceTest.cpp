// The single-instance guard, with real processes of the program's start-up.

#include "app/SingleInstance.h"

#include <QCoreApplication>
#include <QElapsedTimer>
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
    explicit GuardProcess(const QString& runtimeDir) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
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

TEST(SingleInstance, AnotherUsersRuntimeFolderDoesNotBlock) {
    QTemporaryDir mine, theirs;
    GuardProcess first(theirs.path());
    ASSERT_TRUE(waitUntil([&] { return lockHeld(theirs.path() + QStringLiteral("/MyUniqueIdentifier")); }));
    GuardProcess second(mine.path());
    EXPECT_TRUE(waitUntil([&] { return lockHeld(mine.path() + QStringLiteral("/MyUniqueIdentifier")); }));
    EXPECT_EQ(second.process.state(), QProcess::Running);
}

TEST(SingleInstance, LockInProcessIsExclusiveAndFallsBackWithoutRuntimeFolder) {
    QTemporaryDir runtime;
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    EXPECT_EQ(norvane::singleInstanceLockPath(QStringLiteral("X")), runtime.path() + QStringLiteral("/X"));
    EXPECT_EQ(norvane::acquireSingleInstanceLock(QStringLiteral("probe")), norvane::LockResult::Acquired);
    EXPECT_TRUE(lockHeld(runtime.path() + QStringLiteral("/probe")));

    qputenv("XDG_RUNTIME_DIR", QByteArray());
    EXPECT_EQ(norvane::singleInstanceLockPath(QStringLiteral("X")),
              QStringLiteral("/tmp/norvane-%1/X").arg(::getuid()));

    // A folder that another user made (as someone could under /tmp) is not used: its
    // owner could hold the lock and keep us from ever starting.
    QTemporaryDir foreign;
    if (::getuid() == 0 && ::chown(QFile::encodeName(foreign.path()).constData(), 65534, 65534) == 0) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(foreign.path()));
        EXPECT_EQ(norvane::acquireSingleInstanceLock(QStringLiteral("probe")), norvane::LockResult::Unavailable);
        EXPECT_FALSE(QFile::exists(foreign.path() + QStringLiteral("/probe")));
    }
    qputenv("XDG_RUNTIME_DIR", saved);
}

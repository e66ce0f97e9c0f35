// The system's reasons as the user reads them: Portuguese for every errno and libcurl code,
// "disco cheio" for a full disk, also where Qt's file classes lose the reason.

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <functional>
#include <locale.h>

#include "certs/cms/FileSigning.h"
#include "core/SystemErrors.h"
#include "packaging/Packaging.h"

using namespace norvane;

namespace {

// Runs `write` in a child process that has a mount namespace of its own, with a 64 KiB
// tmpfs, filled up, as its folder; returns what `write` gave (or why it could not run).
QString onAFullDisk(const std::function<QString(const QString& folder)>& write) {
    QTemporaryDir mountPoint;
    int pipe[2];
    if (::pipe(pipe) != 0) return QStringLiteral("pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe[0]);
        QByteArray result = "setup";
        const QByteArray where = QFile::encodeName(mountPoint.path());
        if (::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") == 0) {
            const int fd = ::open((where + "/enche").constData(), O_WRONLY | O_CREAT, 0600);
            const QByteArray block(4096, 'x');
            while (fd >= 0 && ::write(fd, block.constData(), size_t(block.size())) > 0) {
            }
            char byte = 'x';
            while (fd >= 0 && ::write(fd, &byte, 1) > 0) {
            }
            result = write(mountPoint.path()).toUtf8();
        }
        [[maybe_unused]] const ssize_t n = ::write(pipe[1], result.constData(), size_t(result.size()));
        ::_exit(0);
    }
    ::close(pipe[1]);
    QByteArray result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
    ::close(pipe[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return QString::fromUtf8(result);
}

QString errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    }
    return QStringLiteral("no error");
}

}  // namespace

TEST(SystemErrors, EveryReasonIsPortugueseAndAFullDiskSaysSo) {
    EXPECT_EQ(systemErrorText(ENOSPC), "disco cheio");
    EXPECT_TRUE(systemErrorText(EDQUOT).startsWith("disco cheio (")) << systemErrorText(EDQUOT).toStdString();
    EXPECT_TRUE(systemErrorText(EFBIG).startsWith("disco cheio (")) << systemErrorText(EFBIG).toStdString();
    EXPECT_EQ(systemErrorText(EACCES), "permissão negada");
    const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    ASSERT_TRUE(c);
    for (int error = 1; error < 134; ++error) {
        const QString english = QString::fromLatin1(::strerror_l(error, c));
        EXPECT_NE(systemErrorText(error), english) << error;
        EXPECT_FALSE(systemErrorText(error).contains(english, Qt::CaseInsensitive)) << error;
    }
    ::freelocale(c);
    for (int code = CURLE_OK; code < CURL_LAST; ++code)
        EXPECT_NE(curlErrorText(code), QString::fromUtf8(curl_easy_strerror(CURLcode(code)))) << code;
    EXPECT_EQ(curlErrorText(CURLE_COULDNT_RESOLVE_HOST), "servidor não encontrado");

    // Qt's text of a failed open is the system's: read back to its reason.
    QTemporaryDir folder;
    QFile missing(folder.filePath(QStringLiteral("falta/arquivo.pdf")));
    ASSERT_FALSE(missing.open(QIODevice::ReadOnly));
    EXPECT_EQ(fileErrorText(missing, 0), "arquivo ou pasta não encontrado");
    QFile directory(folder.path());
    ASSERT_FALSE(directory.open(QIODevice::WriteOnly));
    EXPECT_EQ(fileErrorText(directory, 0), "é uma pasta");
}

// A real full disk (a small tmpfs in a mount namespace of the test's own; root only):
// every way we write whole files says "disco cheio", never Qt's "Unknown error".
TEST(SystemErrors, WritingOntoAFullDiskSaysDiscoCheio) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const QByteArray content(100 * 1024, 'p');
    const QString signature = onAFullDisk([&](const QString& folder) {
        return errorOf([&] { cms::saveWhole(folder + QStringLiteral("/a.pdf.p7s"), content); });
    });
    EXPECT_TRUE(signature.startsWith(QStringLiteral("Não foi possível ")) && signature.endsWith(": disco cheio"))
        << signature.toStdString();
    const QString decoded = onAFullDisk([&](const QString& folder) {
        return errorOf([&] { SaveBase64ToFile(content.toBase64(), folder + QStringLiteral("/a.pdf")); });
    });
    EXPECT_TRUE(decoded.endsWith(": disco cheio")) << decoded.toStdString();
    const QString archive = onAFullDisk([&](const QString& folder) {
        QFile source(QDir::temp().filePath(QStringLiteral("norvane-disco-%1.p7s").arg(::getpid())));
        if (!source.open(QIODevice::WriteOnly) || source.write(content) != content.size()) return QStringLiteral("src");
        source.close();
        const QString text = errorOf([&] { Zipa({source.fileName()}, folder + QStringLiteral("/a.p7s.zip")); });
        source.remove();
        return text;
    });
    EXPECT_TRUE(archive.endsWith(": disco cheio")) << archive.toStdString();
}

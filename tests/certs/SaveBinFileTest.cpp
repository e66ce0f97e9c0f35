// Writing a signature file: whole or not at all, never destroying an earlier one.

#include "app/u_Principal.h"
#include "core/Error.h"
#include "support/SignatureChecks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>

using namespace norvane::test;

namespace {

QByteArray pattern(qsizetype size, char seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + (i >> 11));
    return bytes;
}

QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Files larger than `limit` bytes cannot be written by this process while it lives.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);  // a short write instead of the signal
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_{};
    void (*previousHandler_)(int) = nullptr;
};

TEST(SaveBinFile, WritesExactlyTheBytesAndReplacesAnEarlierFile) {
    TFPrincipal window;
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("doc ação.pdf.p7s"));

    const QByteArray first = pattern(70000, 1);
    window.SaveBinFile(target, first);
    EXPECT_EQ(readWholeFile(target), first);

    const QByteArray second = pattern(513, 9);  // shorter: the old tail must not survive
    window.SaveBinFile(target, second);
    EXPECT_EQ(readWholeFile(target), second);

    window.SaveBinFile(target, QByteArray());
    EXPECT_TRUE(QFileInfo::exists(target));
    EXPECT_EQ(QFileInfo(target).size(), 0);
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("doc ação.pdf.p7s")});
}

TEST(SaveBinFile, MissingFolderRaisesAPortugueseErrorNamingTheFile) {
    TFPrincipal window;
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("nao-existe/a.pdf.p7s"));
    try {
        window.SaveBinFile(target, "x");
        FAIL() << "wrote into a missing folder";
    } catch (const norvane::Error& error) {
        EXPECT_EQ(error.kind(), norvane::ErrorKind::FileError) << error.what();
        const QString text = QString::fromUtf8(error.what());
        EXPECT_TRUE(text.startsWith(QStringLiteral("Não foi possível criar o arquivo "))) << error.what();
        EXPECT_TRUE(text.contains(target)) << error.what();
    }
    EXPECT_TRUE(entries(dir.path()).isEmpty());
}

TEST(SaveBinFile, FailedWriteLeavesTheEarlierSignatureIntactAndNoTemporaryFile) {
    TFPrincipal window;
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("a.pdf.p7s"));
    const QByteArray earlier = pattern(4096, 3);
    window.SaveBinFile(target, earlier);

    {
        const FileSizeLimit limit(64 * 1024);
        EXPECT_THROW(window.SaveBinFile(target, pattern(1024 * 1024, 5)), norvane::Error);
    }
    EXPECT_EQ(readWholeFile(target), earlier);
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("a.pdf.p7s")});

    // And a failed first write leaves nothing at all.
    const QString fresh = dir.filePath(QStringLiteral("b.pdf.p7s"));
    {
        const FileSizeLimit limit(64 * 1024);
        EXPECT_THROW(window.SaveBinFile(fresh, pattern(1024 * 1024, 7)), norvane::Error);
    }
    EXPECT_FALSE(QFileInfo::exists(fresh));
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("a.pdf.p7s")});
}

}  // namespace

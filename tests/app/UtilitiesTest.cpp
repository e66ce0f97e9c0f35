// Version record, special folders, text splitting and file sizes.

#include "core/u_global.h"
#include "core/unit_esfunctions.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QString writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

}  // namespace

TEST(FileVersion, ReadsTheRecordTheBuildEmbeds) {
    EXPECT_EQ(GetFileVersionText(QStringLiteral(NORVANE_EXECUTABLE), QStringLiteral("%d.%d.%d")),
              QStringLiteral(NORVANE_VERSION_TEXT));
    EXPECT_EQ(GetFileVersionText(QStringLiteral(NORVANE_EXECUTABLE), QStringLiteral("%d.%d.%d.%d")),
              QStringLiteral(NORVANE_VERSION_FULL));
    // An empty name means the running program, which carries the record too.
    EXPECT_EQ(GetFileVersionText(QString(), QStringLiteral("%d.%d.%d")), QStringLiteral(NORVANE_VERSION_TEXT));
}

TEST(FileVersion, FilesWithoutARecordGiveTheEmptyText) {
    QTemporaryDir dir;
    const QString fmt = QStringLiteral("%d.%d.%d");
    EXPECT_EQ(GetFileVersionText(QStringLiteral("/bin/sh"), fmt), QString()) << "an ELF file without our note";
    EXPECT_EQ(GetFileVersionText(dir.filePath(QStringLiteral("missing")), fmt), QString());
    EXPECT_EQ(GetFileVersionText(writeFile(dir.filePath(QStringLiteral("t.txt")), "just text"), fmt), QString());
    EXPECT_EQ(GetFileVersionText(writeFile(dir.filePath(QStringLiteral("empty")), ""), fmt), QString());
    EXPECT_EQ(GetFileVersionText(dir.path(), fmt), QString()) << "a folder";

    // A damaged executable: the ELF header claims tables far past the end of the file.
    QFile exe(QStringLiteral(NORVANE_EXECUTABLE));
    ASSERT_TRUE(exe.open(QIODevice::ReadOnly));
    const QByteArray head = exe.read(64);
    EXPECT_EQ(GetFileVersionText(writeFile(dir.filePath(QStringLiteral("cut")), head), fmt), QString());
    QByteArray bogus = head;
    for (int i = 0x20; i < 0x30; ++i) bogus[i] = char(0xff);  // e_phoff, e_shoff
    EXPECT_EQ(GetFileVersionText(writeFile(dir.filePath(QStringLiteral("bogus")), bogus + QByteArray(4096, 'x')), fmt),
              QString());
}

TEST(SpecialFolder, KeywordsAndTheDesktopDefault) {
    const QString desktop =
        QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
    EXPECT_EQ(GetSpecialFolder(QStringLiteral("desktop")), desktop);
    EXPECT_EQ(GetSpecialFolder(QStringLiteral("Desktop")), desktop) << "not a keyword: the default";
    EXPECT_EQ(GetSpecialFolder(QStringLiteral("qualquer")), desktop);
    EXPECT_EQ(GetSpecialFolder(QStringLiteral("documentos")),
              QDir::toNativeSeparators(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)));
    EXPECT_EQ(GetSpecialFolder(QStringLiteral("rede")), QString());
    EXPECT_FALSE(GetSpecialFolder(QStringLiteral("desktop")).endsWith(QLatin1Char('/')));
}

TEST(SplitByChar, ConsequencesCallersRelyOn) {
    const QString bar = QStringLiteral("|");
    EXPECT_EQ(SplitByChar(bar, QStringLiteral("a|b|c")), QStringList({"a", "b", "c"}));
    EXPECT_EQ(SplitByChar(bar, QStringLiteral("a||b")), QStringList({"a", "", "b"}));
    EXPECT_EQ(SplitByChar(bar, QStringLiteral("|a")), QStringList({"", "a"}));
    EXPECT_EQ(SplitByChar(bar, QStringLiteral("a|")), QStringList({"a"}));
    EXPECT_EQ(SplitByChar(bar, QStringLiteral("a||")), QStringList({"a", ""}));
    EXPECT_EQ(SplitByChar(bar, QStringLiteral("|")), QStringList({""}));
    EXPECT_TRUE(SplitByChar(bar, QString()).isEmpty());
    // Only a one-character delimiter can match.
    EXPECT_EQ(SplitByChar(QStringLiteral("||"), QStringLiteral("a||b")), QStringList({"a||b"}));
    EXPECT_EQ(SplitByChar(QString(), QStringLiteral("ab")), QStringList({"ab"}));
    // An office record: five fields, the fourth with blanks, parentheses and a colon.
    EXPECT_EQ(SplitByChar(bar, QStringLiteral("3550308|01|123|Cartório: (01) 1º Tabelião de Protesto|123.456.789-09")),
              QStringList({"3550308", "01", "123", "Cartório: (01) 1º Tabelião de Protesto", "123.456.789-09"}));
    // The identity checks cut at CR; the LF stays at the head of the next line.
    EXPECT_EQ(SplitByChar(QStringLiteral("\r"), QStringLiteral("a=1\r\nb=2\r\n")), QStringList({"a=1", "\nb=2", "\n"}));
    EXPECT_EQ(SplitByChar(QStringLiteral("="), QStringLiteral("  Id=2.16.76=x")), QStringList({"  Id", "2.16.76", "x"}));
}

TEST(FileSize, BytesKilobytesMissingAndLarge) {
    QTemporaryDir dir;
    EXPECT_EQ(GetFileSizeText(dir.filePath(QStringLiteral("nope.pdf")), false), QStringLiteral("-1"));
    EXPECT_EQ(GetFileSizeText(dir.filePath(QStringLiteral("nope.pdf")), true), QStringLiteral("-1"));
    EXPECT_EQ(GetFileSizeText(QString(), false), QStringLiteral("-1"));

    const QString empty = writeFile(dir.filePath(QStringLiteral("empty.pdf")), "");
    EXPECT_EQ(GetFileSizeText(empty, false), QStringLiteral("0"));
    EXPECT_EQ(GetFileSizeText(empty, true), QStringLiteral("0"));

    const QString k1023 = writeFile(dir.filePath(QStringLiteral("a")), QByteArray(1023, 'a'));
    const QString k2047 = writeFile(dir.filePath(QStringLiteral("b")), QByteArray(2047, 'b'));
    EXPECT_EQ(GetFileSizeText(k1023, false), QStringLiteral("1023"));
    EXPECT_EQ(GetFileSizeText(k1023, true), QStringLiteral("0"));
    EXPECT_EQ(GetFileSizeText(k2047, true), QStringLiteral("1"));

    // Relative names are taken against the current folder.
    const QString saved = QDir::currentPath();
    QDir::setCurrent(dir.path());
    EXPECT_EQ(GetFileSizeText(QStringLiteral("a"), false), QStringLiteral("1023"));
    QDir::setCurrent(saved);

    // A folder is found too.
    EXPECT_EQ(GetFileSizeText(dir.path(), false), QStringLiteral("0"));

    // Sparse file past 2 GiB: 64-bit sizes, no wrap to a negative value.
    const QString big = dir.filePath(QStringLiteral("big.pdf"));
    {
        QFile f(big);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(3LL * 1024 * 1024 * 1024 + 5));
    }
    EXPECT_EQ(GetFileSizeText(big, false), QStringLiteral("3221225477"));
    EXPECT_EQ(GetFileSizeText(big, true), QStringLiteral("3145728"));
}

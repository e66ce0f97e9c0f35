// Base64 text, ZIP archive and Base64 back to a file, checked against coreutils,
// unzip, Python's zipfile and the bytes themselves.

#include <gtest/gtest.h>

#include "support/ErrorOf.h"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "packaging/Packaging.h"

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char& c : data) c = char(generator.bounded(256));
    return data;
}

QString writeFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(data);
    return path;
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

struct Outcome {
    int code;
    QByteArray out;
};

Outcome run(const QString& program, const QStringList& arguments, const QByteArray& input = {}) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, process.readAll()};
}

quint16 u16(const QByteArray& data, qsizetype at) { return quint16(uchar(data[at]) | uchar(data[at + 1]) << 8); }
quint32 u32(const QByteArray& data, qsizetype at) { return quint32(u16(data, at)) | quint32(u16(data, at + 2)) << 16; }

using norvane::test::errorOf;

class Packaging : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    // Names left in the folder (temporary files must not stay behind).
    QStringList names() const { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
};

}  // namespace

TEST_F(Packaging, Base64LinesBreakAfterEvery76thCharacter) {
    EXPECT_EQ(EncodeFile(writeFile(path("0"), "")), "");
    EXPECT_EQ(EncodeFile(writeFile(path("1"), "M")), "TQ==");
    EXPECT_EQ(EncodeFile(writeFile(path("2"), "Ma")), "TWE=");

    const QByteArray b57 = EncodeFile(writeFile(path("57"), QByteArray(57, '\xfb')));
    EXPECT_EQ(b57.size(), 78);
    EXPECT_EQ(b57, QByteArray(57, '\xfb').toBase64() + "\r\n");
    const QByteArray b58 = EncodeFile(writeFile(path("58"), QByteArray(58, '\xff')));
    EXPECT_EQ(b58.size(), 82);
    EXPECT_EQ(b58.mid(76, 2), "\r\n");
    EXPECT_TRUE(b58.endsWith("/w=="));
}

TEST_F(Packaging, Base64MatchesCoreutilsWithCrLf) {
    for (const qsizetype size : {qsizetype(1), qsizetype(56), qsizetype(114), qsizetype(1000), qsizetype(57 * 40),
                                 qsizetype(100001), qsizetype(57 * 8192 * 2), qsizetype(1000003)}) {
        SCOPED_TRACE(size);
        const QString file = writeFile(path(QStringLiteral("r%1").arg(size)), randomBytes(size, quint32(size)));
        const Outcome coreutils = run(QStringLiteral("base64"), {QStringLiteral("-w"), QStringLiteral("76"), file});
        ASSERT_EQ(coreutils.code, 0);
        QByteArray expected = coreutils.out;
        expected.replace("\n", "\r\n");
        // coreutils ends every text with a line break; ours only after a full line.
        if (size % 57 != 0) expected.chop(2);
        EXPECT_EQ(EncodeFile(file), expected);
    }
}

TEST_F(Packaging, EncodeFileOfAMissingFileRaises) {
    const std::string error = errorOf([&] { EncodeFile(path("nao-existe.p7s")); });
    EXPECT_NE(error.find("Não foi possível abrir o arquivo"), std::string::npos) << error;
    EXPECT_NE(error.find("nao-existe.p7s"), std::string::npos);
}

TEST_F(Packaging, SaveBase64ToFileGivesTheFileBackAndSkipsWhatIsNotBase64) {
    for (const qsizetype size :
         {qsizetype(0), qsizetype(1), qsizetype(2), qsizetype(57), qsizetype(58), qsizetype(4099)}) {
        SCOPED_TRACE(size);
        const QByteArray original = randomBytes(size, quint32(size) + 7);
        const QByteArray text = EncodeFile(writeFile(path("in"), original));
        SaveBase64ToFile(text, path("out"));
        EXPECT_EQ(readFile(path("out")), original);

        // Blanks, tabs, stray line breaks and padding inside do not matter.
        QByteArray noisy;
        for (qsizetype i = 0; i < text.size(); ++i) {
            noisy += text[i];
            if (i % 5 == 0) noisy += ' ';
            if (i % 13 == 0) noisy += "\n\t";
            if (i % 17 == 0) noisy += "=";
        }
        SaveBase64ToFile(noisy, path("noisy"));
        EXPECT_EQ(readFile(path("noisy")), original);
    }
    SaveBase64ToFile("TQ", path("two"));  // two characters: one byte
    EXPECT_EQ(readFile(path("two")), "M");
    SaveBase64ToFile("TWE", path("three"));  // three characters: two bytes
    EXPECT_EQ(readFile(path("three")), "Ma");
    SaveBase64ToFile("TWFu\r\nT", path("leftover"));  // a single leftover character gives nothing
    EXPECT_EQ(readFile(path("leftover")), "Man");
    SaveBase64ToFile("== \r\n ??", path("none"));
    EXPECT_TRUE(QFileInfo::exists(path("none")));
    EXPECT_EQ(readFile(path("none")), "");

    // An existing file is replaced; no temporary file stays behind.
    writeFile(path("replaced.pdf"), QByteArray(10000, 'x'));
    SaveBase64ToFile("JVBERi0=", path("replaced.pdf"));
    EXPECT_EQ(readFile(path("replaced.pdf")), "%PDF-");
    for (const QString& name : names()) EXPECT_FALSE(name.contains("~") || name.contains(".tmp")) << name.toStdString();

    const std::string error = errorOf([&] { SaveBase64ToFile("TWFu", path("sem-pasta/arquivo.pdf")); });
    EXPECT_NE(error.find("Não foi possível gravar o arquivo"), std::string::npos) << error;
}

TEST_F(Packaging, ZipOfOneSignatureIsReadByUnzipAndPython) {
    const QByteArray signature = randomBytes(3000, 1) + QByteArray(5000, 'A');  // partly compressible
    const QString source = writeFile(path("35503082026120901000001.pdf.p7s"), signature);
    // A known local time, so the MS-DOS fields can be checked.
    const QDateTime when(QDate(2024, 3, 15), QTime(13, 45, 31));
    const utimbuf times{when.toSecsSinceEpoch(), when.toSecsSinceEpoch()};
    ASSERT_EQ(::utime(source.toLocal8Bit().constData(), &times), 0);
    const QString zip = path("35503082026120901000001.pdf.p7s.zip");
    writeFile(zip, QByteArray(50000, 'o'));  // an old archive of the same name goes

    EXPECT_TRUE(Zipa({source}, zip));
    const QByteArray archive = readFile(zip);
    const QByteArray name = "35503082026120901000001.pdf.p7s";

    // Header fields, from the bytes.
    ASSERT_GE(archive.size(), 30);
    EXPECT_EQ(u32(archive, 0), 0x04034B50u);
    EXPECT_EQ(u16(archive, 4), 20);
    EXPECT_EQ(u16(archive, 6), 0x0800);
    EXPECT_EQ(u16(archive, 8), 8);
    EXPECT_EQ(u16(archive, 10), 13 * 2048 + 45 * 32 + 31 / 2);
    EXPECT_EQ(u16(archive, 12), (2024 - 1980) * 512 + 3 * 32 + 15);
    const quint32 compressed = u32(archive, 18);
    EXPECT_EQ(u32(archive, 22), quint32(signature.size()));
    EXPECT_EQ(u16(archive, 26), name.size());
    EXPECT_EQ(u16(archive, 28), 0);
    EXPECT_EQ(archive.mid(30, name.size()), name);
    EXPECT_EQ(archive.size(), qsizetype(compressed) + 98 + 2 * name.size());

    const qsizetype central = 30 + name.size() + compressed;
    EXPECT_EQ(u32(archive, central), 0x02014B50u);
    EXPECT_EQ(u16(archive, central + 4), 20);
    EXPECT_EQ(u16(archive, central + 6), 20);
    EXPECT_EQ(u16(archive, central + 8), 0x0800);
    EXPECT_EQ(archive.mid(central + 10, 18), archive.mid(8, 18));  // method, time, date, CRC, sizes
    EXPECT_EQ(u16(archive, central + 30), 0);
    EXPECT_EQ(u16(archive, central + 32), 0);
    EXPECT_EQ(u32(archive, central + 38), 0x20u);
    EXPECT_EQ(u32(archive, central + 42), 0u);
    const qsizetype end = central + 46 + name.size();
    EXPECT_EQ(u32(archive, end), 0x06054B50u);
    EXPECT_EQ(u16(archive, end + 8), 1);
    EXPECT_EQ(u16(archive, end + 10), 1);
    EXPECT_EQ(u32(archive, end + 12), quint32(46 + name.size()));
    EXPECT_EQ(u32(archive, end + 16), quint32(central));
    EXPECT_EQ(archive.size(), end + 22);

    const Outcome unzip = run(QStringLiteral("unzip"), {QStringLiteral("-t"), zip});
    EXPECT_EQ(unzip.code, 0) << unzip.out.toStdString();

    const Outcome python = run(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral(R"(
import sys, zipfile, zlib
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
(info,) = z.infolist()
data = z.read(info)
assert data == open(sys.argv[2], 'rb').read()
assert info.CRC == zlib.crc32(data)
print(info.filename, info.date_time, info.compress_type, info.flag_bits, info.create_version, info.external_attr)
)"),
                                                           zip, source});
    EXPECT_EQ(python.code, 0) << python.out.toStdString();
    EXPECT_EQ(python.out.trimmed(), name + " (2024, 3, 15, 13, 45, 30) 8 2048 20 32");
    EXPECT_EQ(names(), QStringList({name, QString::fromLatin1(name + ".zip")}));  // nothing else left
}

TEST_F(Packaging, ZipSkipsMissingPathsAndKeepsOnlyTheLastPathComponent) {
    // Only a missing path: the end record alone.
    EXPECT_TRUE(Zipa({path("nao-existe.p7s")}, path("vazio.zip")));
    EXPECT_EQ(readFile(path("vazio.zip")), QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0'));

    QDir(dir.path()).mkdir("a");
    QDir(dir.path()).mkdir("b");
    const QString first = writeFile(path("a/x.p7s"), "primeiro");
    const QString second = writeFile(path("b/x.p7s"), "segundo");
    const QString readOnly = writeFile(path("somente-leitura.p7s"), "ro");
    ASSERT_EQ(::chmod(readOnly.toLocal8Bit().constData(), 0444), 0);
    const QString link = path("atalho.p7s");
    ASSERT_TRUE(QFile::link(first, link));
    const QString old = writeFile(path("antigo.p7s"), "1979");
    const utimbuf before1980{315000000, 315000000};  // 1979-12-25
    ASSERT_EQ(::utime(old.toLocal8Bit().constData(), &before1980), 0);

    EXPECT_TRUE(Zipa({first, path("falta.p7s"), second, dir.path(), readOnly, link, old}, path("varios.zip")));
    EXPECT_EQ(run(QStringLiteral("unzip"), {QStringLiteral("-t"), path("varios.zip")}).code, 0);
    const Outcome python = run(QStringLiteral("python3"), {QStringLiteral("-c"), QStringLiteral(R"(
import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    print(i.filename, hex(i.external_attr), i.date_time[0], zipfile.ZipFile(sys.argv[1]).read(i).decode())
)"),
                                                           path("varios.zip")});
    ASSERT_EQ(python.code, 0) << python.out.toStdString();
    EXPECT_EQ(python.out, "x.p7s 0x20 " + QByteArray::number(QDate::currentDate().year()) +
                              " primeiro\n"
                              "x.p7s 0x20 " +
                              QByteArray::number(QDate::currentDate().year()) +
                              " segundo\n"
                              "somente-leitura.p7s 0x21 " +
                              QByteArray::number(QDate::currentDate().year()) +
                              " ro\n"
                              "atalho.p7s 0x20 " +
                              QByteArray::number(QDate::currentDate().year()) +
                              " primeiro\n"
                              "antigo.p7s 0x20 1980 1979\n");  // 1980-00-00: time and date are 0
    const QByteArray archive = readFile(path("varios.zip"));
    const qsizetype oldHeader = archive.lastIndexOf("antigo.p7s", archive.indexOf("PK\x01\x02")) - 30;
    EXPECT_EQ(u32(archive, oldHeader + 10), 0u);

    const std::string error = errorOf([&] { Zipa({first}, path("sem-pasta/x.zip")); });
    EXPECT_NE(error.find("Não foi possível criar o arquivo"), std::string::npos) << error;
}

TEST_F(Packaging, ZipOfAFileThatCannotBeReadRaisesAndKeepsTheEntriesBeforeIt) {
    // A file that exists but gives a read error (the memory of this process at address 0).
    const QString unreadable = QStringLiteral("/proc/self/mem");
    const QString first = writeFile(path("a.p7s"), "assinatura");
    const std::string error = errorOf([&] { Zipa({first, unreadable, path("b.p7s")}, path("parcial.zip")); });
    EXPECT_NE(error.find("/proc/self/mem"), std::string::npos) << error;
    const Outcome unzip = run(QStringLiteral("unzip"), {QStringLiteral("-l"), path("parcial.zip")});
    EXPECT_EQ(unzip.code, 0) << unzip.out.toStdString();
    EXPECT_TRUE(unzip.out.contains("a.p7s"));
    EXPECT_TRUE(unzip.out.contains("1 file"));
    EXPECT_EQ(names(), QStringList({"a.p7s", "parcial.zip"}));
}

TEST_F(Packaging, ZipRefusesAFileWhoseNameIsNotUtf8InsteadOfLeavingItOut) {
    // The name with the byte 0xFF in place of a character.
    const QByteArray rawName = QFile::encodeName(dir.path()) + "/bad\xff.pdf";
    const int fd = ::open(rawName.constData(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "pdf", 3), 3);
    ::close(fd);
    struct Unlink {
        QByteArray name;
        ~Unlink() { ::unlink(name.constData()); }
    } unlink{rawName};
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files).isEmpty());  // Qt does not list it at all
    const QStringList listed = unrepresentableFileNames(dir.path());
    ASSERT_EQ(listed, QStringList{QString::fromUtf8("bad\uFFFD.pdf")});
    const QString listedPath = dir.filePath(listed[0]);
    EXPECT_TRUE(hasUnrepresentableName(listedPath));
    EXPECT_FALSE(hasUnrepresentableName(path("falta.pdf")));

    const QString first = writeFile(path("a.p7s"), "assinatura");
    const std::string error = errorOf([&] { Zipa({first, listedPath}, path("nomes.zip")); });
    EXPECT_NE(error.find("não é um texto UTF-8 válido"), std::string::npos) << error;
    EXPECT_NE(error.find(listedPath.toStdString()), std::string::npos) << error;
    const Outcome unzip = run(QStringLiteral("unzip"), {QStringLiteral("-l"), path("nomes.zip")});
    EXPECT_TRUE(unzip.out.contains("a.p7s") && unzip.out.contains("1 file")) << unzip.out.toStdString();
}

TEST(FileNames, OnlyATextThatGivesBackTheSameBytesIsExact) {
    struct Case {
        QByteArray bytes;
        QString text;
        bool exact;
    };
    const QString bom(QChar(0xFEFF)), bad(QChar(0xFFFD));
    const std::vector<Case> cases{
        {"\xef\xbb\xbfX.pdf", bom + "X.pdf", true},                     // a leading U+FEFF is a character
        {"X.pdf\xe2\x82", "X.pdf" + bad + bad, false},                   // incomplete at the end
        {"X.pdf\xc3", "X.pdf" + bad, false},
        {"X\xed\xa0\x80.pdf", "X" + bad + bad + bad + ".pdf", false},    // a surrogate written in UTF-8
        {"X\xc0\xaf.pdf", "X" + bad + bad + ".pdf", false},              // overlong
        {"X\xef\xbf\xbd.pdf", "X" + bad + ".pdf", true},                 // U+FFFD itself, valid
        {"X\xf0\x9f\x98\x80.pdf", "X" + QString::fromUcs4(U"\U0001F600") + ".pdf", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes.toHex().toStdString());
        const DecodedFileName name = decodeFileName(c.bytes);
        EXPECT_EQ(name.text, c.text);
        EXPECT_EQ(name.exact, c.exact);
    }
    QTemporaryDir dir;
    const QByteArray folder = QFile::encodeName(dir.path()) + "/";
    for (const QByteArray& name : {QByteArray("\xef\xbb\xbf" "bad\xff.pdf"), QByteArray("\xef\xbb\xbf" "ok.pdf")}) {
        const int fd = ::open((folder + name).constData(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    EXPECT_EQ(unrepresentableFileNames(dir.path()), QStringList{bom + "bad" + bad + ".pdf"});
}

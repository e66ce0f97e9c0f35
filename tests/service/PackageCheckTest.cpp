// The check of a downloaded package: real .deb files made with dpkg-deb, and the files
// that take their place when a download goes wrong.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>
#include <optional>

#include "service/PackageCheck.h"
#include "support/DebPackage.h"

using namespace norvane::test;

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// The refusal's kind and message, or nothing when the file was accepted.
std::optional<std::pair<norvane::PackageRefused::Kind, QString>> refusalOf(const QString& path, const QString& version) {
    try {
        norvane::acceptDownloadedPackage(path, version);
    } catch (const norvane::PackageRefused& refused) {
        return std::make_pair(refused.kind(), QString::fromUtf8(refused.what()));
    }
    return std::nullopt;
}

TEST(PackageCheck, ReadsTheControlDataWhateverTheCompression) {
    QTemporaryDir dir;
    for (const char* compression : {"gzip", "xz", "zstd", "none"}) {
        const QString deb = dir.filePath(QStringLiteral("p-%1.deb").arg(compression));
        ASSERT_TRUE(makeDebianPackage(deb, {.package = "norvane-assinador-ip",
                                            .version = "1:1.0.4.2-1",
                                            .payloadBytes = 5000,
                                            .compression = compression}));
        const auto fields = norvane::readPackageFields(deb);
        ASSERT_TRUE(fields) << compression;
        EXPECT_EQ(fields->package, QStringLiteral("norvane-assinador-ip"));
        EXPECT_EQ(fields->version, QStringLiteral("1:1.0.4.2-1"));
        EXPECT_FALSE(refusalOf(deb, "1.0.4")) << compression;
        EXPECT_TRUE(QFile::exists(deb)) << "an accepted package stays";
    }
    EXPECT_EQ(norvane::packageName(), QStringLiteral("norvane-assinador-ip"));
}

TEST(PackageCheck, TheFirstThreeNumbersOfTheVersionAreCompared) {
    for (const auto& [version, leading] : std::vector<std::pair<const char*, const char*>>{
             {"1.0.4", "1.0.4"}, {"1.0.4.7", "1.0.4"}, {"1.0.4-1", "1.0.4"}, {"2:1.0.4.7-3", "1.0.4"},
             {"1.0.4~rc1", "1.0.4"}, {"1.0.45", "1.0.45"}, {"1.0", "1.0"}, {"v1.0.4", ""}, {"1.0.03.2", "1.0.03"}})
        EXPECT_EQ(norvane::leadingVersion(version), QString::fromLatin1(leading)) << version;

    QTemporaryDir dir;
    const QString deb = dir.filePath("a.deb");
    // Accepted when the service named these, refused otherwise.
    for (const auto& [inPackage, named, accepted] : std::vector<std::tuple<const char*, const char*, bool>>{
             {"1.0.4.9", "1.0.4", true}, {"1.0.4", "1.0.4", true}, {"1.0.45.1", "1.0.4", false},
             {"1.0.3.7", "1.0.4", false}, {"1.0.4.1", "1.0.04", false}, {"1.0.04.1", "1.0.04", true}}) {
        ASSERT_TRUE(makeDebianPackage(deb, {.version = inPackage}));
        EXPECT_EQ(!refusalOf(deb, named), accepted) << inPackage << " for " << named;
    }
}

// Each kind of wrong file: what the message says it was, and the file is gone.
TEST(PackageCheck, AnythingElseIsDeletedAndSaysWhatItWas) {
    QTemporaryDir dir;
    const QString path = dir.filePath("NorvaneAssinadorIP_Install.deb");
    const QString gone = "\nO arquivo foi apagado: " + path;
    using Kind = norvane::PackageRefused::Kind;
    const auto refused = [&](Kind kind, const QString& text) {
        const auto refusal = refusalOf(path, "1.0.4");
        EXPECT_TRUE(refusal);
        if (refusal) {
            EXPECT_EQ(refusal->first, kind);
            EXPECT_EQ(refusal->second, text);
        }
        EXPECT_FALSE(QFile::exists(path));
    };

    ASSERT_TRUE(makeDebianPackage(path, {.version = "1.0.3.7"}));
    refused(Kind::OtherVersion,
            "O pacote baixado é da versão 1.0.3.7, e não da versão 1.0.4 anunciada pelo serviço." + gone);

    ASSERT_TRUE(makeDebianPackage(path, {.package = "outro-programa", .version = "1.0.4"}));
    refused(Kind::OtherPackage,
            "O arquivo baixado não é o pacote do assinador (norvane-assinador-ip): é o pacote \"outro-programa\", "
            "versão 1.0.4." + gone);

    writeFile(path, "\xEF\xBB\xBF\n  <!DOCTYPE html>\n<html><head><title>404</title></head><body>Não encontrado</body></html>");
    refused(Kind::NotAPackage, "O arquivo baixado não é um pacote Debian: é uma página HTML." + gone);

    writeFile(path, "");
    refused(Kind::NotAPackage, "O arquivo baixado não é um pacote Debian: é um arquivo vazio." + gone);

    writeFile(path, QByteArray("MZ\x90\x00\x03", 5) + QByteArray(995, '\0'));
    refused(Kind::NotAPackage, "O arquivo baixado não é um pacote Debian: é um programa do Windows." + gone);

    // An ar archive, as a .deb is, but without a package's members.
    writeFile(path, QByteArray("!<arch>\n") + QByteArray("x/              0           0     0     644     4         `\nabcd"));
    refused(Kind::NotAPackage, "O arquivo baixado não é um pacote Debian: é um arquivo de 72 bytes de outro tipo." + gone);

    // A package cut short by a download that stopped.
    ASSERT_TRUE(makeDebianPackage(path, {.version = "1.0.4", .payloadBytes = 20000, .compression = "none"}));
    QFile whole(path);
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.read(300);
    whole.close();
    writeFile(path, bytes);
    refused(Kind::NotAPackage, "O arquivo baixado não é um pacote Debian: é um arquivo de 300 bytes de outro tipo." + gone);
}

// A file that cannot be checked at all (dpkg-deb will not start) goes too: the error keeps
// its kind, says what became of the file, and has the failure to start as its cause.
TEST(PackageCheck, AFileThatCannotBeCheckedIsDeletedAndTheFailureKeepsItsKind) {
    QTemporaryDir dir;
    const QString path = dir.filePath("NorvaneAssinadorIP_Install.deb");
    ASSERT_TRUE(makeDebianPackage(path, {.version = "1.0.4"}));
    // Found first on the PATH, and no program at all: its interpreter does not exist.
    ASSERT_TRUE(QDir(dir.path()).mkdir("bin"));
    const QString fake = dir.filePath("bin/dpkg-deb");
    writeFile(fake, "#!/nao/existe/interpretador\n");
    ASSERT_TRUE(QFile::setPermissions(fake, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray path0 = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(dir.filePath("bin")) + ':' + path0);
    std::optional<norvane::Error> caught;
    try {
        norvane::acceptDownloadedPackage(path, "1.0.4");
    } catch (const norvane::Error& error) {
        caught = error;
    }
    qputenv("PATH", path0);
    ASSERT_TRUE(caught) << "accepted without a check";
    EXPECT_EQ(caught->kind(), norvane::ErrorKind::ProgramMissing);
    const QString text = caught->message();
    EXPECT_TRUE(text.startsWith("Não foi possível verificar o pacote baixado: ")) << text.toStdString();
    EXPECT_TRUE(text.endsWith("\nO arquivo foi apagado: " + path)) << text.toStdString();
    ASSERT_EQ(caught->causes().size(), 1u);
    EXPECT_EQ(caught->causes()[0]->kind(), norvane::ErrorKind::ProgramMissing);
    EXPECT_EQ(caught->causes()[0]->message() + "\nO arquivo foi apagado: " + path, text);
    EXPECT_FALSE(QFile::exists(path));
}

}  // namespace

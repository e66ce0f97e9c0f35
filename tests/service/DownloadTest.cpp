// The download's bounds against a real https server and a plain http one on 127.0.0.1:
// redirects that would leave https, and files larger than allowed.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "service/Download.h"
#include "support/DownloadServer.h"

using namespace norvane::test;

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

struct Outcome {
    std::optional<norvane::DownloadError::Kind> kind;  // nothing: downloaded
    QString message;
};

Outcome download(const QString& url, const QString& target, quint64 maxBytes = norvane::kDownloadSizeLimit) {
    try {
        norvane::downloadFile(url, target, {}, maxBytes);
    } catch (const norvane::DownloadError& error) {
        return {error.kind(), QString::fromUtf8(error.what())};
    }
    return {};
}

class Download : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.running()); }
    QString target() const { return out.filePath("pacote.deb"); }
    bool folderEmpty() const { return QDir(out.path()).entryList(QDir::Files | QDir::Hidden).isEmpty(); }

    DownloadServer server;
    QTemporaryDir out;
    const QByteArray bytes = QByteArray(150 * 1024, 'p');
};

TEST_F(Download, ARedirectStaysOnHttps) {
    server.serve("pacote.deb", bytes);
    // https to https, and http to http or https, are followed.
    server.serve("seguro.deb.redirect", (server.baseUrl() + "pacote.deb").toUtf8());
    EXPECT_FALSE(download(server.baseUrl() + "seguro.deb", target()).kind);
    EXPECT_EQ(readFile(target()), bytes);
    QFile::remove(target());
    EXPECT_FALSE(download(server.plainBaseUrl() + "seguro.deb", target()).kind);
    EXPECT_EQ(readFile(target()), bytes);
    QFile::remove(target());

    // From https to http: refused, and nothing written.
    server.serve("inseguro.deb.redirect", (server.plainBaseUrl() + "pacote.deb").toUtf8());
    const QString url = server.baseUrl() + "inseguro.deb";
    const Outcome refused = download(url, target());
    EXPECT_EQ(refused.kind, norvane::DownloadError::Kind::InsecureRedirect);
    EXPECT_EQ(refused.message, "Error downloading URL: " + url +
                                   "\nO servidor redirecionou o download para um endereço sem https; "
                                   "o download foi recusado.");
    EXPECT_TRUE(folderEmpty());
}

TEST_F(Download, StopsAtTheSizeBoundWithOrWithoutALength) {
    server.serve("pacote.deb", bytes);
    server.serve("semtamanho.deb.nolength", bytes);
    for (const char* name : {"pacote.deb", "semtamanho.deb"}) {
        const QString url = server.baseUrl() + name;
        // One byte more than the bound: refused, nothing left; the bound itself: downloaded.
        const Outcome large = download(url, target(), quint64(bytes.size() - 1));
        EXPECT_EQ(large.kind, norvane::DownloadError::Kind::TooLarge) << name;
        EXPECT_EQ(large.message, "Error downloading URL: " + url + "\nO arquivo passa de 153599 bytes, o limite de um "
                                                                   "download; o download foi interrompido.");
        EXPECT_TRUE(folderEmpty()) << name;
        EXPECT_FALSE(download(url, target(), quint64(bytes.size())).kind) << name;
        EXPECT_EQ(readFile(target()), bytes);
        QFile::remove(target());
    }
    // The program's bound, in its own words.
    const QString url = server.baseUrl() + "grande.deb";
    EXPECT_EQ(norvane::kDownloadSizeLimit, quint64(200) * 1024 * 1024);
    server.serve("grande.deb", QByteArray());
    QFile big(server.folder() + "/grande.deb");
    ASSERT_TRUE(big.open(QIODevice::ReadWrite));
    ASSERT_TRUE(big.resize(qint64(norvane::kDownloadSizeLimit) + 1));  // sparse: announced, refused before a byte
    big.close();
    const Outcome tooBig = download(url, target());
    EXPECT_EQ(tooBig.kind, norvane::DownloadError::Kind::TooLarge);
    EXPECT_EQ(tooBig.message, "Error downloading URL: " + url +
                                  "\nO arquivo passa de 200 MiB, o limite de um download; o download foi interrompido.");
    EXPECT_TRUE(folderEmpty());
}

}  // namespace

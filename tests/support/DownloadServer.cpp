#include "support/DownloadServer.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include "service/Download.h"
#include "support/SoftHsmTokens.h"

namespace norvane::test {

DownloadServer::DownloadServer() {
    // The certificate lies outside the served folder's /files/ names.
    const QString key = dir_.filePath(QStringLiteral("server.key"));
    runTool(QStringLiteral("openssl"),
            {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", certificate(), "-days", "2",
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    norvane::setDownloadTrustFile(certificate());
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("python3"), {NORVANE_TEST_SUPPORT_DIR "/download_server.py", "--cert", certificate(),
                                               "--key", key, "--dir", dir_.path()});
    if (!process_.waitForReadyRead(10000)) {
        ADD_FAILURE() << "the download server did not start";
        return;
    }
    const QJsonObject ports = QJsonDocument::fromJson(process_.readLine()).object();
    port_ = ports.value(QStringLiteral("port")).toInt();
    plainPort_ = ports.value(QStringLiteral("plain_port")).toInt();
    EXPECT_GT(port_, 0);
    EXPECT_GT(plainPort_, 0);
}

DownloadServer::~DownloadServer() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
    }
    norvane::setDownloadTrustFile({});
}

QString DownloadServer::baseUrl() const { return QStringLiteral("https://127.0.0.1:%1/files/").arg(port_); }
QString DownloadServer::plainBaseUrl() const { return QStringLiteral("http://127.0.0.1:%1/files/").arg(plainPort_); }

void DownloadServer::serve(const QString& name, const QByteArray& bytes) const {
    QFile file(dir_.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name.toStdString();
    file.write(bytes);
}

void DownloadServer::remove(const QString& name) const { QFile::remove(dir_.filePath(name)); }

}  // namespace norvane::test

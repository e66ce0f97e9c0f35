#pragma once
// The download server of tests/support/download_server.py on 127.0.0.1: https with a
// certificate that only the tests trust (set as the download trust store while the object
// lives), and plain http beside it. Files put in folder() are served under /files/.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace norvane::test {

class DownloadServer {
public:
    DownloadServer();
    ~DownloadServer();
    DownloadServer(const DownloadServer&) = delete;
    DownloadServer& operator=(const DownloadServer&) = delete;

    bool running() const { return port_ > 0; }
    QString folder() const { return dir_.path(); }
    QString baseUrl() const;       // https://127.0.0.1:N/files/
    QString plainBaseUrl() const;  // http://127.0.0.1:M/files/
    QString certificate() const { return dir_.filePath(QStringLiteral("server.pem")); }

    // Serves `bytes` as `name`; served(name + ".redirect", url) redirects, and so on (see
    // download_server.py).
    void serve(const QString& name, const QByteArray& bytes) const;
    void remove(const QString& name) const;

private:
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    int plainPort_ = 0;
};

}  // namespace norvane::test

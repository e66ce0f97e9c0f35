#pragma once
// The office's proxy of tests/support/proxy_standin.py on 127.0.0.1: it passes requests
// on (an absolute URI for http, a CONNECT tunnel for https), asks for a password (407)
// or refuses (403), and logs every request it takes.

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <optional>

namespace norvane::test {

class ProxyStandIn {
public:
    enum class Mode { Pass, Auth, Refuse };
    explicit ProxyStandIn(Mode mode = Mode::Pass, const QString& user = QStringLiteral("escritorio:senha"));
    ~ProxyStandIn();
    ProxyStandIn(const ProxyStandIn&) = delete;
    ProxyStandIn& operator=(const ProxyStandIn&) = delete;

    int port() const { return port_; }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(port_); }
    // The requests taken so far, oldest first: {"method", "target", "auth"}.
    QList<QJsonObject> requests() const;

private:
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
};

// Sets the proxy variables for the object's life and restores them after (every name,
// both cases; what is not given is unset).
class ProxyEnvironment {
public:
    explicit ProxyEnvironment(const QList<QPair<QByteArray, QByteArray>>& set);
    ~ProxyEnvironment();

private:
    QList<QPair<QByteArray, std::optional<QByteArray>>> saved_;
};

}  // namespace norvane::test

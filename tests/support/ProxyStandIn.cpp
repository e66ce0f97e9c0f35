#include "support/ProxyStandIn.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>

namespace norvane::test {

ProxyStandIn::ProxyStandIn(Mode mode, const QString& user) {
    const QString modeName = mode == Mode::Pass ? QStringLiteral("pass")
                             : mode == Mode::Auth ? QStringLiteral("auth")
                                                  : QStringLiteral("refuse");
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QStringLiteral("python3"), {NORVANE_TEST_SUPPORT_DIR "/proxy_standin.py", "--log",
                                               dir_.filePath(QStringLiteral("log")), "--mode", modeName, "--user", user});
    if (!process_.waitForReadyRead(10000)) {
        ADD_FAILURE() << "the proxy stand-in did not start";
        return;
    }
    port_ = QJsonDocument::fromJson(process_.readLine()).object().value(QStringLiteral("port")).toInt();
    EXPECT_GT(port_, 0);
}

ProxyStandIn::~ProxyStandIn() {
    process_.closeWriteChannel();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished();
    }
}

QList<QJsonObject> ProxyStandIn::requests() const {
    QList<QJsonObject> out;
    QFile log(dir_.filePath(QStringLiteral("log")));
    if (!log.open(QIODevice::ReadOnly)) return out;
    for (const QByteArray& line : log.readAll().split('\n'))
        if (!line.trimmed().isEmpty()) out.append(QJsonDocument::fromJson(line).object());
    return out;
}

namespace {

const QList<QByteArray> kNames{"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                               "no_proxy",   "NO_PROXY",   "all_proxy",   "ALL_PROXY"};

}  // namespace

ProxyEnvironment::ProxyEnvironment(const QList<QPair<QByteArray, QByteArray>>& set) {
    for (const QByteArray& name : kNames) {
        saved_.append({name, qEnvironmentVariableIsSet(name.constData())
                                 ? std::optional<QByteArray>(qgetenv(name.constData()))
                                 : std::nullopt});
        qunsetenv(name.constData());
    }
    for (const auto& [name, value] : set) qputenv(name.constData(), value);
}

ProxyEnvironment::~ProxyEnvironment() {
    for (const auto& [name, value] : saved_) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

}  // namespace norvane::test

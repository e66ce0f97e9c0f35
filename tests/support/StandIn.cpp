#include "StandIn.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <stdexcept>

namespace norvane::test {

namespace {

QJsonObject toJson(const ScriptedAnswer& answer) {
    QJsonArray headers;
    for (const auto& [name, value] : answer.headers)
        headers.append(QJsonArray{QString::fromLatin1(name), QString::fromLatin1(value)});
    QJsonObject object{
        {"status", QString::fromLatin1(answer.status)},
        {"headers", headers},
        {"body_b64", QString::fromLatin1(answer.body.toBase64())},
        {"keep_alive", answer.keepAlive},
        {"content_length", answer.contentLength},
        {"hang", answer.hang},
        {"delay_ms", answer.delayMs},
    };
    if (answer.closeAfter >= 0) object.insert("close_after", answer.closeAfter);
    if (answer.bodySize > 0) object.insert("body_size", QJsonValue(answer.bodySize));
    if (answer.trickleMs > 0) object.insert("trickle_ms", answer.trickleMs);
    return object;
}

QByteArray line(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'; }

}  // namespace

ScriptedAnswer ScriptedAnswer::ok(const QByteArray& body, const QByteArray& contentType) {
    ScriptedAnswer answer;
    answer.body = body;
    answer.headers = {{"Content-Type", contentType}};
    if (contentType.isEmpty()) answer.headers.clear();
    return answer;
}

QByteArray RecordedRequest::head() const {
    const qsizetype end = raw.indexOf("\r\n\r\n");
    return end < 0 ? raw : raw.left(end + 4);
}

QByteArray RecordedRequest::body() const {
    const qsizetype end = raw.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : raw.mid(end + 4);
}

StandIn::StandIn() : StandIn(Options{}) {}

StandIn::StandIn(const Options& options) : process_(std::make_unique<QProcess>()) {
    QStringList arguments{QStringLiteral(NORVANE_TEST_SUPPORT_DIR "/standin/standin.py"), QStringLiteral("--control"),
                          QStringLiteral("--port"), QString::number(options.port)};
    if (options.homologationPort)
        arguments << QStringLiteral("--homologation-port") << QString::number(options.homologationPortNumber);
    if (options.uploadDelayMs > 0) arguments << QStringLiteral("--upload-delay-ms") << QString::number(options.uploadDelayMs);
    if (options.demo) {
        arguments << QStringLiteral("--demo") << QStringLiteral("--version") << options.version
                  << QStringLiteral("--offices") << QString::number(options.offices);
        store_ = options.store;
        if (store_.isEmpty()) {
            temporaryStore_ = std::make_unique<QTemporaryDir>();
            store_ = temporaryStore_->path();
        }
        arguments << QStringLiteral("--store") << store_;
        if (!options.samples.isEmpty()) arguments << QStringLiteral("--samples") << options.samples;
    }
    process_->setReadChannel(QProcess::StandardOutput);
    process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_->start(QStringLiteral("python3"), arguments);
    if (!process_->waitForStarted(10000)) throw std::runtime_error("stand-in: python3 did not start");
    while (!process_->canReadLine())
        if (!process_->waitForReadyRead(10000)) throw std::runtime_error("stand-in: no port announced");
    const QJsonObject ports = QJsonDocument::fromJson(process_->readLine()).object();
    port_ = static_cast<quint16>(ports.value("port").toInt());
    homologationPort_ = static_cast<quint16>(ports.value("homologation_port").toInt());
    if (!port_) throw std::runtime_error("stand-in: bad port announcement");
}

StandIn::~StandIn() {
    if (process_->state() == QProcess::Running) {
        process_->write(line(QJsonObject{{"cmd", "quit"}}));
        process_->closeWriteChannel();
        if (!process_->waitForFinished(5000)) {
            process_->kill();
            process_->waitForFinished(2000);
        }
    }
}

QString StandIn::baseUrl() const { return QStringLiteral("http://127.0.0.1:%1/assinadorNorvane/").arg(port_); }

QString StandIn::homologationBaseUrl() const {
    return QStringLiteral("http://127.0.0.1:%1/assinadorNorvane/").arg(homologationPort_);
}

QByteArray StandIn::command(const QByteArray& json) {
    process_->write(json);
    while (!process_->canReadLine())
        if (!process_->waitForReadyRead(10000)) throw std::runtime_error("stand-in: no reply");
    const QByteArray reply = process_->readLine();
    if (!QJsonDocument::fromJson(reply).object().value("ok").toBool())
        throw std::runtime_error("stand-in: command refused: " + reply.toStdString());
    return reply;
}

void StandIn::script(const ScriptedAnswer& answer) {
    command(line(QJsonObject{{"cmd", "script"}, {"answer", toJson(answer)}}));
}

void StandIn::setDefault(const ScriptedAnswer& answer) {
    command(line(QJsonObject{{"cmd", "default"}, {"answer", toJson(answer)}}));
}

QList<RecordedRequest> StandIn::requests() {
    const QJsonObject reply = QJsonDocument::fromJson(command(line(QJsonObject{{"cmd", "requests"}}))).object();
    QList<RecordedRequest> result;
    for (const QJsonValue& value : reply.value("requests").toArray()) {
        const QJsonObject object = value.toObject();
        result.append(
            {QByteArray::fromBase64(object.value("raw").toString().toLatin1()), object.value("conn").toInt()});
    }
    return result;
}

void StandIn::clear() { command(line(QJsonObject{{"cmd", "clear"}})); }

void StandIn::listen(bool on) { command(line(QJsonObject{{"cmd", "listen"}, {"on", on}})); }

QList<QPair<QString, QByteArray>> formFields(const QByteArray& body) {
    QList<QPair<QString, QByteArray>> fields;
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        QByteArray value = pair.mid(eq + 1);
        value.replace('+', ' ');
        fields.append({QString::fromUtf8(pair.left(eq)), QByteArray::fromPercentEncoding(value)});
    }
    return fields;
}

}  // namespace norvane::test

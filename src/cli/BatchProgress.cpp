#include "cli/BatchProgress.h"

#include <QDateTime>
#include <QJsonDocument>
#include <cstdio>

#include "cli/TerminalDialogs.h"
#include "engine/RowStatus.h"

namespace norvane {

void printOut(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void printJson(const QJsonObject& object) { printOut(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n'); }

namespace {

QString hex(const QByteArray& digest) { return QString::fromLatin1(digest.toHex()); }

// ISO 8601 with milliseconds and the offset from UTC.
QString isoTime(const QDateTime& when) {
    return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString eventName(RowChange::Kind kind) {
    switch (kind) {
        case RowChange::Signing:
            return QStringLiteral("assinando");
        case RowChange::Signed:
            return QStringLiteral("assinado");
        case RowChange::Failed:
            return QStringLiteral("erro");
        case RowChange::Sent:
            return QStringLiteral("enviado");
        case RowChange::Stopped:
            return QStringLiteral("parado");
        case RowChange::AlreadySent:
            return QStringLiteral("ja-enviado");
    }
    return QString();
}

}  // namespace

BatchProgress::BatchProgress(const RowModel& model, bool json)
    : model_(model), json_(json), lines_(size_t(model.rowCount())) {}

void BatchProgress::rowReached(int row) {
    // A row the run passes by (an intake error, a row sent before) is told as it is.
    const RowRecord& record = model_.row(row);
    if (record.status == RowStatus::Error || record.status == RowStatus::Sent) {
        if (json_) printJson(rowObject(QStringLiteral("inalterado"), row, record, record.status));
        tell(row);
    }
}

void BatchProgress::rowChanged(const RowChange& change) {
    const RowRecord& record = model_.row(change.row);
    if (json_) {
        QJsonObject object = rowObject(eventName(change.kind), change.row, record, change.status);
        if (!change.message.isEmpty()) object.insert(QStringLiteral("mensagem"), change.message);
        if (!change.signaturePath.isEmpty()) object.insert(QStringLiteral("p7s"), change.signaturePath);
        if (!change.inputSha256.isEmpty()) object.insert(QStringLiteral("sha256_pdf"), hex(change.inputSha256));
        if (!change.signatureSha256.isEmpty()) object.insert(QStringLiteral("sha256_p7s"), hex(change.signatureSha256));
        if (change.sentAt.isValid()) object.insert(QStringLiteral("enviado_em"), isoTime(change.sentAt));
        object.insert(QStringLiteral("hora"),
                      isoTime(change.when.isValid() ? change.when : QDateTime::currentDateTime()));
        printJson(object);
    }
    if (change.kind == RowChange::Sent || change.kind == RowChange::Failed || change.kind == RowChange::Stopped ||
        change.kind == RowChange::AlreadySent)
        tell(change.row, change.message);
}

void BatchProgress::tellTheRest() {
    for (int row = 0; row < model_.rowCount(); ++row)
        if (lines_[size_t(row)].isNull()) tell(row);
}

QJsonObject BatchProgress::rowObject(const QString& event, int row, const RowRecord& record,
                                     std::optional<RowStatus> status) const {
    QJsonObject object;
    object.insert(QStringLiteral("evento"), event);
    object.insert(QStringLiteral("linha"), row + 1);
    object.insert(QStringLiteral("arquivo"), record.file);
    object.insert(QStringLiteral("chave"), record.key);
    object.insert(QStringLiteral("status"), status ? statusText(*status) : QString());
    object.insert(QStringLiteral("observacao"), record.observation.value_or(QString()));
    return object;
}

void BatchProgress::tell(int row, const QString& message) {
    const RowRecord& record = model_.row(row);
    QString status = QStringLiteral("não lido");
    if (record.status)
        status = *record.status == RowStatus::Waiting ? QStringLiteral("não assinado") : statusText(*record.status);
    QString line = QStringLiteral("[%1/%2] %3: %4").arg(row + 1).arg(model_.rowCount()).arg(record.file, status);
    const QString observation = record.observation.value_or(QString());
    if (!observation.isEmpty()) line += QStringLiteral(" - ") + observation;
    if (!message.isEmpty()) line += QStringLiteral(" - ") + message;
    lines_[size_t(row)] = line;
    for (; next_ < lines_.size() && !lines_[next_].isNull(); ++next_) printError(lines_[next_]);
}

}  // namespace norvane

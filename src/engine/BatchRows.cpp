#include "engine/BatchRows.h"

#include "core/Error.h"
#include "engine/Journal.h"
#include "engine/RowRules.h"
#include "engine/RowSigning.h"
#include "packaging/Packaging.h"
#include "service/ServiceCall.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace norvane {

namespace {

// The SHA-256 of the file's bytes as they are now; none when it cannot be read.
std::optional<QByteArray> fileSha256(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || file.error() != QFile::NoError) return std::nullopt;
    return hash.result();
}

}  // namespace

BatchRows::BatchRows(BatchInputs inputs, SigningSession& signing, HttpClient& upload)
    : in_(std::move(inputs)), signing_(signing), http_(upload) {}

bool BatchRows::takes(const RowRecord& row) const {
    return row.status != RowStatus::Error && row.status != RowStatus::Sent;
}

RowSteps::Verdict BatchRows::sign(int row, const RowRecord& record, RowStage& stage, std::optional<RowUpload>& upload) {
    if (!record.status)
        throw Error(ErrorKind::FileError, QStringLiteral("O arquivo %1 não foi validado: a leitura da pasta de entrada "
                                                         "terminou antes dele. Leia a pasta novamente.")
                                              .arg(record.file));
    const QString outFolder = in_.outputFolder + QDir::separator();
    const QString input = in_.inputFolder + QDir::separator() + record.file;

    // Sent before (the same name and the same bytes, to the same environment and office):
    // left alone. A file that cannot be read here is told by its signature below.
    if (journal_) {
        if (const std::optional<QByteArray> digest = fileSha256(input)) {
            if (const auto sent = journal_->sentFile(record.file, *digest, JournalTarget::of(in_.context))) {
                RowChange change = alreadySentChange(row, *sent, QStringLiteral("pasta de saída"));
                change.inputPath = input;
                change.signaturePath = outFolder + record.file + QStringLiteral(".p7s");
                stage.change(change);
                return Verdict::Next;
            }
        }
    }
    stage.change(RowChange(RowChange::Signing, row));
    const FileSignature signature = signing_.signFile(input, in_.context.Certificado_Thumbprint, outFolder);
    if (!signature.signedFile()) return reportFailedSignature(row, signature, stage) ? Verdict::End : Verdict::Next;
    stage.change(signedChange(row, input, signature));
    // An earlier row ended the run meanwhile: this one stays signed, for the next run.
    if (stage.ending(row)) return Verdict::Next;

    const QString p7s = outFolder + record.file + QStringLiteral(".p7s");
    const qint64 size = FileSize2(p7s);
    // Zipa skips a missing file: an empty archive must never be sent in its place.
    if (size < 0) throw Error(ErrorKind::FileError, QStringLiteral("O arquivo assinado %1 não foi encontrado.").arg(p7s));
    if (size > kSignedFileLimit) {
        stage.change(RowChange(RowChange::Failed, row, kSignedFileTooLarge));
        return Verdict::Next;
    }

    const std::optional<QString> certificate =
        certificateForUpload(row, signing_, in_.context.Certificado_Thumbprint, stage);
    if (!certificate) return Verdict::End;
    upload = RowUpload{row, p7s, QString(), *certificate};
    return Verdict::Next;
}

void BatchRows::send(const RowUpload& upload, const RowRecord& record, RowStage& stage) {
    // The archive lives only while its text is made: it is gone also when this fails.
    const QString zip = upload.signaturePath + QStringLiteral(".zip");
    QByteArray text;
    try {
        Zipa({upload.signaturePath}, zip);
        text = EncodeFile(zip);
    } catch (...) {
        QFile::remove(zip);
        throw;
    }
    if (text.isEmpty()) return;  // nothing to send: the row stays signed
    if (!QFile::remove(zip) && QFile::exists(zip))
        throw Error(ErrorKind::FileError, QStringLiteral("Não foi possível apagar o arquivo temporário %1.").arg(zip));

    fields_.set(QStringLiteral("servico"), kInstrumentoDeProtesto);
    fields_.set(QStringLiteral("ds_instrumento_protesto"), text);
    fields_.set(QStringLiteral("nm_chave"), record.key);
    fields_.set(QStringLiteral("cd_usuario"), in_.context.cd_usuario);
    fields_.set(QStringLiteral("ds_certificado_digital_b64"), upload.certificateText);
    text = QByteArray();
    const QString answer = serviceCall(http_, in_.context.Ambiente, in_.context.urlAPI, fields_);
    // Only the answer's syntax is judged.
    if (parseAnswerObject(answer)) {
        stage.change(RowChange(RowChange::Sent, upload.row));
    } else {
        stage.change(RowChange(RowChange::Failed, upload.row, kNotSentText));
    }
}

}  // namespace norvane

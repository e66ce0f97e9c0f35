#include "engine/BatchRows.h"

#include "certs/cms/FileSigning.h"
#include "core/Error.h"
#include "engine/BatchIntake.h"
#include "engine/Journal.h"
#include "engine/RowRules.h"
#include "engine/RowSigning.h"
#include "packaging/Packaging.h"
#include "service/ServiceCall.h"

#include <QDir>
#include <QFile>

namespace norvane {

BatchRows::BatchRows(BatchInputs inputs, SigningKeys& keys, HttpClient& upload)
    : in_(std::move(inputs)), keys_(keys), http_(upload) {}

bool BatchRows::takes(const RowRecord& row) const {
    return row.status != RowStatus::Error && row.status != RowStatus::Sent;
}

QString BatchRows::changedSinceIntake(const RowRecord& record, const QByteArray& content) const {
    QString why;
    if (record.sizeBytes >= 0 && content.size() != record.sizeBytes)
        why = QStringLiteral("tinha %1 e agora tem %2").arg(record.size, sizeText(content.size()));
    else
        why = intakeObservation(contentMarks(content), record.file, in_.context.cd_ibge, in_.context.nr_cartorio);
    if (why.isEmpty()) return why;
    return QStringLiteral("O arquivo mudou depois da leitura da pasta de entrada (%1); nada foi assinado nem enviado. "
                          "Leia a pasta novamente.")
        .arg(why);
}

RowSteps::Verdict BatchRows::sign(int row, const RowRecord& record, RowStage& stage, std::optional<RowUpload>& upload) {
    if (!record.status)
        throw Error(ErrorKind::FileError, QStringLiteral("O arquivo %1 não foi validado: a leitura da pasta de entrada "
                                                         "terminou antes dele. Leia a pasta novamente.")
                                              .arg(record.file));
    const QString outFolder = in_.outputFolder + QDir::separator();
    const QString input = in_.inputFolder + QDir::separator() + record.file;
    const QString p7s = cms::signaturePath(outFolder, record.file);

    // Sent before (the same name and the same bytes, to the same environment and office):
    // left alone. Looked up with the bytes the signature reads, once they are read; the row
    // is taken up ("Assinando") only then, or when the file could not be read.
    bool told = false;  // a change of the row was told
    bool sentBefore = false;
    QString changed;  // why the bytes read no longer pass the intake's tests
    const auto beforeSigning = [&](const QByteArray& content, const QByteArray& contentSha256) {
        told = true;
        if (journal_) {
            if (const auto sent = journal_->sentFile(record.file, contentSha256, JournalTarget::of(in_.context))) {
                RowChange change = alreadySentChange(row, *sent, QStringLiteral("pasta de saída"));
                change.inputPath = input;
                change.signaturePath = p7s;
                stage.change(change);
                sentBefore = true;
                return false;
            }
        }
        stage.change(RowChange(RowChange::Signing, row));
        // The file may have changed since the intake read it: these bytes are the ones signed
        // and sent, so they are judged again.
        changed = changedSinceIntake(record, content);
        return changed.isEmpty();
    };
    const auto takeUp = [&] {
        if (!told) stage.change(RowChange(RowChange::Signing, row));
    };
    FileSignature signature;
    try {
        signature = signFileWith(keys_, in_.context.Certificado_Thumbprint, input, outFolder, beforeSigning);
    } catch (const cms::FileSigningError& error) {
        takeUp();
        // The file is gone or is no longer a file: an error of the row, which then ends the run.
        if (error.step() == cms::FileStep::Opening) stage.change(RowChange(RowChange::Failed, row, error.message()));
        throw;
    } catch (const std::exception&) {
        takeUp();
        throw;
    }
    if (sentBefore) return Verdict::Next;
    if (!changed.isEmpty()) {
        stage.change(RowChange(RowChange::Failed, row, changed));
        return Verdict::Next;
    }
    takeUp();
    if (!signature.signedFile()) return reportFailedSignature(row, signature, stage) ? Verdict::End : Verdict::Next;
    stage.change(signedChange(row, input, signature));
    // An earlier row ended the run meanwhile: this one stays signed, for the next run.
    if (stage.ending(row)) return Verdict::Next;

    const qint64 size = FileSize2(p7s);
    // Zipa skips a missing file: an empty archive must never be sent in its place.
    if (size < 0) throw Error(ErrorKind::FileError, QStringLiteral("O arquivo assinado %1 não foi encontrado.").arg(p7s));
    if (size > kSignedFileLimit) {
        stage.change(RowChange(RowChange::Failed, row, kSignedFileTooLarge));
        return Verdict::Next;
    }

    const std::optional<QString> certificate =
        certificateForUpload(row, keys_, in_.context.Certificado_Thumbprint, stage);
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

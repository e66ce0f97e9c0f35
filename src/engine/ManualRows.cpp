#include "engine/ManualRows.h"

#include "core/Error.h"
#include "core/SystemErrors.h"
#include "engine/Journal.h"
#include "engine/RowRules.h"
#include "engine/RowSigning.h"
#include "packaging/Packaging.h"
#include "service/ServiceCall.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <algorithm>

namespace norvane {

namespace {

// The longest name written for a key is key + ".pdf.p7s", and while it is written the
// temporary name beside it adds ".XXXXXX"; a file name holds at most 255 bytes.
constexpr qsizetype kNameMax = 255;
const QByteArray kLongestSuffix = QByteArrayLiteral(".pdf.p7s.XXXXXX");

// The key as shown in a message: control characters as \xNN, so that the text stays readable.
QString shownKey(const QString& key) {
    QString shown;
    for (const QChar c : key) {
        if (c.category() == QChar::Other_Control)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

RowChange failed(int row, const QString& why) { return RowChange(RowChange::Failed, row, why); }

}  // namespace

QString invalidKeyText(const QString& key) {
    QString reason;
    if (key.isEmpty())
        reason = QStringLiteral("vazia");
    else if (key == QLatin1String(".") || key == QLatin1String(".."))
        reason = QStringLiteral("nome reservado de pasta");
    else if (key.contains(QLatin1Char('/')) || key.contains(QLatin1Char('\\')))
        reason = QStringLiteral("contém separador de pasta");
    else if (std::any_of(key.begin(), key.end(), [](QChar c) { return c.category() == QChar::Other_Control; }))
        reason = QStringLiteral("contém caractere de controle");
    else if (!key.isValidUtf16())
        reason = QStringLiteral("contém caractere inválido");
    else if (QFile::encodeName(key).size() + kLongestSuffix.size() > kNameMax)
        reason = QStringLiteral("longa demais para nome de arquivo");
    if (reason.isEmpty()) return QString();
    return QStringLiteral("Chave única inválida para nome de arquivo (%1): \"%2\"").arg(reason, shownKey(key));
}

ManualRows::ManualRows(ManualInputs inputs, SigningKeys& keys, HttpClient& upload)
    : in_(std::move(inputs)), keys_(keys), http_(upload) {}

bool ManualRows::takes(const RowRecord& row) const { return row.status != RowStatus::Sent; }

RowSteps::Verdict ManualRows::sign(int row, const RowRecord& record, RowStage& stage, std::optional<RowUpload>& upload) {
    // This PDF sent before under this ID to the same environment and office: left alone,
    // nothing written. A corrected PDF under the same ID is signed and sent.
    if (journal_) {
        const QByteArray pdfSha256 =
            QCryptographicHash::hash(DecodeBase64Lenient(record.pdfBase64), QCryptographicHash::Sha256);
        if (const auto sent = journal_->sentInstrument(record.id, pdfSha256, JournalTarget::of(in_.context))) {
            stage.change(alreadySentChange(row, *sent, QStringLiteral("pasta de gravação")));
            return Verdict::Next;
        }
    }
    stage.change(RowChange(RowChange::Signing, row));

    // The key names the files: one that would leave the folder or cannot be a file name
    // is refused before anything is written.
    if (const QString invalid = invalidKeyText(record.key); !invalid.isEmpty()) {
        stage.change(failed(row, invalid));
        return Verdict::Next;
    }
    if (DecodeBase64Lenient(record.pdfBase64).isEmpty()) {
        stage.change(failed(row, QStringLiteral("O PDF do instrumento veio vazio do serviço; nada foi assinado.")));
        return Verdict::Next;
    }

    const QString saveFolder = in_.saveFolder + QDir::separator();
    const QString pdf = saveFolder + record.key + QStringLiteral(".pdf");
    SaveBase64ToFile(record.pdfBase64, pdf);

    const FileSignature signature = signFileWith(keys_, in_.context.Certificado_Thumbprint, pdf, saveFolder);
    // At the PIN (cancelled, refused, locked) or a key out of reach the run ends; the
    // written PDF stays in the folder.
    if (!signature.signedFile()) return reportFailedSignature(row, signature, stage) ? Verdict::End : Verdict::Next;
    stage.change(signedChange(row, pdf, signature));
    if (stage.ending(row)) return Verdict::Next;

    const QString p7s = signature.signaturePath;
    if (FileSize2(p7s) > kSignedFileLimit) {
        stage.change(failed(row, kSignedFileTooLarge));
        return Verdict::Next;
    }
    const std::optional<QString> certificate =
        certificateForUpload(row, keys_, in_.context.Certificado_Thumbprint, stage);
    if (!certificate) return Verdict::End;
    upload = RowUpload{row, p7s, pdf, *certificate};
    return Verdict::Next;
}

void ManualRows::send(const RowUpload& upload, const RowRecord& record, RowStage& stage) {
    QByteArray text = EncodeFile(upload.signaturePath);
    if (text.isEmpty()) return;  // nothing to send: the row stays signed

    fields_.set(QStringLiteral("servico"), kDigitacaoManualAtt);
    fields_.set(QStringLiteral("cd_titulo_instrumento_protesto"), record.id);
    fields_.set(QStringLiteral("ds_instrumento_protesto_b64"), text);
    fields_.set(QStringLiteral("ds_certificado_digital_b64"), upload.certificateText);
    text = QByteArray();
    const QString answer = serviceCall(http_, in_.context.Ambiente, in_.context.urlAPI, Wrapping::A, fields_);

    const std::optional<JsonValue> parsed = jsonParse(answer);
    if (!parsed || !parsed->is_object()) {
        stage.change(failed(upload.row, kNotSentText));
        return;
    }
    // Marked sent before the PDF goes: the service has it, whatever happens to the file.
    stage.change(RowChange(RowChange::Sent, upload.row));
    QFile written(upload.pdfPath);
    if (!written.remove() && written.exists())
        throw Error(ErrorKind::FileError, QStringLiteral("Não foi possível apagar o arquivo %1: %2")
                                              .arg(upload.pdfPath, fileErrorText(written, errno)));
}

}  // namespace norvane

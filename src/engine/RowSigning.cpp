#include "engine/RowSigning.h"

#include "engine/RowRules.h"

namespace norvane {

bool reportFailedSignature(int row, const FileSignature& signature, RowStage& stage) {
    if (signature.keyUnreachable()) {
        if (!signature.errors.empty()) stage.showError(row, signature.errors.back());
        return true;
    }
    for (const QString& error : signature.errors) stage.showError(row, error);
    return signature.pinProblem();
}

RowChange signedChange(int row, const QString& inputPath, const FileSignature& signature) {
    RowChange change(RowChange::Signed, row);
    change.inputPath = inputPath;
    change.signaturePath = signature.signaturePath;
    change.inputSha256 = signature.contentSha256;
    change.signatureSha256 = signature.signatureSha256;
    bool counted = false;
    const qint64 bytes = signature.sizeText.toLongLong(&counted);
    if (counted) change.signedBytes = bytes;
    return change;
}

RowChange alreadySentChange(int row, const JournalSend& sent, const QString& folderWord) {
    RowChange change(RowChange::AlreadySent, row, alreadySentText(sent.when, folderWord));
    change.inputSha256 = sent.inputSha256;
    change.signatureSha256 = sent.signatureSha256;
    change.sentAt = sent.when;
    return change;
}

std::optional<QString> certificateForUpload(int row, SigningKeys& keys, const QString& thumbprint, RowStage& stage) {
    QString failure;
    std::optional<QString> certificate = keys.certificateBase64(thumbprint, &failure);
    if (!certificate) stage.showError(row, failure);
    return certificate;
}

}  // namespace norvane

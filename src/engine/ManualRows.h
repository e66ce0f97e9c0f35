#pragma once
// The steps of a row of the manual instruments tab: the token stage writes the instrument's
// PDF into the save folder, signs it and looks the certificate up; the service stage encodes
// the signature in Base64 and uploads it to instrumentoDeProtestoDigitacaoManualAtt.

#include "certs/FileSignature.h"
#include "core/LoginContext.h"
#include "engine/RowEngine.h"
#include "service/Form.h"
#include "service/HttpClient.h"

namespace norvane {

// Why an instrument key cannot name the files of the save folder (empty, a path separator,
// "." or "..", a control character, broken UTF-16, too long for a file name), as the row's
// Observação naming the key; the empty text when the key is fit.
QString invalidKeyText(const QString& key);

class Journal;

struct ManualInputs {
    LoginContext context;
    QString saveFolder;  // as the folder choice gave it (no trailing separator)
};

class ManualRows final : public RowSteps {
public:
    ManualRows(ManualInputs inputs, SigningKeys& keys, HttpClient& upload);

    // Every row but those in "Enviado", rows in "Erro" included.
    bool takes(const RowRecord& row) const override;
    // Rows of the same key write the same PDF and signature.
    bool sharesFiles(const RowRecord& a, const RowRecord& b) const override { return a.key == b.key; }
    Verdict sign(int row, const RowRecord& record, RowStage& stage, std::optional<RowUpload>& upload) override;
    void send(const RowUpload& upload, const RowRecord& record, RowStage& stage) override;

    // The save folder's journal: an instrument (its ID and its PDF's SHA-256) that it records
    // as sent to this environment and office is neither signed nor sent again.
    void setJournal(const Journal* journal) { journal_ = journal; }

private:
    ManualInputs in_;
    SigningKeys& keys_;
    HttpClient& http_;
    const Journal* journal_ = nullptr;
    // One list of fields for the whole run: every row overwrites its values in place.
    FieldList fields_;
};

}  // namespace norvane

#pragma once
// The steps of a row of the batch tab: the token stage signs the input file into the output
// folder and looks the certificate up; the service stage zips the signature, encodes the
// archive in Base64 and uploads it to the service instrumentoDeProtesto.

#include "certs/FileSignature.h"
#include "core/LoginContext.h"
#include "engine/RowEngine.h"
#include "service/Form.h"
#include "service/HttpClient.h"

namespace norvane {

class Journal;

struct BatchInputs {
    LoginContext context;
    QString inputFolder;   // as the folder choice gave it (no trailing separator)
    QString outputFolder;  // idem
};

class BatchRows final : public RowSteps {
public:
    BatchRows(BatchInputs inputs, SigningKeys& keys, HttpClient& upload);

    // Rows in "Erro" or "Enviado" are left as they are.
    bool takes(const RowRecord& row) const override;
    bool sharesFiles(const RowRecord& a, const RowRecord& b) const override { return a.file == b.file; }
    Verdict sign(int row, const RowRecord& record, RowStage& stage, std::optional<RowUpload>& upload) override;
    void send(const RowUpload& upload, const RowRecord& record, RowStage& stage) override;

    // The output folder's journal: a file (its name and the SHA-256 of its bytes now) that it
    // records as sent to this environment and office is neither signed nor sent again.
    void setJournal(const Journal* journal) { journal_ = journal; }

private:
    // Why the bytes read at signing no longer pass the intake's tests (their size against the
    // listed one, the content marks, the name), as the row's Observação; empty when they pass.
    QString changedSinceIntake(const RowRecord& record, const QByteArray& content) const;

    BatchInputs in_;
    SigningKeys& keys_;
    HttpClient& http_;
    const Journal* journal_ = nullptr;
    // One list of fields for the whole batch: every file overwrites its values in place.
    FieldList fields_;
};

}  // namespace norvane

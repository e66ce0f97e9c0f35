#pragma once
// What the steps of both grids share about a row's signature.

#include "certs/FileSignature.h"
#include "engine/Journal.h"
#include "engine/RowEngine.h"

namespace norvane {

// Shows the boxes of a failed signature about its row, and tells whether the run ends there:
// a PIN cancelled, refused or locked, or a key that cannot be reached. A key that cannot be
// reached is told once, by the key's own box: every row after it would fail the same way.
bool reportFailedSignature(int row, const FileSignature& signature, RowStage& stage);

// The row's change to "Assinado", with what the signature wrote.
RowChange signedChange(int row, const QString& inputPath, const FileSignature& signature);

// The signer's certificate in Base64, for the row's upload. None when the lookup failed: its
// box is shown about the row, and the run ends there with the row signed (without the
// certificate nothing can be sent).
std::optional<QString> certificateForUpload(int row, SigningKeys& keys, const QString& thumbprint, RowStage& stage);

// The row's change to "Enviado" when the journal records it as sent before: what was sent,
// and when ("Já enviado em ... (diário da <folderWord>); para reenviar, ...").
RowChange alreadySentChange(int row, const JournalSend& sent, const QString& folderWord);

}  // namespace norvane

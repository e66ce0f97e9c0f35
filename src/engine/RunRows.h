#pragma once
// A run of a tab's rows with everything around it: the journal of the output folder (the save
// folder on the manual tab), which leaves alone what it records as sent and records every
// change, and the report written at the end, also when an error ended the run. The batch tab,
// the manual tab and the command line run their rows through these.

#include "certs/FileSignature.h"
#include "engine/BatchRows.h"
#include "engine/ManualRows.h"
#include "engine/RowEngine.h"
#include "service/HttpClient.h"

#include <QString>

namespace norvane {

struct RunOutcome {
    RunEnd end;
    QString reportPath;   // empty when no report could be written
    QString reportError;  // then why, to be said in the run's last message
};

// Runs the engine's rows (observers already added to the engine are told as usual). Raises
// Error FileError when the journal cannot be opened, Error InvalidArgument when it records
// sends to the other environment (nothing was signed or sent then either), and
// Aborted when the application quits meanwhile (the report is written first). A journal line
// that cannot be written ends the run at its row with a box.
RunOutcome runBatchRows(RowEngine& engine, const BatchInputs& inputs, SigningKeys& keys, HttpClient& http);
RunOutcome runManualRows(RowEngine& engine, const ManualInputs& inputs, SigningKeys& keys, HttpClient& http);

}  // namespace norvane

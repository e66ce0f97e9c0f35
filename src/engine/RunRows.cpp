#include "engine/RunRows.h"

#include "engine/Journal.h"
#include "engine/OutputFolderEnvironment.h"
#include "engine/RunReport.h"

namespace norvane {

namespace {

template <typename Steps>
RunOutcome runWithJournal(RowEngine& engine, Steps& steps, const LoginContext& context, const QString& folder) {
    Journal journal(folder);
    // Held by the journal now: the folder's sends are of one environment.
    if (const auto other = otherEnvironmentSent(folder, context.Ambiente))
        throw Error(ErrorKind::InvalidArgument, otherEnvironmentText(folder, *other, context.Ambiente));
    steps.setJournal(&journal);
    JournalRecorder recorder(journal, engine.model().kind(), JournalTarget::of(context));
    const RunReport report(engine.model(), context, folder);
    engine.addRecorder(&recorder);
    struct Detach {
        RowEngine& engine;
        RowRecorder* recorder;
        ~Detach() { engine.removeRecorder(recorder); }
    } detach{engine, &recorder};

    RunOutcome outcome;
    const auto writeReport = [&] {
        try {
            outcome.reportPath = report.write();
        } catch (const Error& error) {
            outcome.reportError = error.message();
        }
    };
    try {
        outcome.end = engine.run(steps);
    } catch (...) {
        // The run's own error is what is said; the report is still written when it can be.
        writeReport();
        throw;
    }
    writeReport();
    return outcome;
}

}  // namespace

RunOutcome runBatchRows(RowEngine& engine, const BatchInputs& inputs, SigningKeys& keys, HttpClient& http) {
    BatchRows steps(inputs, keys, http);
    return runWithJournal(engine, steps, inputs.context, inputs.outputFolder);
}

RunOutcome runManualRows(RowEngine& engine, const ManualInputs& inputs, SigningKeys& keys, HttpClient& http) {
    ManualRows steps(inputs, keys, http);
    return runWithJournal(engine, steps, inputs.context, inputs.saveFolder);
}

}  // namespace norvane

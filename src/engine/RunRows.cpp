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

    const auto writeReport = [&] {
        try {
            return report.write();
        } catch (const Error&) {
            return QString();  // the folder is gone or full: the run's own error says so
        }
    };
    RunOutcome outcome;
    try {
        outcome.end = engine.run(steps);
    } catch (...) {
        writeReport();
        throw;
    }
    outcome.reportPath = writeReport();
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

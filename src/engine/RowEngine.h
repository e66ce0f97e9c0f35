#pragma once
// The engine that runs the rows of a grid (the batch tab's and the manual tab's): two stages
// that overlap, each taking one row at a time in row order. The token stage signs a row
// (everything that needs the certificate and its key); the service stage packs and uploads
// the row before it meanwhile. At most two rows are in flight: one being signed, one being
// sent.
//
// A run is driven from the GUI thread (or a command line's main thread), which only applies
// the rows' changes to the model, tells the observers and shows the boxes, in row order;
// the stages run on threads of their own. It asks the user only through norvane::Dialogs.
//
// What the overlap changes: when an error ends the run at row i, row i + 1 may already be
// signed; it stays "Assinado" (or the status its own signature gives) and the next run takes
// it up again. Nothing is sent after the row that ended the run, no later row shows a box or
// ends "Enviado", and a row's boxes come only once every row before it is done.

#include "engine/RowModel.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace norvane {

// One change of a row during a run.
struct RowChange {
    enum Kind {
        Signing,  // "Assinando": the row is taken up
        Signed,   // "Assinado": the .p7s is written (its path and the SHA-256 of input and .p7s)
        Failed,   // "Erro", and the Observação says why
        Sent,     // "Enviado" / "Enviado pra Norvane"
        Stopped,  // a step of the row failed with a box (its text); the row keeps its status
        AlreadySent,  // "Enviado": the output folder's journal records the row as sent before
                      // (when: `sentAt`; the hashes recorded); nothing is signed or sent again
    };
    RowChange() = default;
    RowChange(Kind kind, int row, QString observation = QString())
        : kind(kind), row(row), observation(std::move(observation)) {}

    Kind kind = Signing;
    int row = -1;
    QString observation;  // Failed: why
    QString message;      // Stopped: the box's text
    QString inputPath;
    QString signaturePath;
    QByteArray inputSha256;
    QByteArray signatureSha256;
    qint64 signedBytes = -1;  // Signed: the size of the bytes signed
    QDateTime sentAt;  // AlreadySent: when the journal says the row was sent
    // Filled by the engine: the row's status after the change and when it happened.
    std::optional<RowStatus> status;
    QDateTime when;
};

struct RunEnd {
    bool completed = false;  // every row was gone through: no error ended the run
    int endedAt = -1;        // else the row that ended it
};

// Told of a run's progress, on the thread that drives the run, each change once the model
// shows it. A stage waits until every observer has been told of its change. An observer that
// cannot take a change a stage waits for (its record cannot be written) raises: the run then
// ends at that row with the error's box, as if the row's step had raised it.
class RowObserver {
public:
    virtual ~RowObserver() = default;
    virtual void runStarted(int /*rows*/) {}
    // The token stage comes to this row (also to a row it passes by).
    virtual void rowReached(int /*row*/) {}
    virtual void rowChanged(const RowChange& /*change*/) {}
    virtual void runEnded(const RunEnd& /*end*/) {}
};

// Told of every change of a run's rows on the thread of the stage that makes it, before the
// model shows it and the observers are told, and waited for: what has to be on disk before the run goes on (the journal)
// is written here, off the window's thread. `row` is the row as the run took it, with the
// signature of this run once the row has one. An error raised ends the run at that row (the
// model still shows the change: it happened, only its record failed). A
// "Stopped" change is told on the driving thread (it is a note of a box already shown).
class RowRecorder {
public:
    virtual ~RowRecorder() = default;
    virtual void record(const RowChange& change, const RowRecord& row) = 0;
};

// What a stage may do with the rows, from its own thread.
class RowStage {
public:
    virtual ~RowStage() = default;
    // Applies the change to the row; returns once the model and the observers have it. A row
    // after the one that ended the run is never made "Enviado" (Sent, AlreadySent): the stage
    // stops there instead.
    virtual void change(RowChange change) = 0;
    // An error box about the row: shown once every row before it is done, after their boxes;
    // returns once it was closed. Once the run ends at an earlier row it is never shown (and
    // returns at once): the box of the row that ended the run is the last one.
    virtual void showError(int row, const QString& text) = 0;
    // True once the run ends at a row before this one: the stage stops after its current step.
    virtual bool ending(int row) const = 0;
};

// What the token stage hands to the service stage for one row.
struct RowUpload {
    int row = -1;
    QString signaturePath;    // the .p7s
    QString pdfPath;          // manual: the PDF written for the signature
    QString certificateText;  // the signer's certificate in Base64
};

// The steps of a grid's rows. Both run off the driving thread; an error they raise ends the
// run at that row and is shown as the application's error report would show it.
class RowSteps {
public:
    virtual ~RowSteps() = default;
    enum class Verdict {
        Next,  // the row is done with this stage (sent on when `upload` was filled)
        End,   // the run ends at this row (its box already shown)
    };
    // Whether a run takes the row up; rows not taken are passed by as they are.
    virtual bool takes(const RowRecord& row) const = 0;
    // Whether the two rows write or read the same files: the later one is then signed only
    // once the earlier one is sent, as if the stages did not overlap.
    virtual bool sharesFiles(const RowRecord& /*a*/, const RowRecord& /*b*/) const { return false; }
    // Token stage.
    virtual Verdict sign(int row, const RowRecord& record, RowStage& stage, std::optional<RowUpload>& upload) = 0;
    // Service stage.
    virtual void send(const RowUpload& upload, const RowRecord& record, RowStage& stage) = 0;
};

class RowEngine {
public:
    explicit RowEngine(RowModel& model);
    ~RowEngine();
    RowEngine(const RowEngine&) = delete;
    RowEngine& operator=(const RowEngine&) = delete;

    RowModel& model() const { return model_; }
    void addObserver(RowObserver* observer);
    void removeObserver(RowObserver* observer);
    // Recorders are told in the order they were added.
    void addRecorder(RowRecorder* recorder);
    void removeRecorder(RowRecorder* recorder);

    // Runs every row of the model through the steps, from the first to the last, and returns
    // once both stages have ended and every box was shown. The rows are taken as they are
    // when the run starts. Raises norvane::Aborted when the application quits meanwhile.
    RunEnd run(RowSteps& steps);
    bool running() const { return running_; }

private:
    class Run;
    RowModel& model_;
    std::vector<RowObserver*> observers_;
    std::vector<RowRecorder*> recorders_;
    bool running_ = false;
};

}  // namespace norvane

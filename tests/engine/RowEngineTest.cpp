// The engine's two stages, with steps of the test's own: what they overlap, in what order the
// rows change and the boxes come, and how a run ends. The real steps of both tabs, against a
// SoftHSM token and the stand-in service, are tested through the tabs (tests/workflows).

#include "core/Background.h"
#include "engine/RowEngine.h"
#include "engine/RowRules.h"
#include "support/ScriptedDialogs.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <gtest/gtest.h>
#include <array>
#include <mutex>
#include <set>
#include <stdexcept>

using namespace norvane;
using namespace std::chrono_literals;

namespace {

// A flag a thread can wait for, with a time limit (a test must never hang).
class Signal {
public:
    void set() {
        {
            const std::lock_guard lock(m_);
            set_ = true;
        }
        cv_.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, limit, [&] { return set_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

// The driving thread taking up a call from a stage. A stage's box, like any of its calls,
// wakes the driving thread with a queued call; having taken it up, the driving thread looks
// again at the boxes due and goes back to its event loop. Armed by a stage just before its
// call, waitTakenUp() returns once the driving thread is back in its loop after that call:
// a box it would show at once is shown by then.
class DriverWatch : public QObject {
public:
    DriverWatch() { QCoreApplication::instance()->installEventFilter(this); }
    ~DriverWatch() override { QCoreApplication::instance()->removeEventFilter(this); }
    void arm() { armed_ = true; }
    bool waitTakenUp() { return takenUp_.wait(); }

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        // The first call the driving thread takes up once armed (the other stage waits meanwhile).
        if (event->type() == QEvent::MetaCall && receiver != this && armed_.exchange(false)) {
            // Posted while that call is being taken up, so served in a later pass of the loop
            // (a pass serves only what was posted before it began): after the loop the call
            // ended, and after the driving thread looked again at the boxes.
            QMetaObject::invokeMethod(
                this, [this] { takenUp_.set(); }, Qt::QueuedConnection);
        }
        return false;
    }

private:
    std::atomic<bool> armed_{false};
    Signal takenUp_;
};

// Whether the quit has reached the stages (abortRequested()), as the driving thread sees it.
struct QuitWatch {
    Signal seen;
    std::atomic<bool> over{false};  // the test is done with it
};

// Tells `watch` once abortRequested(), looking each time the driving thread serves its calls:
// in its event loop, and while it stops the stages after the quit. Posted after the quit,
// it looks again at most once before the engine asks the stages to stop.
void watchForQuit(const std::shared_ptr<QuitWatch>& watch) {
    QMetaObject::invokeMethod(
        qApp,
        [watch] {
            if (watch->over) return;
            if (abortRequested())
                watch->seen.set();
            else
                watchForQuit(watch);
        },
        Qt::QueuedConnection);
}

// Steps whose work the test writes; every row is taken, signed into "Assinado" and sent.
class ScriptedSteps : public RowSteps {
public:
    std::function<void(int row, RowStage&)> onSign;  // after "Assinado"
    std::function<void(int row, RowStage&)> onSend;  // before "Enviado"
    std::function<RowSteps::Verdict(int row, RowStage&)> verdict;

    std::mutex m;
    std::vector<int> sent;
    std::set<int> inFlight;  // from the start of the signature to the end of the upload
    size_t mostInFlight = 0;
    std::array<Signal, 16> signing;     // the token stage began the row
    std::array<Signal, 16> signedRows;  // the token stage's step of the row is over

    bool takes(const RowRecord& row) const override { return row.status != RowStatus::Sent; }
    Verdict sign(int row, const RowRecord&, RowStage& stage, std::optional<RowUpload>& upload) override {
        {
            const std::lock_guard lock(m);
            inFlight.insert(row);
            mostInFlight = std::max(mostInFlight, inFlight.size());
        }
        signing[size_t(row)].set();
        stage.change(RowChange(RowChange::Signing, row));
        RowChange signedRow(RowChange::Signed, row);
        signedRow.signatureSha256 = QByteArray(32, char(row + 1));
        stage.change(signedRow);
        if (onSign) onSign(row, stage);
        const Verdict v = verdict ? verdict(row, stage) : Verdict::Next;
        if (v == Verdict::Next && !stage.ending(row))
            upload = RowUpload{row, {}, {}, {}};
        else
            rowOut(row);
        signedRows[size_t(row)].set();
        return v;
    }
    void send(const RowUpload& upload, const RowRecord&, RowStage& stage) override {
        struct Out {
            ScriptedSteps& steps;
            int row;
            ~Out() { steps.rowOut(row); }
        } out{*this, upload.row};
        if (onSend) onSend(upload.row, stage);
        {
            const std::lock_guard lock(m);
            sent.push_back(upload.row);
        }
        stage.change(RowChange(RowChange::Sent, upload.row));
    }
    void rowOut(int row) {
        const std::lock_guard lock(m);
        inFlight.erase(row);
    }
};

// Every change and box in the order the driving thread saw them.
class Recorder : public RowObserver {
public:
    std::vector<QString> events;
    int started = -1;
    std::optional<RunEnd> ended;
    void runStarted(int rows) override { started = rows; }
    void rowChanged(const RowChange& change) override {
        static const char* kinds[] = {"Signing", "Signed", "Failed", "Sent", "Stopped", "AlreadySent"};
        events.push_back(QStringLiteral("%1 %2 %3")
                             .arg(change.row)
                             .arg(kinds[change.kind], change.status ? statusText(*change.status) : QString()));
    }
    void runEnded(const RunEnd& end) override { ended = end; }
    std::vector<QString> of(int row) const {
        std::vector<QString> out;
        for (const QString& e : events)
            if (e.startsWith(QString::number(row) + ' ')) out.push_back(e);
        return out;
    }
};

RowRecord row() {
    RowRecord record;
    record.file = QStringLiteral("a.pdf");
    record.status = RowStatus::Waiting;
    record.observation = QString();
    return record;
}

class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < 6; ++i) model.append(row());
        engine.addObserver(&recorder);
    }
    QStringList statuses() const {
        QStringList out;
        const int column = model.columnOf(RowColumn::Status);
        for (int r = 0; r < model.rowCount(); ++r) out << model.index(r, column).data().toString();
        return out;
    }

    test::ScriptedDialogs dialogs;
    RowModel model{RowModel::Kind::Batch};
    RowEngine engine{model};
    Recorder recorder;
    ScriptedSteps steps;
};

TEST_F(Engine, RowIPlusOneIsSignedWhileRowIIsSentAndNoMoreThanTwoRowsAreInFlight) {
    model.setStatus(3, RowStatus::Sent);  // passed by
    steps.onSend = [&](int row, RowStage&) {
        // Sent only once the next row's signature has begun: the stages overlap. And only once
        // the token stage is done with that row, so that it would be free to take up a third
        // row while this one is still in flight, if it did not wait for this upload.
        const int next = row == 2 ? 4 : row + 1;
        if (next < 6) {
            EXPECT_TRUE(steps.signing[size_t(next)].wait()) << "row " << next << " was not signed meanwhile";
            EXPECT_TRUE(steps.signedRows[size_t(next)].wait())
                << "the step of row " << next << " did not end meanwhile";
        }
    };
    const RunEnd end = engine.run(steps);
    EXPECT_TRUE(end.completed);
    EXPECT_EQ(recorder.started, 6);
    ASSERT_TRUE(recorder.ended);
    EXPECT_TRUE(recorder.ended->completed);
    EXPECT_EQ(statuses(), QStringList(6, "Enviado"));
    EXPECT_EQ(steps.sent, (std::vector<int>{0, 1, 2, 4, 5}));
    EXPECT_LE(steps.mostInFlight, 2u);
    EXPECT_EQ(steps.mostInFlight, 2u);
    // Each row's statuses in the order described, "Assinando" first.
    for (int r : {0, 1, 2, 4, 5}) {
        EXPECT_EQ(recorder.of(r), (std::vector<QString>{QStringLiteral("%1 Signing Assinando").arg(r),
                                                        QStringLiteral("%1 Signed Assinado").arg(r),
                                                        QStringLiteral("%1 Sent Enviado").arg(r)}));
    }
    EXPECT_TRUE(recorder.of(3).empty());
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_FALSE(engine.running());
}

// Row i + 1's box, asked for before row i failed, is never shown: the box of the row that
// ended the run is the last one.
TEST_F(Engine, AnErrorAtRowIShowsTheLastBoxAndNothingIsSentAfterIt) {
    DriverWatch driver;
    steps.onSign = [&](int row, RowStage& stage) {
        if (row != 2) return;
        // Row 2 fails first in time, while row 1 is still being sent.
        driver.arm();
        stage.showError(row, QStringLiteral("Erro 09: linha 3"));
    };
    steps.onSend = [&](int row, RowStage&) {
        if (row != 1) return;
        // Row 1 fails only once the driving thread has taken up row 2's box.
        EXPECT_TRUE(driver.waitTakenUp());
        throw std::runtime_error("HTTP/1.1 500 Internal Server Error");
    };
    const RunEnd end = engine.run(steps);
    EXPECT_FALSE(end.completed);
    EXPECT_EQ(end.endedAt, 1);
    EXPECT_EQ(dialogs.texts(), (std::vector<QString>{QStringLiteral("HTTP/1.1 500 Internal Server Error")}));
    EXPECT_EQ(steps.sent, (std::vector<int>{0}));
    // Row 1 stays signed; row 2, signed meanwhile, stays signed too; the rest are untouched.
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Assinado", "Assinado", "", "", ""}));
    // The observers heard of row 1's box as its last change; row 2 had no box.
    EXPECT_EQ(recorder.of(1).back(), QStringLiteral("1 Stopped Assinado"));
    EXPECT_EQ(recorder.of(2).back(), QStringLiteral("2 Signed Assinado"));
}

// Row 2 finds itself sent before (the journal) only once row 1's upload has failed: it is
// never shown "Enviado", and its own failure after that shows no box.
TEST_F(Engine, NoRowAfterTheOneThatEndedTheRunEndsSentOrShowsABox) {
    Signal failed;
    steps.verdict = [&](int row, RowStage& stage) {
        if (row != 2) return RowSteps::Verdict::Next;
        EXPECT_TRUE(failed.wait());
        for (int i = 0; i < 500 && !stage.ending(row); ++i) QThread::msleep(10);
        EXPECT_TRUE(stage.ending(row));
        stage.showError(row, QStringLiteral("Erro 09: linha 3"));
        stage.change(RowChange(RowChange::AlreadySent, row, QStringLiteral("Já enviado")));
        return RowSteps::Verdict::Next;
    };
    steps.onSend = [&](int row, RowStage&) {
        if (row != 1) return;
        EXPECT_TRUE(steps.signing[2].wait());
        failed.set();
        throw std::runtime_error("HTTP/1.1 500 Internal Server Error");
    };
    const RunEnd end = engine.run(steps);
    EXPECT_EQ(end.endedAt, 1);
    EXPECT_EQ(dialogs.texts(), (std::vector<QString>{QStringLiteral("HTTP/1.1 500 Internal Server Error")}));
    EXPECT_EQ(steps.sent, (std::vector<int>{0}));
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Assinado", "Assinado", "", "", ""}));
    EXPECT_EQ(recorder.of(2).back(), QStringLiteral("2 Signed Assinado"));
    // Each row that stopped says why.
    EXPECT_EQ(model.row(1).observation, QStringLiteral("HTTP/1.1 500 Internal Server Error"));
    EXPECT_EQ(model.row(2).observation, QStringLiteral("Erro 09: linha 3"));
}

TEST_F(Engine, ARowThatEndsTheRunInTheTokenStageLetsTheRowBeforeItBeSentFirst) {
    DriverWatch driver;
    steps.verdict = [&](int row, RowStage& stage) {
        if (row != 3) return RowSteps::Verdict::Next;
        driver.arm();
        stage.showError(row, QStringLiteral("Erro 11: PIN incorreto"));
        return RowSteps::Verdict::End;
    };
    steps.onSend = [&](int row, RowStage&) {
        // Row 2 is still being sent when the driving thread takes up the PIN's box, which
        // waits for this upload.
        if (row == 2) {
            EXPECT_TRUE(driver.waitTakenUp());
        }
    };
    const RunEnd end = engine.run(steps);
    EXPECT_EQ(end.endedAt, 3);
    EXPECT_EQ(steps.sent, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Erro 11: PIN incorreto")});
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Enviado", "Enviado", "Assinado", "", ""}));
    // Row 2's "Enviado" came before row 3's box.
    const auto sent2 = std::find(recorder.events.begin(), recorder.events.end(), QStringLiteral("2 Sent Enviado"));
    const auto box3 = std::find(recorder.events.begin(), recorder.events.end(), QStringLiteral("3 Stopped Assinado"));
    EXPECT_LT(sent2, box3);
}

// An observer that cannot take a change a stage waits for (a record that cannot be written)
// ends the run at that row with its box, as the row's own error would: the row before it is
// still sent and told, nothing is sent after it.
TEST_F(Engine, AnObserverThatFailsEndsTheRunAtItsRowWithItsBox) {
    struct Failing : RowObserver {
        Signal failed;
        void rowChanged(const RowChange& change) override {
            if (change.row != 2 || change.kind != RowChange::Signed) return;
            failed.set();
            throw std::runtime_error("disco cheio");
        }
    } failing;
    engine.addObserver(&failing);
    steps.onSend = [&](int row, RowStage&) {
        if (row == 1) {
            EXPECT_TRUE(failing.failed.wait());  // still being sent when row 2's change fails
        }
    };
    const RunEnd end = engine.run(steps);
    EXPECT_FALSE(end.completed);
    EXPECT_EQ(end.endedAt, 2);
    EXPECT_FALSE(engine.running());
    ASSERT_TRUE(recorder.ended);
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("disco cheio")});
    EXPECT_EQ(steps.sent, (std::vector<int>{0, 1}));
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Enviado", "Assinado", "", "", ""}));
    EXPECT_EQ(recorder.of(1).back(), QStringLiteral("1 Sent Enviado"));
    engine.removeObserver(&failing);
}

// The recorder (the journal) is told on the stages' threads, never on the window's, before
// the model shows the change; one that fails ends the run at its row, and the grid still
// shows what happened.
TEST_F(Engine, TheRecorderWritesOffTheWindowsThreadAndAFailureEndsTheRunAtItsRow) {
    struct Failing : RowRecorder {
        std::mutex m;
        int onDrivingThread = 0;
        std::vector<QString> told;
        void record(const RowChange& change, const RowRecord& row) override {
            const std::lock_guard lock(m);
            if (QThread::currentThread() == QCoreApplication::instance()->thread() && change.kind != RowChange::Stopped)
                ++onDrivingThread;
            if (change.kind == RowChange::Sent && row.signatureSha256.isEmpty()) told.push_back("sent without hash");
            if (change.row == 2 && change.kind == RowChange::Signed) throw std::runtime_error("disco cheio");
        }
    } failing;
    engine.addRecorder(&failing);
    const RunEnd end = engine.run(steps);
    engine.removeRecorder(&failing);
    EXPECT_EQ(end.endedAt, 2);
    EXPECT_EQ(failing.onDrivingThread, 0);
    EXPECT_TRUE(failing.told.empty());
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("disco cheio")});
    EXPECT_EQ(steps.sent, (std::vector<int>{0, 1}));
    EXPECT_EQ(statuses(), (QStringList{"Enviado", "Enviado", "Assinado", "", "", ""}));
}

TEST_F(Engine, QuittingEndsBothStagesWithoutABox) {
    Signal uploading;
    const auto stopAsked = std::make_shared<QuitWatch>();
    steps.onSend = [&](int row, RowStage&) {
        if (row != 1) return;
        uploading.set();
        // Like an upload, which polls the quit: it looks once the quit has reached the stages.
        EXPECT_TRUE(stopAsked->seen.wait());
        if (abortRequested()) throw Aborted();
    };
    std::optional<bool> aborted;
    QTimer::singleShot(0, [&] {
        std::thread quitter([&] {
            uploading.wait();
            QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
            watchForQuit(stopAsked);
        });
        try {
            engine.run(steps);
            aborted = false;
        } catch (const Aborted&) {
            aborted = true;
        }
        quitter.join();
    });
    QCoreApplication::exec();
    stopAsked->over = true;
    clearAbortRequest();
    EXPECT_EQ(aborted, std::optional<bool>(true));
    EXPECT_TRUE(dialogs.boxes.empty());
    EXPECT_EQ(steps.sent, (std::vector<int>{0}));
    EXPECT_FALSE(recorder.ended);
    EXPECT_FALSE(engine.running());
}

}  // namespace

#pragma once
// A run of the engine, shared by the engine's own files only: the stages (RowEngine.cpp) and
// the driving thread with the engine itself (RowEngineDriving.cpp).

#include "engine/RowEngine.h"

#include <QEventLoop>
#include <QObject>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace norvane {

namespace engine_detail {

// The run stops (the application quits, or a change could not be taken): a stage unwinds.
// Not an error, and not a std::exception, so that no step's error handling can catch it.
struct Stop {};

}  // namespace engine_detail

class RowEngine::Run final : public RowStage {
public:
    Run(RowEngine& engine, RowSteps& steps)
        : engine_(engine),
          steps_(steps),
          records_(engine.model_.rows()),
          recorded_(records_),
          done_(records_.size(), false) {}

    RunEnd execute();

    void change(RowChange change) override;
    void showError(int row, const QString& text) override;
    bool ending(int row) const override {
        const std::lock_guard lock(m_);
        return cancelled_ || endRow_ < row;
    }

private:
    struct Box {
        int row;
        QString text;
        bool shown = false;
        bool dropped = false;  // the run ended at an earlier row: never shown
    };

    void tokenStage();
    void serviceStage();
    // Runs `work` on the driving thread; with `wait`, returns once it ran (or raises Stop).
    void onDriver(std::function<void()> work, bool wait);
    // Makes the driving thread look again at the boxes and at the stages' end.
    void wake();
    void markDone(int row);
    void endAt(int row);
    void stageAborted();
    std::shared_ptr<Box> nextDueBox();  // with m_ held
    void applyChange(RowChange& change);
    // Tells the recorder of the change, with the row's signature of this run.
    void record(const RowChange& change);
    // Shows the boxes as they come due and waits for the stages; false when the application
    // quits meanwhile.
    bool drive();
    // Makes the stages stop where they are and waits until they have.
    void stopStages(bool quitting);

    RowEngine& engine_;
    RowSteps& steps_;
    const std::vector<RowRecord> records_;
    std::mutex recordedM_;
    std::vector<RowRecord> recorded_;  // the rows as the recorder is told of them

    mutable std::mutex m_;
    std::condition_variable cv_;
    bool cancelled_ = false;  // the run stops where it is
    bool aborted_ = false;    // a stage saw the quit first
    std::exception_ptr driverFailure_;  // a change could not be applied or told: the run stops
    int endRow_ = INT_MAX;    // the run ends at this row
    std::vector<bool> done_;  // no stage touches the row again
    size_t doneUpTo_ = 0;     // every row before it is done
    std::deque<std::shared_ptr<Box>> boxes_;
    std::optional<RowUpload> slot_;  // handed over, not yet taken by the service stage
    bool serviceIdle_ = false;       // the service stage waits for a row
    bool tokenFinished_ = false;
    bool serviceFinished_ = false;
    int wakes_ = 0;

    // Driving thread only.
    QObject inbox_;
    QEventLoop* loop_ = nullptr;
    bool quitByUs_ = false;
};

}  // namespace norvane

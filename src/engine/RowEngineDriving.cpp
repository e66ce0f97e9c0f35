// The driving thread of a run (it applies the changes, tells the observers and shows the
// boxes) and the engine that starts runs.

#include "engine/RowEngine.h"
#include "engine/RowEngineRun.h"

#include "core/Background.h"
#include "core/Dialogs.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <climits>
#include <stdexcept>
#include <thread>

namespace norvane {

using engine_detail::Stop;

// --- the driving thread --------------------------------------------------------------------------

RunEnd RowEngine::Run::execute() {
    for (RowObserver* observer : engine_.observers_) observer->runStarted(int(records_.size()));
    std::thread token([this] { tokenStage(); });
    std::thread service([this] { serviceStage(); });
    // Whatever ends the driving early, the stages are stopped and joined before it goes on.
    std::exception_ptr failure;
    bool quitting = false;
    try {
        quitting = !drive();
    } catch (...) {
        failure = std::current_exception();
    }
    {
        const std::lock_guard lock(m_);
        quitting = quitting || aborted_;
        if (!failure) failure = driverFailure_;
    }
    if (quitting || failure) stopStages(quitting);
    token.join();
    service.join();
    // What the stages told the driving thread last (a row reached) is told before the end.
    QCoreApplication::sendPostedEvents(&inbox_, QEvent::MetaCall);
    if (quitting) throw Aborted();
    if (failure) std::rethrow_exception(failure);
    RunEnd end;
    end.completed = endRow_ == INT_MAX;
    end.endedAt = end.completed ? -1 : endRow_;
    for (RowObserver* observer : engine_.observers_) observer->runEnded(end);
    return end;
}

bool RowEngine::Run::drive() {
    for (;;) {
        std::shared_ptr<Box> box;
        bool finished = false;
        {
            const std::lock_guard lock(m_);
            if (aborted_ || driverFailure_) return !aborted_;
            box = nextDueBox();
            finished = tokenFinished_ && serviceFinished_ && boxes_.empty();
            if (!box && !finished && wakes_ > 0) {
                wakes_ = 0;
                continue;
            }
        }
        if (box) {
            RowChange stopped(RowChange::Stopped, box->row);
            stopped.message = box->text;
            stopped.when = QDateTime::currentDateTime();
            record(stopped);
            applyChange(stopped);
            dialogs().showError(box->text);
            {
                const std::lock_guard lock(m_);
                box->shown = true;
            }
            cv_.notify_all();
            continue;
        }
        if (finished) return true;
        QEventLoop loop;
        loop_ = &loop;
        quitByUs_ = false;
        loop.exec();
        loop_ = nullptr;
        // Only a stage's call ends this loop: ending otherwise means the application quits
        // (every running loop was told to end, and a new one would return at once).
        if (!quitByUs_) return false;
    }
}

void RowEngine::Run::stopStages(bool quitting) {
    if (quitting) requestAbort();
    {
        const std::lock_guard lock(m_);
        cancelled_ = true;
    }
    cv_.notify_all();
    // The stages may wait on calls into this thread (a PIN prompt): those are still served.
    for (;;) {
        {
            const std::lock_guard lock(m_);
            if (tokenFinished_ && serviceFinished_) break;
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// --- the engine ----------------------------------------------------------------------------------

RowEngine::RowEngine(RowModel& model) : model_(model) {}
RowEngine::~RowEngine() = default;

void RowEngine::addObserver(RowObserver* observer) {
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) observers_.push_back(observer);
}

void RowEngine::removeObserver(RowObserver* observer) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void RowEngine::addRecorder(RowRecorder* recorder) {
    if (std::find(recorders_.begin(), recorders_.end(), recorder) == recorders_.end()) recorders_.push_back(recorder);
}

void RowEngine::removeRecorder(RowRecorder* recorder) {
    recorders_.erase(std::remove(recorders_.begin(), recorders_.end(), recorder), recorders_.end());
}

RunEnd RowEngine::run(RowSteps& steps) {
    if (running_) throw std::logic_error("A run of this grid is already going on.");
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        throw std::logic_error("A run is driven from the application's main thread.");
    running_ = true;
    struct Running {
        bool& flag;
        ~Running() { flag = false; }
    } running{running_};
    Run run(*this, steps);
    return run.execute();
}

}  // namespace norvane

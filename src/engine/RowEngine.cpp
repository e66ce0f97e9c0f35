// The stages of a run (each on its own thread) and what passes between them and the
// driving thread.

#include "engine/RowEngine.h"
#include "engine/RowEngineRun.h"

#include "core/Background.h"
#include "core/Dialogs.h"
#include "core/ErrorText.h"
#include "engine/RowRules.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace norvane {

using engine_detail::Stop;

// --- the stages ---------------------------------------------------------------------------------

void RowEngine::Run::tokenStage() {
    int lastSent = -1;  // the last row handed to the service stage
    try {
        for (int r = 0; r < int(records_.size()); ++r) {
            {
                const std::lock_guard lock(m_);
                if (cancelled_ || r > endRow_) break;
            }
            onDriver(
                [this, r] {
                    for (RowObserver* observer : engine_.observers_) observer->rowReached(r);
                },
                false);
            const RowRecord& record = records_[size_t(r)];
            if (!steps_.takes(record)) {
                markDone(r);
                continue;
            }
            if (lastSent >= 0 && steps_.sharesFiles(record, records_[size_t(lastSent)])) {
                // Its files are still the row before's, which the service stage may be using.
                std::unique_lock lock(m_);
                cv_.wait(lock, [&] { return cancelled_ || endRow_ < r || serviceFinished_ || (serviceIdle_ && !slot_); });
                if (cancelled_ || endRow_ < r) break;
            }
            std::optional<RowUpload> upload;
            RowSteps::Verdict verdict = RowSteps::Verdict::Next;
            try {
                verdict = steps_.sign(r, record, *this, upload);
            } catch (const std::exception& error) {
                endAt(r);
                showError(r, errorText(error));
                markDone(r);
                break;
            }
            if (verdict == RowSteps::Verdict::End) {
                endAt(r);
                markDone(r);
                break;
            }
            if (!upload) {
                markDone(r);
                continue;
            }
            upload->row = r;
            // Handed over only once the service stage is done with the row before: one row
            // being signed, one being sent.
            std::unique_lock lock(m_);
            cv_.wait(lock, [&] { return cancelled_ || endRow_ < r || (serviceIdle_ && !slot_); });
            if (cancelled_) break;
            if (endRow_ < r) {
                // An earlier row ended the run: this one stays signed, for the next run.
                lock.unlock();
                markDone(r);
                break;
            }
            slot_ = std::move(upload);
            serviceIdle_ = false;
            lastSent = r;
            cv_.notify_all();
        }
    } catch (const Stop&) {
    } catch (const Aborted&) {
        stageAborted();
    }
    {
        const std::lock_guard lock(m_);
        tokenFinished_ = true;
    }
    cv_.notify_all();
    wake();
}

void RowEngine::Run::serviceStage() {
    try {
        for (;;) {
            RowUpload upload;
            {
                std::unique_lock lock(m_);
                serviceIdle_ = true;
                cv_.notify_all();
                cv_.wait(lock, [&] { return cancelled_ || slot_ || tokenFinished_; });
                if (cancelled_ || !slot_) break;
                upload = std::move(*slot_);
                slot_.reset();
                serviceIdle_ = false;
            }
            try {
                steps_.send(upload, records_[size_t(upload.row)], *this);
            } catch (const std::exception& error) {
                endAt(upload.row);
                showError(upload.row, errorText(error));
                markDone(upload.row);
                break;
            }
            markDone(upload.row);
        }
    } catch (const Stop&) {
    } catch (const Aborted&) {
        stageAborted();
    }
    {
        const std::lock_guard lock(m_);
        serviceFinished_ = true;
        serviceIdle_ = false;
    }
    cv_.notify_all();
    wake();
}

void RowEngine::Run::stageAborted() {
    {
        const std::lock_guard lock(m_);
        aborted_ = true;
        cancelled_ = true;
    }
    cv_.notify_all();
    wake();
}

void RowEngine::Run::markDone(int row) {
    bool boxesWait = false;
    {
        const std::lock_guard lock(m_);
        done_[size_t(row)] = true;
        while (doneUpTo_ < done_.size() && done_[doneUpTo_]) ++doneUpTo_;
        boxesWait = !boxes_.empty();
    }
    cv_.notify_all();
    // A box of a later row may now be due.
    if (boxesWait) wake();
}

void RowEngine::Run::endAt(int row) {
    {
        const std::lock_guard lock(m_);
        endRow_ = std::min(endRow_, row);
        // The boxes of later rows asked for meanwhile are never shown: the run's box is the last.
        for (auto it = boxes_.begin(); it != boxes_.end();) {
            if ((*it)->row > endRow_) {
                (*it)->dropped = true;
                it = boxes_.erase(it);
            } else {
                ++it;
            }
        }
    }
    cv_.notify_all();
}

// --- between the stages and the driving thread ---------------------------------------------------

void RowEngine::Run::onDriver(std::function<void()> work, bool wait) {
    struct Call {
        bool ran = false;
        std::exception_ptr failure;  // an observer could not take the change the stage waits for
    };
    auto call = std::make_shared<Call>();
    QMetaObject::invokeMethod(
        &inbox_,
        [this, work = std::move(work), call, wait] {
            {
                const std::lock_guard lock(m_);
                if (cancelled_) return;
            }
            try {
                work();
            } catch (...) {
                {
                    const std::lock_guard lock(m_);
                    if (wait) {
                        // Handed back to the stage: its row ends the run, as a step's error would.
                        call->failure = std::current_exception();
                    } else {
                        if (!driverFailure_) driverFailure_ = std::current_exception();
                        cancelled_ = true;
                    }
                }
                cv_.notify_all();
                if (!wait) wake();
                return;
            }
            {
                const std::lock_guard lock(m_);
                call->ran = true;
            }
            cv_.notify_all();
        },
        Qt::QueuedConnection);
    if (!wait) return;
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return call->ran || call->failure || cancelled_; });
    if (call->failure) {
        const std::exception_ptr failure = call->failure;
        lock.unlock();
        std::rethrow_exception(failure);
    }
    if (!call->ran) throw Stop();
}

void RowEngine::Run::wake() {
    {
        const std::lock_guard lock(m_);
        ++wakes_;
    }
    QMetaObject::invokeMethod(
        &inbox_,
        [this] {
            if (!loop_) return;
            quitByUs_ = true;
            loop_->quit();
        },
        Qt::QueuedConnection);
}

void RowEngine::Run::change(RowChange change) {
    // After the row that ended the run no later row is shown sent: its stage stops instead.
    if ((change.kind == RowChange::Sent || change.kind == RowChange::AlreadySent) && ending(change.row)) throw Stop();
    change.when = QDateTime::currentDateTime();
    // A change that could not be recorded still happened: the grid shows it (a row sent is
    // never taken up again by this grid), and then the run ends at its row.
    std::exception_ptr unrecorded;
    try {
        record(change);
    } catch (...) {
        unrecorded = std::current_exception();
    }
    onDriver([this, change]() mutable { applyChange(change); }, true);
    if (unrecorded) std::rethrow_exception(unrecorded);
}

void RowEngine::Run::record(const RowChange& change) {
    if (engine_.recorders_.empty()) return;
    RowRecord row;
    {
        const std::lock_guard lock(recordedM_);
        RowRecord& kept = recorded_[size_t(change.row)];
        if (change.kind == RowChange::Signed || change.kind == RowChange::AlreadySent) {
            kept.inputSha256 = change.inputSha256;
            kept.signatureSha256 = change.signatureSha256;
        }
        row = kept;
    }
    for (RowRecorder* recorder : engine_.recorders_) recorder->record(change, row);
}

void RowEngine::Run::applyChange(RowChange& change) {
    RowModel& model = engine_.model_;
    if (!change.when.isValid()) change.when = QDateTime::currentDateTime();
    switch (change.kind) {
        case RowChange::Signing:
            model.setStatus(change.row, RowStatus::Signing);
            break;
        case RowChange::Signed:
            model.setSignature(change.row, change.signaturePath, change.inputSha256, change.signatureSha256);
            if (change.signedBytes >= 0 && model.kind() == RowModel::Kind::Batch)
                model.setSize(change.row, change.signedBytes);
            model.setStatus(change.row, RowStatus::Signed);
            break;
        case RowChange::Failed:
            model.setStatus(change.row, RowStatus::Error);
            model.setObservation(change.row, change.observation);
            break;
        case RowChange::Sent:
            model.setSent(change.row, change.when);
            model.setStatus(change.row, RowStatus::Sent);
            model.setObservation(change.row, kSentText);
            change.observation = kSentText;
            break;
        case RowChange::AlreadySent:
            model.setSignature(change.row, change.signaturePath, change.inputSha256, change.signatureSha256);
            model.setSent(change.row, change.sentAt);
            model.setStatus(change.row, RowStatus::Sent);
            model.setObservation(change.row, change.observation);
            break;
        case RowChange::Stopped:
            // The box is the row's reason: it ends with a status and why.
            model.setObservation(change.row, change.message);
            break;
    }
    change.status = model.row(change.row).status;
    for (RowObserver* observer : engine_.observers_) observer->rowChanged(change);
}

void RowEngine::Run::showError(int row, const QString& text) {
    auto box = std::make_shared<Box>(Box{row, text});
    {
        std::unique_lock lock(m_);
        // The run ended at an earlier row: its box is the last one the user sees.
        if (endRow_ >= row) {
            boxes_.push_back(box);
            lock.unlock();
            wake();
            lock.lock();
            cv_.wait(lock, [&] { return box->shown || box->dropped || cancelled_; });
            if (box->shown) return;
            if (!box->dropped) throw Stop();
        }
    }
    // Not shown: the row still says why it stopped.
    onDriver([this, row, text] { engine_.model_.setObservation(row, text); }, true);
}

std::shared_ptr<RowEngine::Run::Box> RowEngine::Run::nextDueBox() {
    auto first = boxes_.end();
    for (auto it = boxes_.begin(); it != boxes_.end(); ++it)
        if (first == boxes_.end() || (*it)->row < (*first)->row) first = it;
    if (first == boxes_.end() || size_t((*first)->row) > doneUpTo_) return nullptr;
    std::shared_ptr<Box> box = *first;
    boxes_.erase(first);
    return box;
}

}  // namespace norvane

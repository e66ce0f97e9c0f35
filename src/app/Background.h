#pragma once
// Blocking work (a service call, a token operation, reading a large file) runs off the
// GUI thread while the calling handler waits in a local event loop: the action still
// runs start to end as one sequence, but the window keeps painting meanwhile.

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

namespace norvane {

// Set once the application is quitting; long work polls it to stop early.
bool abortRequested();
void requestAbort();
// Starts a new run of the event loop without the abort (tests that quit and start again).
void clearAbortRequest();

// Raised in the waiting handler when the application quit while the work ran.
class Aborted : public std::runtime_error {
public:
    Aborted() : std::runtime_error("Operação cancelada.") {}
};

template <class F>
auto runInBackground(F&& work) -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    // Without a running GUI there is nothing to keep responsive.
    if (!QCoreApplication::instance() || QThread::currentThread() != QCoreApplication::instance()->thread())
        return work();

    std::exception_ptr failure;
    std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> value{};
    std::atomic<bool> done{false};
    QEventLoop loop;
    std::thread worker([&] {
        try {
            if constexpr (std::is_void_v<R>)
                work();
            else
                value.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        done = true;
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    // Only the worker quits this loop, and only once done: ending earlier means the
    // application is quitting (every running loop was told to end, and a new one would
    // return at once). The work is told to stop; meanwhile calls it makes into this
    // thread (a PIN prompt) are still delivered, so that it cannot wait on us forever.
    const bool aborted = !done;
    if (aborted) {
        requestAbort();
        while (!done) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    worker.join();
    // The action is cut short without a box, whatever the work's own outcome was.
    if (aborted) throw Aborted();
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<R>) return std::move(*value);
}

// Disables the controls that start actions while an action runs; restores them after.
class ActionLock {
public:
    explicit ActionLock(const std::vector<QWidget*>& controls);
    ~ActionLock();
    ActionLock(const ActionLock&) = delete;
    ActionLock& operator=(const ActionLock&) = delete;

private:
    std::vector<std::pair<QPointer<QWidget>, bool>> saved_;
};

}  // namespace norvane

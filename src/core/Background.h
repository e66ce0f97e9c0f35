#pragma once
// Blocking work (a service call, a token operation, reading a large file) runs off the
// GUI thread while the calling handler waits in a local event loop: the action still
// runs start to end as one sequence, but the window keeps painting meanwhile.

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <chrono>
#include <exception>
#include <optional>
#include <thread>
#include <type_traits>

namespace norvane {

// Set once the application is quitting; long work polls it to stop early.
bool abortRequested();
void requestAbort();
// Starts a new run of the event loop without the abort (tests that quit and start again).
void clearAbortRequest();

// Raised when the application quits while an action runs. Not an error, and on purpose
// not a std::exception: a handler that catches errors to mark a row and go on cannot catch
// it. Only the guard where an action starts, and the top of the program, catch it.
struct Aborted {};

// Runs the work on a worker thread and waits for it in a local event loop. The work takes
// plain values in and gives plain values back (bytes, a path, a result): no QObject, widget
// or open file crosses into it. When the application quits meanwhile, the wait ends only
// once the work ends: it is bounded by the work's own limits (HTTP transfers poll the abort
// flag every fraction of a second and connect within 10 s, reading a file polls it between
// blocks, token calls are short), and then Aborted is raised here.
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

}  // namespace norvane

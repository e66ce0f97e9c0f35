#pragma once
// The application's default error report: an error that escapes a handler ends the
// action in progress and is shown in an error box; the window stays usable.

#include "core/ErrorText.h"

#include <QApplication>
#include <QString>
#include <exception>
#include <functional>
#include <stdexcept>
#include <type_traits>

namespace norvane {

// Shows the message in an error box (through the dialog seam).
void reportError(const QString& message);

// Runs a handler; an escaping error is shown by the default error report.
// Returns false when the handler ended with an error.
bool guarded(const std::function<void()>& handler);

namespace detail {
// The handler with the signal's arguments when it takes them, else without.
template <class F, class... A>
void callHandler(F& handler, A&... args) {
    if constexpr (std::is_invocable_v<F&, A&...>)
        handler(args...);
    else
        handler();
}
}  // namespace detail

// Wraps a handler for connect(): the same guard around every call. The signal's
// arguments are passed on when the handler takes them.
template <class F>
auto guard(F handler) {
    // Constrained, with its result type given, so that connect() can ask which
    // argument counts it takes without instantiating the body.
    return [handler](auto&&... args) mutable -> void
               requires(std::is_invocable_v<F&, decltype(args)&...> || std::is_invocable_v<F&>)
    {
        guarded([&] { detail::callHandler(handler, args...); });
    };
}

// The application object: catches what escapes any event handler and reports it.
class NorvaneApplication : public QApplication {
public:
    NorvaneApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace norvane

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

// Wraps a handler for connect(): the same guard around every call. The signal's
// arguments are passed on when the handler takes them.
template <class F>
auto guard(F handler) {
    return [handler](auto&&... args) mutable {
        guarded([&] {
            if constexpr (std::is_invocable_v<F&, decltype(args)...>)
                handler(args...);
            else
                handler();
        });
    };
}

// The application object: catches what escapes any event handler and reports it.
class NorvaneApplication : public QApplication {
public:
    NorvaneApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace norvane

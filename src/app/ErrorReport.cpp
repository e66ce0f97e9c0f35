#include "app/ErrorReport.h"

#include "app/Accessibility.h"
#include "app/QtDialogs.h"
#include "core/Background.h"
#include "core/Dialogs.h"

namespace norvane {

void reportError(const QString& message) { dialogs().showError(message); }

bool guarded(const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (const Aborted&) {
        // The application is closing: the interrupted action just ends.
    } catch (const std::exception& error) {
        reportError(errorText(error));
    } catch (...) {
        reportError(QStringLiteral("Erro desconhecido."));
    }
    return false;
}

NorvaneApplication::NorvaneApplication(int& argc, char** argv) : QApplication(argc, argv) {
    setDefaultDialogs(&qtDialogs());
    // Before any window exists: an interface made for a window stays as it was made.
    describeWindowsAsFrames();
}

bool NorvaneApplication::notify(QObject* receiver, QEvent* event) {
    bool result = false;
    guarded([&] { result = QApplication::notify(receiver, event); });
    return result;
}

}  // namespace norvane

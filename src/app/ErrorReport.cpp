#include "app/ErrorReport.h"

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
}

bool NorvaneApplication::notify(QObject* receiver, QEvent* event) {
    bool result = false;
    guarded([&] { result = QApplication::notify(receiver, event); });
    return result;
}

}  // namespace norvane

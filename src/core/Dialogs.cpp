#include "core/Dialogs.h"

#include <stdexcept>

namespace norvane {

namespace {
Dialogs* application = nullptr;
Dialogs* installed = nullptr;
}  // namespace

QString programTitle() { return QStringLiteral("Norvane - Assinador de Instrumento de Protesto"); }

Dialogs& dialogs() {
    if (installed) return *installed;
    if (!application) throw std::logic_error("No dialogs were set for the program.");
    return *application;
}

void setDefaultDialogs(Dialogs* app) { application = app; }
void setDialogs(Dialogs* replacement) { installed = replacement; }

}  // namespace norvane

#pragma once

#include <QString>

class TFLogin;
class TFPrincipal;

namespace norvane {

inline constexpr char kSingleInstanceName[] = "MyUniqueIdentifier";

// The whole start-up: single-instance guard, the three windows in their order, the
// message loop. Returns the process's exit code.
int runApplication(int argc, char** argv);

// The signature check window on that file, with no login (the desktop's "open with" of a
// .p7s); the single-instance guard does not apply. Returns the process's exit code.
int runSignatureCheck(int argc, char** argv, const QString& file);

// Qt's own texts (its file and folder dialogs, its buttons) in Brazilian Portuguese, from
// the Qt translations the system has (Debian: qt6-translations-l10n).
void loadQtTranslations();

// The login window picks the certificate into the main window's session, and hands the
// context of the run to the main window, which then shows.
void wireLogin(TFLogin& login, TFPrincipal& principal);

// True when a window can be shown here; otherwise says on stderr how to run the program.
bool displayAvailable();

}  // namespace norvane

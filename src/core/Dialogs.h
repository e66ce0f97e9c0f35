#pragma once
// The one way the program's core and its windows ask the user anything: every message
// box, file or folder dialog, certificate pick and PIN prompt goes through this
// interface. The application sets the Qt dialogs at start-up; tests install scripted
// ones that answer and record what was shown.

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace norvane {

// One line of the certificate pick list.
struct CertificateChoice {
    QString subject;    // subject simple name
    QString issuer;     // issuer simple name
    QString validFrom;  // dd/MM/yyyy
    QString validTo;    // dd/MM/yyyy
};

// A PIN prompt for a token: its label, a message (may be empty), and the lengths the token
// takes (maxLength 0: no bound). A PIN outside them is never sent to the token.
struct PinRequest {
    QString tokenLabel;
    QString message;
    int minLength = 1;
    int maxLength = 0;
};

class Dialogs {
public:
    virtual ~Dialogs() = default;

    // Modal boxes with one OK button. An empty caption takes the program's title.
    virtual void showError(const QString& text, const QString& caption = QString()) = 0;
    virtual void showInfo(const QString& text, const QString& caption = QString()) = 0;

    // Folder picker; the empty text when the user cancels.
    virtual QString chooseFolder(const QString& title) = 0;
    // File-open dialog; filter in "Description|*.ext" form; the empty text on cancel.
    virtual QString chooseOpenFile(const QString& title, const QString& filter) = 0;

    // Modal pick list; the index picked, or nothing when the user cancels.
    virtual std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                               const std::vector<CertificateChoice>& choices) = 0;

    // PIN prompt for a token (message may be empty); nothing when the user cancels.
    virtual std::optional<QString> askPin(const QString& tokenLabel, const QString& message) = 0;
    // The same, knowing the lengths the token takes; the Qt dialog accepts only those.
    virtual std::optional<QString> askTokenPin(const PinRequest& request) {
        return askPin(request.tokenLabel, request.message);
    }
    // While a reader's own PIN pad waits for the PIN (shown, then hidden); called on any thread.
    virtual void pinPadWaiting(const QString& tokenLabel, bool waiting) {
        (void)tokenLabel;
        (void)waiting;
    }
};

// The dialogs in use: the replacement a test installed, else the application's.
Dialogs& dialogs();
// The application's dialogs (not owned), set once at start-up.
void setDefaultDialogs(Dialogs* application);
// Installs replacement dialogs (not owned); nullptr restores the application's.
void setDialogs(Dialogs* replacement);

QString programTitle();

}  // namespace norvane

#pragma once
// The "Assinatura Individual" tab: sign one chosen file into a .p7s beside it.

#include "certs/SigningSession.h"
#include "core/LoginContext.h"
#include "tabs/ActionLock.h"

#include <QLabel>
#include <QPushButton>
#include <QString>

namespace norvane {

// The folder part of a path, ending in its separator: everything up to and including the
// last separator, or the ":" of a drive where drives have letters ("/docs/a.pdf" -> "/docs/",
// "/a.pdf" -> "/"); empty when there is none.
QString folderWithSeparator(const QString& path);

// The file-open dialog of the tab: title and filter, and the file chosen last.
struct TOpenDialog {
    QString Title;
    QString Filter;
    QString FileName;
    bool Execute();  // modal; false when the user cancelled
};

class IndividualSigningTab {
public:
    struct Controls {
        QPushButton* Button9;  // choose the file
        QLabel* Label5;        // the chosen path
        QPushButton* Button7;  // sign
        QLabel* Label6;        // the outcome
    };

    IndividualSigningTab(const Controls& controls, const LoginContext& context, SigningSession& signing,
                         const ActionControls& actionControls)
        : ui_(controls), context_(context), signing_(signing), actionControls_(actionControls) {}

    TOpenDialog OpenDialog1{QStringLiteral("Selecione arquivo PDF para assinar em P7S"),
                            QStringLiteral("Arquivos PDF|*.pdf"), {}};

    void Button9Click();
    void Button7Click();

private:
    Controls ui_;
    const LoginContext& context_;
    SigningSession& signing_;
    const ActionControls& actionControls_;
};

}  // namespace norvane

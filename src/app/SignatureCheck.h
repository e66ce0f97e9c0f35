#pragma once
// Checking a signature (.p7s) from the window: the file is chosen (or dropped on the main
// window), checked off the GUI thread, and the verdict and its details are shown in a dialog
// that copies them and can compare the signature with a document.

#include "certs/cms/Verification.h"
#include "tabs/ActionLock.h"

#include <QDialog>
#include <QString>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QWidget;

namespace norvane {

class SignatureCheckDialog : public QDialog {
    Q_OBJECT
public:
    explicit SignatureCheckDialog(const cms::VerificationResult& result, QWidget* parent = nullptr);

    void setResult(const cms::VerificationResult& result);
    const cms::VerificationResult& result() const { return result_; }

    QLabel* Verdict;
    QPlainTextEdit* Details;
    QPushButton* Compare;  // "Comparar com documento..."
    QPushButton* Copy;     // "Copiar"
    QPushButton* Close;    // "Fechar"

private:
    void compareWithDocument();
    cms::VerificationResult result_;
};

// The check of the file off the GUI thread (the window keeps painting meanwhile).
cms::VerificationResult checkInBackground(const QString& signaturePath, const QString& documentPath = QString());

// The whole action, under the window's action lock: chooses the .p7s when none is given,
// asks for the document when the signature does not enclose it, checks, and shows the dialog.
void checkSignatureAction(QWidget* parent, const ActionControls& controls, QString signaturePath = QString());

// Lets .p7s files be dropped on the window: each drop runs the action on the first such file.
// `trigger` is the control that starts the action: while it is disabled (another action runs),
// drops are refused.
void acceptSignatureDrops(QWidget* window, QWidget* trigger, const ActionControls& controls);

}  // namespace norvane

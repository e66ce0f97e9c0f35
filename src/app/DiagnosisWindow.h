#pragma once
// The token doctor's window: the report, a button that copies it and one that saves it.

#include <QDialog>

class QPlainTextEdit;

namespace norvane {

class DiagnosisWindow : public QDialog {
    Q_OBJECT
public:
    // The report is made off the GUI thread before the window is built.
    explicit DiagnosisWindow(const QString& report, QWidget* parent = nullptr);

    QString report() const { return report_; }
    void copyReport();
    // Saves into a folder the user picks, as diagnostico-AAAAMMDD-HHMMSS.txt (whole or not at all).
    void saveReport();

private:
    QString report_;
};

// Makes the report (off the GUI thread) and shows the window, modal.
void showDiagnosis(QWidget* parent);

}  // namespace norvane

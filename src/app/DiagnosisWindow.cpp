#include "app/DiagnosisWindow.h"

#include "core/SystemErrors.h"

#include <cerrno>

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include "certs/doctor/TokenDoctor.h"
#include "core/Background.h"
#include "core/Dialogs.h"
#include "core/Error.h"

namespace norvane {

DiagnosisWindow::DiagnosisWindow(const QString& report, QWidget* parent) : QDialog(parent), report_(report) {
    setWindowTitle(QStringLiteral("Diagnóstico do token e do certificado"));
    auto* text = new QPlainTextEdit(report_, this);
    text->setReadOnly(true);
    text->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    text->setAccessibleName(QStringLiteral("Relatório do diagnóstico"));
    text->setTabChangesFocus(true);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* copy = buttons->addButton(QStringLiteral("Copiar"), QDialogButtonBox::ActionRole);
    QPushButton* save = buttons->addButton(QStringLiteral("Salvar..."), QDialogButtonBox::ActionRole);
    QPushButton* close = buttons->addButton(QStringLiteral("Fechar"), QDialogButtonBox::RejectRole);
    connect(copy, &QPushButton::clicked, this, &DiagnosisWindow::copyReport);
    connect(save, &QPushButton::clicked, this, [this] {
        try {
            saveReport();
        } catch (const std::exception& error) {
            dialogs().showError(QString::fromUtf8(error.what()));
        }
    });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);
    resize(900, 600);
}

void DiagnosisWindow::copyReport() { QApplication::clipboard()->setText(report_); }

void DiagnosisWindow::saveReport() {
    const QString folder = dialogs().chooseFolder(QStringLiteral("Selecione a pasta onde salvar o diagnóstico"));
    if (folder.isEmpty()) return;
    const QString path = QDir(folder).filePath(
        QStringLiteral("diagnostico-%1.txt").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"))));
    QSaveFile file(path);
    const QByteArray bytes = report_.toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw Error(ErrorKind::FileError,
                    QStringLiteral("Não foi possível salvar o diagnóstico em %1: %2").arg(path, fileErrorText(file, errno)));
    dialogs().showInfo(QStringLiteral("Diagnóstico salvo em: ") + path);
}

void showDiagnosis(QWidget* parent) {
    const QString report = runInBackground([] { return doctor::diagnosticReport(); });
    DiagnosisWindow window(report, parent);
    window.exec();
}

}  // namespace norvane

// The "Assinatura Individual" tab: sign one chosen file into a .p7s beside it.

#include "tabs/IndividualSigning.h"

#include "core/Dialogs.h"

#include <QDir>

namespace norvane {

QString folderWithSeparator(const QString& path) {
    // ":" ends a drive ("C:a.pdf") only where drives have letters; elsewhere it is an
    // ordinary character of a file name.
#ifdef Q_OS_WIN
    constexpr bool driveLetters = true;
#else
    constexpr bool driveLetters = false;
#endif
    qsizetype cut = -1;
    for (qsizetype i = path.size() - 1; i >= 0; --i) {
        const QChar c = path.at(i);
        if (c == QLatin1Char('/') || c == QDir::separator() || (driveLetters && c == QLatin1Char(':'))) {
            cut = i;
            break;
        }
    }
    return path.left(cut + 1);
}


bool TOpenDialog::Execute() {
    const QString chosen = dialogs().chooseOpenFile(Title, Filter);
    if (chosen.isEmpty()) return false;
    FileName = QDir::toNativeSeparators(chosen);
    return true;
}

void IndividualSigningTab::Button9Click() {
    ui_.Label6->setText(QString());
    if (OpenDialog1.Execute()) ui_.Label5->setText(OpenDialog1.FileName);
}

void IndividualSigningTab::Button7Click() {
    if (ui_.Label5->text().isEmpty()) {
        dialogs().showError(QStringLiteral("Selecione o arquivo para assinar"));
        return;
    }
    const QString path = ui_.Label5->text();
    ui_.Label6->setText(QStringLiteral("Aguarde..."));
    const ActionLock lock(actionControls_);
    const QString result = signing_.AssinarArquivo(path, context_.Certificado_Thumbprint, folderWithSeparator(path));
    if (!result.isEmpty())
        ui_.Label6->setText(QStringLiteral("Arquivo assinado com sucesso em: ") + path + QStringLiteral(".p7s"));
    else
        ui_.Label6->setText(QStringLiteral("Erro ao assinar arquivo: ") + path);
}

}  // namespace norvane

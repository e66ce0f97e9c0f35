// The "Assinatura Individual" tab: sign one chosen file into a .p7s beside it.

#include "app/Background.h"
#include "app/Dialogs.h"
#include "app/ErrorReport.h"
#include "app/u_Principal.h"
#include "ui_u_Principal.h"
#include "workflows/IndividualSigning.h"

#include <QDir>
#include <QFontMetrics>

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

}  // namespace norvane

bool TFPrincipal::TOpenDialog::Execute() {
    const QString chosen = norvane::dialogs().chooseOpenFile(Title, Filter);
    if (chosen.isEmpty()) return false;
    FileName = QDir::toNativeSeparators(chosen);
    return true;
}

void TFPrincipal::SetupPanel3() {
    QFont large(QStringLiteral("Tahoma"));
    large.setPixelSize(19);
    for (QWidget* control : {static_cast<QWidget*>(ui->Button9), static_cast<QWidget*>(ui->Label5),
                             static_cast<QWidget*>(ui->Button7), static_cast<QWidget*>(ui->Label6),
                             static_cast<QWidget*>(ui->Label3)})
        control->setFont(large);
    // Where Tahoma is missing, the font that stands in for it is wider: keep the captions whole.
    for (QPushButton* button : {ui->Button9, ui->Button7}) {
        QFont font = button->font();
        while (font.pixelSize() > 11 && QFontMetrics(font).horizontalAdvance(button->text()) + 12 > button->width())
            font.setPixelSize(font.pixelSize() - 1);
        button->setFont(font);
    }
    connect(ui->Button9, &QPushButton::clicked, this, norvane::guard([this](bool) { Button9Click(); }));
    connect(ui->Button7, &QPushButton::clicked, this, norvane::guard([this](bool) { Button7Click(); }));
}

void TFPrincipal::Button9Click() {
    ui->Label6->setText(QString());
    if (OpenDialog1.Execute()) ui->Label5->setText(OpenDialog1.FileName);
}

void TFPrincipal::Button7Click() {
    if (ui->Label5->text().isEmpty()) {
        norvane::dialogs().showError(QStringLiteral("Selecione o arquivo para assinar"));
        return;
    }
    const QString path = ui->Label5->text();
    ui->Label6->setText(QStringLiteral("Aguarde..."));
    const norvane::ActionLock lock({ui->Button7, ui->Button9});
    const QString result = AssinarArquivo(path, Certificado_Thumbprint, norvane::folderWithSeparator(path));
    if (!result.isEmpty())
        ui->Label6->setText(QStringLiteral("Arquivo assinado com sucesso em: ") + path + QStringLiteral(".p7s"));
    else
        ui->Label6->setText(QStringLiteral("Erro ao assinar arquivo: ") + path);
}

#include "app/QtDialogs.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace norvane {

namespace {

QWidget* activeParent() { return QApplication::activeWindow(); }

// "Arquivos PDF|*.pdf" -> "Arquivos PDF (*.pdf)"
QString toQtFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        out << parts[i] + QStringLiteral(" (") + QString(parts[i + 1]).replace(QLatin1Char(';'), QLatin1Char(' ')) +
                   QLatin1Char(')');
    return out.join(QStringLiteral(";;"));
}

class QtDialogs final : public Dialogs {
public:
    void showError(const QString& text, const QString& caption) override {
        QMessageBox box(QMessageBox::Critical, caption.isEmpty() ? programTitle() : caption, text, QMessageBox::Ok,
                        activeParent());
        box.setTextFormat(Qt::PlainText);  // texts carry file names and the service's words
        box.exec();
    }
    void showInfo(const QString& text, const QString& caption) override {
        QMessageBox box(QMessageBox::Information, caption.isEmpty() ? programTitle() : caption, text,
                        QMessageBox::Ok, activeParent());
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    QString chooseFolder(const QString& title) override {
        QFileDialog dialog(activeParent(), title);
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly, true);
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Selecionar"));
        dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Cancelar"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
        return dialog.selectedFiles().constFirst();
    }
    QString chooseOpenFile(const QString& title, const QString& filter) override {
        QFileDialog dialog(activeParent(), title);
        dialog.setOption(QFileDialog::DontUseNativeDialog, true);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setNameFilter(toQtFilter(filter));
        dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Abrir"));
        dialog.setLabelText(QFileDialog::Reject, QStringLiteral("Cancelar"));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
        return dialog.selectedFiles().constFirst();
    }
    std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                       const std::vector<CertificateChoice>& choices) override {
        QDialog dialog(activeParent());
        dialog.setWindowTitle(title);
        dialog.resize(640, 320);
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(new QLabel(prompt, &dialog));
        auto* list = new QTreeWidget(&dialog);
        list->setHeaderLabels({QStringLiteral("Emitido para"), QStringLiteral("Emitido por"),
                               QStringLiteral("Válido a partir de"), QStringLiteral("Válido até")});
        list->setRootIsDecorated(false);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        for (const auto& c : choices)
            list->addTopLevelItem(new QTreeWidgetItem({c.subject, c.issuer, c.validFrom, c.validTo}));
        if (!choices.empty()) list->setCurrentItem(list->topLevelItem(0));
        list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
        layout->addWidget(list);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
        buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Cancelar"));
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        QObject::connect(list, &QTreeWidget::itemDoubleClicked, &dialog, &QDialog::accept);
        layout->addWidget(buttons);
        if (dialog.exec() != QDialog::Accepted || !list->currentItem()) return std::nullopt;
        return list->indexOfTopLevelItem(list->currentItem());
    }
    std::optional<QString> askPin(const QString& tokenLabel, const QString& message) override {
        QInputDialog dialog(activeParent());
        dialog.setWindowTitle(QStringLiteral("PIN do certificado"));
        dialog.setLabelText(message.isEmpty()
                                ? QStringLiteral("Digite o PIN do cartão ou token \"%1\":").arg(tokenLabel)
                                : message);
        dialog.setTextEchoMode(QLineEdit::Password);
        dialog.setOkButtonText(QStringLiteral("OK"));
        dialog.setCancelButtonText(QStringLiteral("Cancelar"));
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.textValue();
    }
};

}  // namespace

Dialogs& qtDialogs() {
    static QtDialogs instance;
    return instance;
}

}  // namespace norvane

#include "app/QtDialogs.h"

#include "app/Accessibility.h"

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
#include <algorithm>
#include <memory>

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
        nameFileDialogControls(&dialog);
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
        nameFileDialogControls(&dialog);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
        return dialog.selectedFiles().constFirst();
    }
    std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                       const std::vector<CertificateChoice>& choices) override {
        QDialog dialog(activeParent());
        dialog.setWindowTitle(title);
        dialog.resize(640, 320);
        auto* layout = new QVBoxLayout(&dialog);
        auto* promptLabel = new QLabel(prompt, &dialog);
        layout->addWidget(promptLabel);
        auto* list = new QTreeWidget(&dialog);
        list->setAccessibleName(QStringLiteral("Certificados"));
        promptLabel->setBuddy(list);
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
        return askTokenPin(PinRequest{tokenLabel, message, 1, 0});
    }

    // OK only while the PIN's length is one the token takes: an empty or short PIN never
    // reaches the token (a real token may count it as a wrong try).
    std::optional<QString> askTokenPin(const PinRequest& request) override {
        QDialog dialog(activeParent());
        dialog.setWindowTitle(QStringLiteral("PIN do certificado"));
        auto* text = new QLabel(request.message.isEmpty()
                                    ? QStringLiteral("Digite o PIN do cartão ou token \"%1\":").arg(request.tokenLabel)
                                    : request.message,
                                &dialog);
        text->setTextFormat(Qt::PlainText);
        auto* pin = new QLineEdit(&dialog);
        pin->setEchoMode(QLineEdit::Password);
        pin->setAccessibleName(text->text());
        text->setBuddy(pin);
        auto* buttons = new QDialogButtonBox(&dialog);
        QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
        buttons->addButton(QStringLiteral("Cancelar"), QDialogButtonBox::RejectRole);
        ok->setDefault(true);
        const int least = std::max(1, request.minLength);
        const auto fits = [least, most = request.maxLength](const QString& typed) {
            const int length = int(typed.toUtf8().size());
            return length >= least && (most <= 0 || length <= most);
        };
        ok->setEnabled(false);
        QObject::connect(pin, &QLineEdit::textChanged, ok, [ok, fits](const QString& typed) { ok->setEnabled(fits(typed)); });
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&dialog, pin, fits] {
            if (fits(pin->text())) dialog.accept();
        });
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(text);
        layout->addWidget(pin);
        layout->addWidget(buttons);
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return pin->text();
    }

    // A box with no button while the reader's PIN pad waits.
    void pinPadWaiting(const QString& tokenLabel, bool waiting) override {
        if (!waiting) {
            pinPadBox_.reset();
            return;
        }
        pinPadBox_ = std::make_unique<QMessageBox>(QMessageBox::Information, programTitle(),
                                                   QStringLiteral("Digite o PIN do cartão ou token \"%1\" no teclado do leitor.")
                                                       .arg(tokenLabel),
                                                   QMessageBox::NoButton, activeParent());
        pinPadBox_->setStandardButtons(QMessageBox::NoButton);
        pinPadBox_->setWindowModality(Qt::NonModal);
        pinPadBox_->show();
    }

private:
    std::unique_ptr<QMessageBox> pinPadBox_;
};

}  // namespace

Dialogs& qtDialogs() {
    static QtDialogs instance;
    return instance;
}

}  // namespace norvane

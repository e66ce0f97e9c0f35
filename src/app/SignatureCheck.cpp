#include "app/SignatureCheck.h"

#include "app/ErrorReport.h"
#include "app/Fonts.h"
#include "core/Background.h"
#include "core/Dialogs.h"

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace norvane {

namespace {

const QString kSignatureFilter = QStringLiteral("Assinaturas|*.p7s;*.P7S|Todos os arquivos|*");
const QString kDocumentFilter = QStringLiteral("Todos os arquivos|*");

QString verdictColour(cms::Verdict verdict) {
    switch (verdict) {
        case cms::Verdict::Valid:
            return QStringLiteral("#1b6e20");
        case cms::Verdict::Invalid:
            return QStringLiteral("#b71c1c");
        case cms::Verdict::Unreadable:
            break;
    }
    return QStringLiteral("#8a4b00");
}

// The first local file of a drop that names a signature.
QString droppedSignature(const QMimeData* data) {
    if (!data || !data->hasUrls()) return QString();
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".p7s"), Qt::CaseInsensitive))
            return url.toLocalFile();
    return QString();
}

class SignatureDrops final : public QObject {
public:
    SignatureDrops(QWidget* window, QWidget* trigger, const ActionControls& controls)
        : QObject(window), window_(window), trigger_(trigger), controls_(controls) {
        window->setAcceptDrops(true);
        window->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_) return false;
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (canTake() && !droppedSignature(drag->mimeData()).isEmpty())
                drag->acceptProposedAction();
            else
                drag->ignore();
            return true;
        }
        if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            const QString path = droppedSignature(drop->mimeData());
            if (!canTake() || path.isEmpty()) {
                drop->ignore();
                return true;
            }
            drop->acceptProposedAction();
            // The drop ends first; the action (and its modal dialog) runs right after.
            QTimer::singleShot(0, window_, guard([this, path] {
                                   if (canTake()) checkSignatureAction(window_, controls_, path);
                               }));
            return true;
        }
        return false;
    }

private:
    bool canTake() const { return trigger_ && trigger_->isEnabled() && !QApplication::activeModalWidget(); }

    QWidget* window_;
    QPointer<QWidget> trigger_;
    const ActionControls& controls_;
};

}  // namespace

SignatureCheckDialog::SignatureCheckDialog(const cms::VerificationResult& result, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FVerificacao"));
    setWindowTitle(QStringLiteral("Verificação de assinatura"));
    resize(760, 540);
    setFont(tahoma(13));

    auto* layout = new QVBoxLayout(this);
    Verdict = new QLabel(this);
    Verdict->setObjectName(QStringLiteral("Verdict"));
    Verdict->setTextFormat(Qt::PlainText);
    Verdict->setWordWrap(true);
    Verdict->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Verdict->setFont(tahoma(17, true));
    layout->addWidget(Verdict);

    Details = new QPlainTextEdit(this);
    Details->setObjectName(QStringLiteral("Details"));
    Details->setReadOnly(true);
    Details->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Details->setTabChangesFocus(true);
    Details->setAccessibleName(QStringLiteral("Detalhes da verificação"));
    layout->addWidget(Details, 1);

    auto* buttons = new QHBoxLayout;
    Compare = new QPushButton(QStringLiteral("Comparar com documento..."), this);
    Compare->setObjectName(QStringLiteral("Compare"));
    Copy = new QPushButton(QStringLiteral("Copiar"), this);
    Copy->setObjectName(QStringLiteral("Copy"));
    Close = new QPushButton(QStringLiteral("Fechar"), this);
    Close->setObjectName(QStringLiteral("Close"));
    Close->setDefault(true);
    buttons->addWidget(Compare);
    buttons->addStretch(1);
    buttons->addWidget(Copy);
    buttons->addWidget(Close);
    layout->addLayout(buttons);

    connect(Copy, &QPushButton::clicked, this,
            guard([this] { QGuiApplication::clipboard()->setText(cms::verificationText(result_)); }));
    connect(Close, &QPushButton::clicked, this, &QDialog::accept);
    connect(Compare, &QPushButton::clicked, this, guard([this] { compareWithDocument(); }));
    setResult(result);
}

void SignatureCheckDialog::setResult(const cms::VerificationResult& result) {
    result_ = result;
    const QString text = cms::verificationText(result);
    const qsizetype firstBreak = text.indexOf(QLatin1Char('\n'));
    Verdict->setText(text.left(firstBreak));
    Verdict->setStyleSheet(QStringLiteral("color: %1;").arg(verdictColour(result.verdict)));
    // The details: everything after the verdict and the blank line that follows it.
    Details->setPlainText(text.mid(firstBreak + 1).trimmed());
    Compare->setEnabled(!result.signaturePath.isEmpty());
}

void SignatureCheckDialog::compareWithDocument() {
    const QString document =
        dialogs().chooseOpenFile(QStringLiteral("Selecione o documento assinado para comparar"), kDocumentFilter);
    if (document.isEmpty()) return;
    const QString signature = result_.signaturePath;
    std::vector<std::pair<QPointer<QWidget>, bool>> saved;
    for (QWidget* button : {static_cast<QWidget*>(Compare), static_cast<QWidget*>(Copy), static_cast<QWidget*>(Close)})
        saved.emplace_back(button, button->isEnabled());
    for (auto& [button, enabled] : saved) button->setEnabled(false);
    struct Restore {
        std::vector<std::pair<QPointer<QWidget>, bool>>& saved;
        ~Restore() {
            for (auto& [button, enabled] : saved)
                if (button) button->setEnabled(enabled);
        }
    } restore{saved};
    setResult(checkInBackground(signature, document));
}

cms::VerificationResult checkInBackground(const QString& signaturePath, const QString& documentPath) {
    return runInBackground([signaturePath, documentPath] { return cms::verifySignatureFile(signaturePath, documentPath); });
}

void checkSignatureAction(QWidget* parent, const ActionControls& controls, QString signaturePath) {
    const ActionLock lock(controls);
    if (signaturePath.isEmpty())
        signaturePath = dialogs().chooseOpenFile(QStringLiteral("Selecione a assinatura (.p7s) a verificar"),
                                                 kSignatureFilter);
    if (signaturePath.isEmpty()) return;
    cms::VerificationResult result = checkInBackground(signaturePath);
    if (result.detached && !result.signers.empty()) {
        const QString document = dialogs().chooseOpenFile(
            QStringLiteral("A assinatura não contém o documento: selecione o documento assinado"), kDocumentFilter);
        if (!document.isEmpty()) result = checkInBackground(signaturePath, document);
    }
    SignatureCheckDialog dialog(result, parent);
    dialog.exec();
}

void acceptSignatureDrops(QWidget* window, QWidget* trigger, const ActionControls& controls) {
    new SignatureDrops(window, trigger, controls);
}

}  // namespace norvane

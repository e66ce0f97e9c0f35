// Checking a signature from the main window: the control on the individual tab, the dialog
// with the verdict first, its copy and its comparison with a document, and a .p7s dropped on
// the window.

#include "app/SignatureCheck.h"
#include "app/u_Principal.h"
#include "certs/cms/Signer.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/TestPki.h"
#include "support/TrustOnlyTestRoot.h"
#include "ui_u_Principal.h"

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

using namespace norvane;
using namespace norvane::test;

namespace {

// Runs `inspect` on the verification dialog as soon as it is up (it is modal), then closes it
// with "Fechar".
class WhenDialogShows {
public:
    explicit WhenDialogShows(std::function<void(SignatureCheckDialog&)> inspect) : inspect_(std::move(inspect)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<SignatureCheckDialog*>(QApplication::activeModalWidget());
            if (!dialog) return;
            timer_.stop();
            inspect_(*dialog);
            ++shown;
            dialog->Close->click();
        });
        timer_.start();
    }
    int shown = 0;

private:
    std::function<void(SignatureCheckDialog&)> inspect_;
    QTimer timer_;
};

class SignatureCheckWindow : public ::testing::Test {
protected:
    void SetUp() override {
        const TestPki& pki = TestPki::instance();
        document = QByteArray("%PDF-1.7 instrumento ") + QByteArray(2000, 'y');
        documentPath = write("a.pdf", document);
        const QString chain = write("cadeia.pem", readWholeFile(pki[Cert::A3].certPath) +
                                                      readWholeFile(pki[Cert::Intermediate].certPath));
        const auto signer = cms::KeyFileSigner::fromPem(pki[Cert::A3].keyPath, chain);
        signaturePath =
            write("a.pdf.p7s", signer->sign(document, {QDateTime::currentDateTime(), "a.pdf", "Assinado com Assinador Norvane"}));
        window.show();
        window.ui->TabControl1->setTabIndex(2);
    }

    QString write(const QString& name, const QByteArray& bytes) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return dir.filePath(name);
    }

    static std::unique_ptr<QMimeData> files(const QStringList& paths) {
        auto data = std::make_unique<QMimeData>();
        QList<QUrl> urls;
        for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
        data->setUrls(urls);
        return data;
    }

    // Drags the files over the window; true when it offers to take them. Then drops them.
    bool drop(const QStringList& paths) {
        const auto data = files(paths);
        QDragEnterEvent enter(QPoint(200, 300), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        const bool offered = enter.isAccepted();
        QDropEvent dropped(QPointF(200, 300), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &dropped);
        return offered;
    }

    TrustOnlyTestRoot trust;
    ScriptedDialogs dialogs;
    QTemporaryDir dir;
    QByteArray document;
    QString documentPath, signaturePath;
    TFPrincipal window;
};

}  // namespace

TEST_F(SignatureCheckWindow, TheControlTakesAFreePlaceOfTheIndividualTab) {
    const auto& ui = *window.ui;
    QPushButton* verify = ui.ButtonVerificar;
    ASSERT_TRUE(verify);
    EXPECT_EQ(verify->parentWidget(), ui.Panel3);
    EXPECT_TRUE(verify->isVisible());
    EXPECT_EQ(verify->text(), QStringLiteral("Verificar uma assinatura (.p7s)"));
    EXPECT_LT(QFontMetrics(verify->font()).horizontalAdvance(verify->text()), verify->width());
    for (QWidget* described : {static_cast<QWidget*>(ui.Button9), static_cast<QWidget*>(ui.Label5),
                               static_cast<QWidget*>(ui.Button7), static_cast<QWidget*>(ui.Label6),
                               static_cast<QWidget*>(ui.Label3)})
        EXPECT_FALSE(verify->geometry().intersects(described->geometry())) << described->objectName().toStdString();
    // It follows the described controls in the tab order, and every action locks it.
    QWidget* next = ui.Button9->nextInFocusChain();
    while (next && !(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
    EXPECT_EQ(next, verify);
    EXPECT_NE(std::find(window.ActionControls.begin(), window.ActionControls.end(), verify),
              window.ActionControls.end());
}

TEST_F(SignatureCheckWindow, TheButtonChoosesChecksAndShowsTheVerdictFirst) {
    dialogs.fileAnswers = {signaturePath};
    bool lockedMeanwhile = false;
    WhenDialogShows check([&](SignatureCheckDialog& dialog) {
        lockedMeanwhile = !window.ui->Button7->isEnabled() && !window.ui->ButtonVerificar->isEnabled();
        const cms::VerificationResult expected = cms::verifySignatureFile(signaturePath);
        EXPECT_EQ(dialog.Verdict->text(), QStringLiteral("Assinatura VÁLIDA (revogação não verificada)"));
        EXPECT_EQ(dialog.Verdict->text(), cms::verdictLine(expected));
        const QString details = dialog.Details->toPlainText();
        EXPECT_TRUE(details.startsWith(QStringLiteral("Arquivo: ") + signaturePath)) << details.toStdString();
        EXPECT_TRUE(details.contains(QStringLiteral("CPF: 111.222.333-44"))) << details.toStdString();
        EXPECT_TRUE(details.contains(QStringLiteral("Revogação: não verificada"))) << details.toStdString();

        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(dialog.Copy, Qt::LeftButton);
        const QString copied = QGuiApplication::clipboard()->text();
        EXPECT_TRUE(copied.startsWith(dialog.Verdict->text() + '\n')) << copied.toStdString();
        EXPECT_TRUE(copied.contains(details)) << copied.toStdString();
        EXPECT_EQ(dialog.Copy->text(), QStringLiteral("Copiar"));
        EXPECT_EQ(dialog.Close->text(), QStringLiteral("Fechar"));
    });
    QTest::mouseClick(window.ui->ButtonVerificar, Qt::LeftButton);
    EXPECT_EQ(check.shown, 1);
    EXPECT_TRUE(lockedMeanwhile);
    EXPECT_TRUE(window.ui->Button7->isEnabled());
    EXPECT_TRUE(window.ui->ButtonVerificar->isEnabled());
    ASSERT_EQ(dialogs.fileRequests.size(), 1u);
    EXPECT_EQ(dialogs.fileRequests[0].first, QStringLiteral("Selecione a assinatura (.p7s) a verificar"));
    EXPECT_TRUE(dialogs.boxes.empty());

    // Cancelling the choice checks nothing.
    QTest::mouseClick(window.ui->ButtonVerificar, Qt::LeftButton);
    EXPECT_EQ(check.shown, 1);
}

TEST_F(SignatureCheckWindow, TheDialogComparesWithADocumentAndADetachedSignatureAsksForIt) {
    QByteArray other = document;
    other[5] = 'X';
    dialogs.fileAnswers = {signaturePath, write("b.pdf", other)};
    WhenDialogShows compare([&](SignatureCheckDialog& dialog) {
        QTest::mouseClick(dialog.Compare, Qt::LeftButton);
        EXPECT_EQ(dialog.Verdict->text(),
                  QStringLiteral("Assinatura INVÁLIDA: o documento informado difere do conteúdo assinado"));
        EXPECT_TRUE(dialog.Compare->isEnabled());
    });
    QTest::mouseClick(window.ui->ButtonVerificar, Qt::LeftButton);
    EXPECT_EQ(compare.shown, 1);

    const TestPki& pki = TestPki::instance();
    const ToolResult signed_ = runProgram(
        QStringLiteral("openssl"), {"cms", "-sign", "-binary", "-in", documentPath, "-signer", pki[Cert::A3].certPath,
                                    "-inkey", pki[Cert::A3].keyPath, "-certfile", pki[Cert::Intermediate].certPath,
                                    "-outform", "DER", "-out", dir.filePath("destacada.p7s")});
    ASSERT_EQ(signed_.exitCode, 0) << signed_.describe().toStdString();
    dialogs.fileAnswers = {dir.filePath("destacada.p7s"), documentPath};
    dialogs.fileRequests.clear();
    WhenDialogShows detached([&](SignatureCheckDialog& dialog) {
        EXPECT_EQ(dialog.Verdict->text(), QStringLiteral("Assinatura VÁLIDA (revogação não verificada)"));
        EXPECT_TRUE(dialog.Details->toPlainText().contains(QStringLiteral("Documento informado: ") + documentPath));
    });
    QTest::mouseClick(window.ui->ButtonVerificar, Qt::LeftButton);
    EXPECT_EQ(detached.shown, 1);
    ASSERT_EQ(dialogs.fileRequests.size(), 2u);
    EXPECT_EQ(dialogs.fileRequests[1].first,
              QStringLiteral("A assinatura não contém o documento: selecione o documento assinado"));
}

TEST_F(SignatureCheckWindow, ASignatureDroppedOnTheWindowIsChecked) {
    EXPECT_FALSE(drop({documentPath}));  // not a signature: refused
    QCoreApplication::processEvents();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);

    WhenDialogShows check([&](SignatureCheckDialog& dialog) {
        EXPECT_EQ(dialog.result().signaturePath, signaturePath);
        EXPECT_EQ(dialog.Verdict->text(), QStringLiteral("Assinatura VÁLIDA (revogação não verificada)"));
    });
    EXPECT_TRUE(drop({documentPath, signaturePath}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return check.shown == 1; }, 10000));
    EXPECT_TRUE(dialogs.fileRequests.empty());

    // While another action runs, nothing is taken.
    {
        const ActionLock busy(window.ActionControls);
        EXPECT_FALSE(drop({signaturePath}));
    }
    QTest::qWait(50);
    EXPECT_EQ(check.shown, 1);
}

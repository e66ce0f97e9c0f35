// The "Assinatura Individual" tab, driven by clicks on its buttons.

#include "app/ErrorReport.h"
#include "app/u_Principal.h"
#include "core/Background.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"
#include "app/TabControl.h"
#include "tabs/IndividualSigning.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <gtest/gtest.h>

using namespace norvane::test;

namespace {

const QString kKeyText = QStringLiteral(
    "Chave do certificado não encontrada. Por favor confirme se o cartão ou token USB do certificado "
    "selecionado está conectado ao seu computador ou remova e insira-o novamente.");

// The tab's controls, found by their names in the main window.
struct Panel3Controls {
    explicit Panel3Controls(TFPrincipal& window)
        : Panel3(window.findChild<QWidget*>("Panel3")),
          Button9(window.findChild<QPushButton*>("Button9")),
          Button7(window.findChild<QPushButton*>("Button7")),
          Label5(window.findChild<QLabel*>("Label5")),
          Label6(window.findChild<QLabel*>("Label6")),
          Label3(window.findChild<QLabel*>("Label3")) {}
    QWidget* Panel3;
    QPushButton* Button9;
    QPushButton* Button7;
    QLabel* Label5;
    QLabel* Label6;
    QLabel* Label3;
};

// Also records whether the tab's buttons could be pressed while the PIN was asked,
// that is, in the middle of a signature.
class RecordingDialogs : public ScriptedDialogs {
public:
    const Panel3Controls* tab = nullptr;
    const norvane::ActionControls* actionControls = nullptr;
    std::vector<std::pair<bool, bool>> buttonsEnabledAtPin;
    std::vector<std::vector<bool>> actionControlsEnabledAtPin;
    std::optional<QString> askPin(const QString& tokenLabel, const QString& message) override {
        if (tab) buttonsEnabledAtPin.emplace_back(tab->Button7->isEnabled(), tab->Button9->isEnabled());
        if (actionControls) {
            std::vector<bool> states;
            for (const QWidget* control : *actionControls) states.push_back(control->isEnabled());
            actionControlsEnabledAtPin.push_back(states);
        }
        return ScriptedDialogs::askPin(tokenLabel, message);
    }
};

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

class IndividualTab : public ::testing::Test {
protected:
    void SetUp() override {
        norvane::tokens::forgetPins();
        tokens.addToken("Token A", {Cert::A3});
        dialogs.pickAnswers = {0};
        ASSERT_EQ(window.ListaCertificados(1), QStringLiteral("1"));
        ASSERT_TRUE(ui.Panel3 && ui.Button9 && ui.Button7 && ui.Label5 && ui.Label6 && ui.Label3);
        dialogs.tab = &ui;
        dialogs.actionControls = &window.ActionControls;
        window.findChild<TTabControl*>("TabControl1")->setTabIndex(2);
    }

    void click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    QString choose(const QString& path) {
        dialogs.fileAnswers = {path};
        click(ui.Button9);
        return ui.Label5->text();
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    RecordingDialogs dialogs;
    TFPrincipal window;
    const Panel3Controls ui{window};
    QTemporaryDir work;
};

TEST_F(IndividualTab, ControlsSitWhereTheFormPlacesThem) {
    for (QWidget* control : {static_cast<QWidget*>(ui.Button9), static_cast<QWidget*>(ui.Label5),
                             static_cast<QWidget*>(ui.Button7), static_cast<QWidget*>(ui.Label6),
                             static_cast<QWidget*>(ui.Label3)}) {
        EXPECT_EQ(control->parentWidget(), ui.Panel3) << control->objectName().toStdString();
        EXPECT_EQ(control->font().family(), QStringLiteral("Tahoma")) << control->objectName().toStdString();
    }
    for (QLabel* label : {ui.Label5, ui.Label6, ui.Label3}) EXPECT_EQ(label->font().pixelSize(), 19);
    // The captions fit their buttons whatever font stands in for Tahoma.
    for (QPushButton* button : {ui.Button9, ui.Button7})
        EXPECT_LT(QFontMetrics(button->font()).horizontalAdvance(button->text()), button->width());
    EXPECT_EQ(ui.Button7->font().pixelSize(), 19);
    EXPECT_EQ(ui.Button9->geometry(), QRect(17, 8, 336, 25));
    EXPECT_EQ(ui.Button7->geometry(), QRect(16, 81, 337, 25));
    EXPECT_EQ(ui.Label5->pos(), QPoint(17, 33));
    EXPECT_EQ(ui.Label6->pos(), QPoint(17, 112));
    EXPECT_EQ(ui.Label3->pos(), QPoint(208, 7));
    EXPECT_EQ(ui.Button9->text(), QStringLiteral("Selecione um arquivo PDF para assinar"));
    EXPECT_EQ(ui.Button7->text(), QStringLiteral("Assinar"));
    EXPECT_EQ(ui.Button7->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(ui.Button9->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(ui.Button7->nextInFocusChain(), ui.Button9);
    EXPECT_TRUE(ui.Label5->text().isEmpty());
    EXPECT_TRUE(ui.Label6->text().isEmpty());
    EXPECT_TRUE(ui.Label3->text().isEmpty());
    // A path is shown as it is, also when its name looks like markup ("<b>x</b>.pdf").
    EXPECT_EQ(ui.Label5->textFormat(), Qt::PlainText);
    EXPECT_EQ(ui.Label6->textFormat(), Qt::PlainText);
}

TEST_F(IndividualTab, ChoosingSigningAndChoosingAgain) {

    // "Assinar" before any choice.
    click(ui.Button7);
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Selecione o arquivo para assinar")});
    EXPECT_EQ(dialogs.boxes.front().kind, ShownBox::Error);
    EXPECT_TRUE(ui.Label6->text().isEmpty());

    const QString pdf = QDir::toNativeSeparators(work.filePath(QStringLiteral("Instrumento de Protesto.pdf")));
    // Bytes that no text holds whole: a NUL, a control byte and 0xFF.
    static const char kBytes[] = "%PDF-1.4\n\x00\x01\xff conteudo \r\n%%EOF\n";
    const QByteArray bytes(kBytes, sizeof kBytes - 1);
    writeFile(pdf, bytes);
    EXPECT_EQ(choose(pdf), pdf);
    ASSERT_EQ(dialogs.fileRequests.size(), 1u);
    EXPECT_EQ(dialogs.fileRequests[0].first, QStringLiteral("Selecione arquivo PDF para assinar em P7S"));
    EXPECT_EQ(dialogs.fileRequests[0].second, QStringLiteral("Arquivos PDF|*.pdf"));

    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button7);
    EXPECT_EQ(ui.Label6->text(), "Arquivo assinado com sucesso em: " + pdf + ".p7s");
    const VerifyResult verified = verifyWithOpenssl(pdf + ".p7s", pki[Cert::Root].certPath);
    EXPECT_TRUE(verified.ok) << verified.log.toStdString();
    EXPECT_EQ(verified.content, bytes);
    // The buttons could not be pressed while the file was being signed, and can again now.
    EXPECT_EQ(dialogs.buttonsEnabledAtPin, (std::vector<std::pair<bool, bool>>{{false, false}}));
    EXPECT_TRUE(ui.Button7->isEnabled());
    EXPECT_TRUE(ui.Button9->isEnabled());

    // Signing again replaces the signature beside it.
    const QByteArray changed("%PDF-1.4\nsegunda versao\n");
    writeFile(pdf, changed);
    click(ui.Button7);
    EXPECT_EQ(ui.Label6->text(), "Arquivo assinado com sucesso em: " + pdf + ".p7s");
    EXPECT_EQ(verifyWithOpenssl(pdf + ".p7s", pki[Cert::Root].certPath).content, changed);

    // Cancelling a new choice clears the outcome line and keeps the file.
    EXPECT_EQ(choose(QString()), pdf);
    EXPECT_TRUE(ui.Label6->text().isEmpty());
    EXPECT_EQ(dialogs.boxes.size(), 1u);
}

TEST_F(IndividualTab, FailuresShowTheEngineErrorThenTheFailureLine) {
    const QString pdf = QDir::toNativeSeparators(work.filePath(QStringLiteral("a.pdf")));
    writeFile(pdf, "%PDF-1.4\n");
    choose(pdf);

    tokens.removeToken("Token A");
    click(ui.Button7);
    EXPECT_EQ(ui.Label6->text(), "Erro ao assinar arquivo: " + pdf);
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith(QStringLiteral("Erro 03: ")));
    EXPECT_EQ(dialogs.texts()[1], "Erro 11: " + kKeyText);
    EXPECT_FALSE(QFileInfo::exists(pdf + ".p7s"));

    // A signature file typed in spite of the filter is refused, not reported as signed.
    dialogs.boxes.clear();
    const QString p7s = pdf + ".p7s";
    writeFile(p7s, "x");
    choose(p7s);
    click(ui.Button7);
    EXPECT_EQ(ui.Label6->text(), "Erro ao assinar arquivo: " + p7s);
    EXPECT_EQ(dialogs.texts(),
              std::vector<QString>{QStringLiteral("O arquivo a.pdf.p7s já é uma assinatura (.p7s) e não será assinado novamente.")});

    // The chosen file is gone: the default error report shows why, the line keeps "Aguarde...".
    dialogs.boxes.clear();
    choose(pdf);
    QFile::remove(pdf);
    click(ui.Button7);
    EXPECT_EQ(ui.Label6->text(), QStringLiteral("Aguarde..."));
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith("Não foi possível abrir o arquivo " + pdf)) << dialogs.texts()[0].toStdString();
    EXPECT_TRUE(ui.Button7->isEnabled());
}

TEST(IndividualSigningFolder, IsThePathUpToItsLastSeparator) {
    EXPECT_EQ(norvane::folderWithSeparator(QStringLiteral("/docs/a.pdf")), QStringLiteral("/docs/"));
    EXPECT_EQ(norvane::folderWithSeparator(QStringLiteral("/a.pdf")), QStringLiteral("/"));
    EXPECT_EQ(norvane::folderWithSeparator(QStringLiteral("/x.y/z/doc.final.pdf")), QStringLiteral("/x.y/z/"));
    EXPECT_EQ(norvane::folderWithSeparator(QStringLiteral("a.pdf")), QString());
    // Only where drives have letters does ":" end the folder; here it belongs to the name.
    EXPECT_EQ(norvane::folderWithSeparator(QStringLiteral("/docs/Protesto 10:30.pdf")), QStringLiteral("/docs/"));
}

TEST_F(IndividualTab, AFileInTheRootFolderIsSignedBesideIt) {
    if (!QFileInfo(QStringLiteral("/")).isWritable()) GTEST_SKIP() << "the root folder is not writable here";
    const QString pdf = QStringLiteral("/norvane-teste-%1.pdf").arg(QCoreApplication::applicationPid());
    writeFile(pdf, "%PDF-1.4\nraiz\n");
    choose(pdf);
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button7);
    const bool signedBeside = QFileInfo::exists(pdf + ".p7s");
    const QByteArray content = verifyWithOpenssl(pdf + ".p7s", pki[Cert::Root].certPath).content;
    QFile::remove(pdf);
    QFile::remove(pdf + ".p7s");
    EXPECT_TRUE(signedBeside);
    EXPECT_EQ(content, "%PDF-1.4\nraiz\n");
    EXPECT_EQ(ui.Label6->text(), "Arquivo assinado com sucesso em: " + pdf + ".p7s");
}

}  // namespace

TEST_F(IndividualTab, EveryActionControlOfEveryTabIsLockedWhileSigningAndComesBackAsItWas) {
    // Every tab's action controls are in the one list.
    for (const char* name : {"Button1", "Button2", "Button3", "Button4", "Button5", "Button6", "Button7", "Button9"}) {
        auto* button = window.findChild<QPushButton*>(name);
        ASSERT_TRUE(button) << name;
        EXPECT_NE(std::find(window.ActionControls.begin(), window.ActionControls.end(), button),
                  window.ActionControls.end())
            << name;
    }
    auto* disabledBefore = window.findChild<QPushButton*>("Button3");
    disabledBefore->setEnabled(false);
    std::vector<bool> before;
    for (const QWidget* control : window.ActionControls) before.push_back(control->isEnabled());

    const QString pdf = QDir::toNativeSeparators(work.filePath(QStringLiteral("a.pdf")));
    writeFile(pdf, QByteArray("%PDF-1.4\n"));
    choose(pdf);
    dialogs.pinAnswers = {QStringLiteral("1234")};
    click(ui.Button7);
    ASSERT_EQ(dialogs.actionControlsEnabledAtPin.size(), 1u);
    EXPECT_EQ(dialogs.actionControlsEnabledAtPin[0], std::vector<bool>(window.ActionControls.size(), false));
    std::vector<bool> after;
    for (const QWidget* control : window.ActionControls) after.push_back(control->isEnabled());
    EXPECT_EQ(after, before);

    // After an error that ends the action (the file is gone), too.
    QFile::remove(pdf);
    click(ui.Button7);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    after.clear();
    for (const QWidget* control : window.ActionControls) after.push_back(control->isEnabled());
    EXPECT_EQ(after, before);
    EXPECT_FALSE(disabledBefore->isEnabled());
}

TEST_F(IndividualTab, QuittingDuringALoopOverSeveralFilesEndsItAtOnceWithoutABox) {
    // A loop that marks a failed file and goes on, as the batch tabs do: quitting is not a
    // failure of the file, so nothing can turn it into "go on with the next one".
    QStringList files;
    for (int i = 0; i < 4; ++i) {
        files << work.filePath(QStringLiteral("f%1.pdf").arg(i));
        writeFile(files.back(), QByteArray(8 * 1024 * 1024, char('a' + i)));
    }
    dialogs.pinAnswers = {QStringLiteral("1234")};
    int attempted = 0;
    int failedAndWentOn = 0;
    bool guardResult = true;
    // The quit comes while the first file is being signed (its PIN is asked then), whatever
    // the machine's speed.
    dialogs.onPinPrompt = [] { QCoreApplication::exit(0); };
    QTimer::singleShot(0, [&] {
        guardResult = norvane::guarded([&] {
            for (const QString& file : files) {
                ++attempted;
                try {
                    window.AssinarArquivo(file, window.Certificado_Thumbprint, work.path());
                } catch (const std::exception&) {
                    ++failedAndWentOn;
                }
            }
        });
    });
    QCoreApplication::exec();
    norvane::clearAbortRequest();
    EXPECT_FALSE(guardResult);
    EXPECT_EQ(attempted, 1);
    EXPECT_EQ(failedAndWentOn, 0);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.texts().front().toStdString();
    for (int i = 1; i < 4; ++i) EXPECT_FALSE(QFileInfo::exists(files[i] + ".p7s")) << i;
}

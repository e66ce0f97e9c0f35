// The windows on the card: the batch tab when the card is pulled out mid-batch and put back,
// the login window when the card comes in while it is open, and both with a locked PIN.

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "Card.h"
#include "app/Application.h"
#include "app/u_Principal.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Background.h"
#include "login/u_NorvaneAssinadorIP_Login.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/StandIn.h"
#include "support/TestPki.h"
#include "tabs/Grid.h"
#include "ui_u_NorvaneAssinadorIP_Login.h"
#include "ui_u_Principal.h"

using namespace norvane::test;

namespace {

const QString kIbge = QStringLiteral("3550308");
const QString kCartorio = QStringLiteral("01");
const QString kKeyGone = QStringLiteral(
    "Erro 11: Chave do certificado não encontrada. Por favor confirme se o cartão ou token USB do certificado "
    "selecionado está conectado ao seu computador ou remova e insira-o novamente.");

// Picks the card's e-CPF in the pick list (when it is offered).
class CardDialogs : public ScriptedDialogs {
public:
    std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                       const std::vector<norvane::CertificateChoice>& choices) override {
        ScriptedDialogs::pickCertificate(title, prompt, choices);
        for (size_t i = 0; i < choices.size(); ++i)
            if (choices[i].subject == TestPki::instance()[Cert::A3].commonName) return int(i);
        return std::nullopt;
    }
};

bool waitUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < kCeilingMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

class CardWindows : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("NORVANE_PCSCD_FOLDER")) << "run by tests/card/stage.py";
        norvane::tokens::restoreDefaultModulesForTesting();
        norvane::tokens::forgetPins();
        ASSERT_TRUE(QDir().mkpath(in()) && QDir().mkpath(out()));
    }
    void TearDown() override {
        norvane::tokens::restoreDefaultModulesForTesting();
        norvane::clearAbortRequest();
    }

    QString in() const { return work.filePath("entrada"); }
    QString out() const { return work.filePath("saida"); }

    // The login window against the stand-in (its version check answered), wired to
    // `principal`, shown.
    std::unique_ptr<TFLogin> loginWindow(TFPrincipal& principal) {
        FPrincipal = &principal;
        auto login = std::make_unique<TFLogin>(
            nullptr, norvane::LoginUrls{standIn.baseUrl(), standIn.homologationBaseUrl(),
                                        QStringLiteral("http://127.0.0.1:9/files/")});
        norvane::wireLogin(*login, principal);
        standIn.setDefault(ScriptedAnswer::ok(R"({"dados":{"nm_nr_versao":")" NORVANE_VERSION_TEXT R"("}})"));
        login->show();
        return login;
    }

    // The main window logged in with the card's e-CPF, at the office of the instruments.
    void loggedIn(TFPrincipal& window) {
        ASSERT_TRUE(waitForCard(true));
        dialogs.pickAnswers = {0};
        ASSERT_EQ(window.ListaCertificados(1), QStringLiteral("1"));
        window.cd_ibge = kIbge;
        window.nr_cartorio = kCartorio;
        window.cd_usuario = QStringLiteral("42");
        window.Ambiente = QStringLiteral("P");
        window.urlAPI = standIn.baseUrl();
        standIn.setDefault(ScriptedAnswer::ok("{\"retorno\":\"ok\"}"));
    }
    QStringList accepted(int count) {
        QStringList names;
        for (int i = 1; i <= count; ++i) {
            names << kIbge + "20240115" + kCartorio + QStringLiteral("%1").arg(i, 6, 10, QLatin1Char('0')) + ".pdf";
            QFile file(in() + "/" + names.back());
            EXPECT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("%PDF-1.4\n<pdfaid:part>1</pdfaid:part>\n/Keywords (protesto)\n%%EOF\n" + QByteArray::number(i));
        }
        return names;
    }
    void intakeAndOutput(TFPrincipal& window) {
        dialogs.folderAnswers = {out()};
        QTest::mouseClick(window.ui->Button2, Qt::LeftButton);
        dialogs.folderAnswers = {in()};
        QTest::mouseClick(window.ui->Button1, Qt::LeftButton);
    }
    QStringList statuses(TFPrincipal& window) const {
        QStringList result;
        QTableView* grid = window.ui->ListView1;
        for (int r = 0; r < grid->model()->rowCount(); ++r) result << norvane::cellText(grid, r, 2);
        return result;
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens trust;  // the test root trusted; SoftHSM's tokens in an empty folder of its own
    CardDialogs dialogs;
    QTemporaryDir work;
    StandIn standIn{[] {
        StandIn::Options options;
        options.homologationPort = true;
        return options;
    }()};
};

}  // namespace

// Pulled out as the third of six rows is taken up: the batch ends at that row with the key's
// one box; put back, the next press of "Assinar" asks for the PIN again and goes on from there.
TEST_F(CardWindows, APulledCardEndsTheBatchAtItsRowWithOneBoxAndPutBackAssinarGoesOn) {
    Card card;
    TFPrincipal window;
    loggedIn(window);
    accepted(6);
    intakeAndOutput(window);
    bool pulled = false;
    QObject::connect(window.ui->ListView1->model(), &QAbstractItemModel::dataChanged, [&](const QModelIndex& index) {
        if (!pulled && index.row() == 2 && index.column() == 2 && index.data().toString() == "Assinando") {
            pulled = true;
            card.remove();
        }
    });
    dialogs.pinAnswers = {QStringLiteral("1234")};
    QTest::mouseClick(window.ui->Button3, Qt::LeftButton);
    EXPECT_EQ(statuses(window), (QStringList{"Enviado", "Enviado", "Assinando", "", "", ""}));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{kKeyGone});
    EXPECT_EQ(QDir(out()).entryList({"*.p7s"}, QDir::Files).size(), 2);

    card.insert();
    dialogs.boxes.clear();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    QTest::mouseClick(window.ui->Button3, Qt::LeftButton);
    EXPECT_EQ(statuses(window), QStringList(6, "Enviado"));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{QStringLiteral("Processo Finalizado")});
    EXPECT_EQ(dialogs.pinPrompts.size(), 2u) << "the card put back wants its PIN again";
    EXPECT_EQ(QDir(out()).entryList({"*.p7s"}, QDir::Files).size(), 6);
}

// No card when the login window opens: the press finds none. The card goes in with the window
// open, and the next press offers it, signs the login with its key and logs in.
TEST_F(CardWindows, ACardInsertedWhileTheLoginWindowIsOpenIsOfferedAtTheNextPress) {
    TFPrincipal principal;
    const std::unique_ptr<TFLogin> window = loginWindow(principal);
    TFLogin& login = *window;
    ASSERT_TRUE(waitUntil([&] { return standIn.requests().size() >= 1 && login.ui->Btn_Login->isEnabled(); }));
    QTest::mouseClick(login.ui->Btn_Login, Qt::LeftButton);
    // No card in the reader: one box that says to connect it.
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts().front().startsWith(QStringLiteral("Nenhum token ou cartão conectado.")))
        << dialogs.texts().front().toStdString();
    EXPECT_TRUE(principal.cd_ibge.isEmpty());

    Card card;
    dialogs.boxes.clear();
    standIn.script(ScriptedAnswer::ok(
        R"([{"codigoIBGE":"3550308","numero":"01","codUsuario":"42","nomeCartorio":"x","codCartorio":7}])"));
    dialogs.pinAnswers = {QStringLiteral("1234")};
    QTest::mouseClick(login.ui->Btn_Login, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return principal.cd_ibge == kIbge; })) << dialogs.texts().size();
    EXPECT_TRUE(dialogs.texts().empty()) << dialogs.texts().front().toStdString();
    ASSERT_FALSE(dialogs.picks.empty());
    EXPECT_EQ(principal.Certificado_Thumbprint, pki[Cert::A3].thumbprint);
    FPrincipal = nullptr;
    FLogin = nullptr;
}

// A locked card: the login and the batch say so in their one box, and ask for no PIN.
TEST_F(CardWindows, ALockedPinIsSaidByTheLoginAndTheBatchWithNoPrompt) {
    Card card(0);
    {
        TFPrincipal principal;
        const std::unique_ptr<TFLogin> window = loginWindow(principal);
        TFLogin& login = *window;
        ASSERT_TRUE(waitUntil([&] { return standIn.requests().size() >= 1 && login.ui->Btn_Login->isEnabled(); }));
        ASSERT_TRUE(waitForCard(true));
        QTest::mouseClick(login.ui->Btn_Login, Qt::LeftButton);
        EXPECT_EQ(dialogs.texts(), std::vector<QString>{"Erro 04: " + kLocked});
        EXPECT_TRUE(principal.cd_ibge.isEmpty());
        FPrincipal = nullptr;
        FLogin = nullptr;
    }
    dialogs.boxes.clear();
    TFPrincipal window;
    loggedIn(window);
    accepted(2);
    intakeAndOutput(window);
    QTest::mouseClick(window.ui->Button3, Qt::LeftButton);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].contains(kLocked)) << dialogs.texts()[0].toStdString();
    EXPECT_EQ(statuses(window), (QStringList{"Assinando", ""}));
    EXPECT_TRUE(dialogs.pinPrompts.empty());
    EXPECT_EQ(card.state(), "tries=0 pins-while-locked=0");
}

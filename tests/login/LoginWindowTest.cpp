// The login window, driven by clicks against the stand-in service and SoftHSM tokens.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/Application.h"
#include "app/u_Principal.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Background.h"
#include "login/u_NorvaneAssinadorIP_Login.h"
#include "login/u_NovaVersao.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/StandIn.h"
#include "support/TestPki.h"
#include "ui_u_NorvaneAssinadorIP_Login.h"
#include "ui_u_NovaVersao.h"
#include "ui_u_Principal.h"

using namespace norvane::test;

namespace {

const QString kSaoJose = QStringLiteral("CARTÓRIO DO 1º OFÍCIO DE PROTESTO DE TÍTULOS DE SÃO JOSÉ");
const QString kPiped = QStringLiteral("TABELIONATO | 2º OFÍCIO %7C DE SÃO JOSÉ");

// Picks the certificate named `wanted` in the pick list; records whether the login's
// controls could be pressed meanwhile.
class LoginDialogs : public ScriptedDialogs {
public:
    QString wanted;
    const Ui::TFLogin* login = nullptr;
    std::vector<bool> controlsEnabledAtPick;
    std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                       const std::vector<norvane::CertificateChoice>& choices) override {
        ScriptedDialogs::pickCertificate(title, prompt, choices);
        if (login)
            controlsEnabledAtPick.push_back(login->Btn_Login->isEnabled() || login->RadioButton1->isEnabled() ||
                                            login->RadioButton2->isEnabled());
        for (size_t i = 0; i < choices.size(); ++i)
            if (choices[i].subject == wanted) return int(i);
        return std::nullopt;
    }
    std::function<void()> atPin;  // e.g. the token pulled out while its PIN is asked
    std::optional<QString> askPin(const QString& tokenLabel, const QString& message) override {
        if (atPin) atPin();
        return ScriptedDialogs::askPin(tokenLabel, message);
    }
};

bool waitUntil(const std::function<bool()>& done, int ms = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

QByteArray office(const char* ibge, const char* numero, const char* usuario, const QString& nome, int cod) {
    return QStringLiteral(R"({"codigoIBGE":"%1","numero":"%2","codUsuario":"%3","nomeCartorio":"%4","codCartorio":%5})")
        .arg(ibge, numero, usuario, nome)
        .arg(cod)
        .toUtf8();
}

class LoginWindow : public ::testing::Test {
protected:
    void SetUp() override {
        norvane::tokens::forgetPins();
        FPrincipal = &principal;
        norvane::wireLogin(login, principal);
        standIn.setDefault(ScriptedAnswer::ok(R"({"dados":{"nm_nr_versao":")" NORVANE_VERSION_TEXT R"("}})"));
        dialogs.wanted = pki[Cert::A3].commonName;
        dialogs.login = login.ui.get();
    }
    void TearDown() override {
        FPrincipal = nullptr;
        FLogin = nullptr;
        norvane::clearAbortRequest();
    }

    // Shows the window and waits for its version check.
    void show() {
        login.show();
        ASSERT_TRUE(waitUntil([&] { return standIn.requests().size() >= 1 && login.ui->Btn_Login->isEnabled(); }));
        standIn.clear();
    }

    // Logs in with the answer given to the `login` call.
    void loginWith(const ScriptedAnswer& answer) {
        dialogs.pinAnswers = {QString::fromLatin1(SoftHsmTokens::kUserPin)};
        standIn.script(answer);
        QTest::mouseClick(login.ui->Btn_Login, Qt::LeftButton);
    }

    bool ready() const {
        return login.isVisible() && login.ui->Btn_Login->isVisible() && login.ui->Btn_Login->isEnabled() &&
               login.ui->RadioButton1->isEnabled() && login.ui->RadioButton2->isEnabled() &&
               !login.ui->Panel1->isVisible() && !principal.isVisible();
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    LoginDialogs dialogs;
    StandIn standIn{[] {
        StandIn::Options options;
        options.homologationPort = true;
        return options;
    }()};
    TFPrincipal principal;
    TFLogin login{nullptr,
                  {standIn.baseUrl(), standIn.homologationBaseUrl(), QStringLiteral("http://127.0.0.1:9/files/")}};
};

TEST_F(LoginWindow, ControlsSitWhereTheFormPlacesThem) {
    auto& ui = *login.ui;
    EXPECT_EQ(login.size(), QSize(645, 309));
    EXPECT_EQ(login.windowTitle(), QStringLiteral("Norvane - Assinador de Instrumento de Protesto"));
    EXPECT_EQ(ui.Image1->geometry(), QRect(8, 8, 113, 49));
    EXPECT_EQ(ui.Image1->pixmap().size(), QSize(113, 49));
    EXPECT_EQ(ui.Label1->pos(), QPoint(160, 24));
    EXPECT_EQ(ui.Label1->font().pixelSize(), 21);
    EXPECT_EQ(ui.Label2->pos(), QPoint(296, 272));
    EXPECT_EQ(ui.Label2->text(), QStringLiteral("v. " NORVANE_VERSION_TEXT));
    EXPECT_EQ(ui.Btn_Login->geometry(), QRect(192, 112, 265, 57));
    EXPECT_EQ(ui.Btn_Login->font().pixelSize(), 19);
    EXPECT_EQ(ui.Btn_Login->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(ui.RadioButton1->pos(), QPoint(240, 200));
    EXPECT_EQ(ui.RadioButton2->pos(), QPoint(335, 200));
    EXPECT_TRUE(ui.RadioButton1->isChecked());
    EXPECT_EQ(ui.Panel1->geometry(), QRect(40, 94, 569, 145));
    EXPECT_EQ(ui.Label3->text(), QStringLiteral("Selecione um Cartório:"));
    EXPECT_EQ(ui.ComboBox1->geometry().topLeft(), QPoint(24, 56));
    EXPECT_EQ(ui.ComboBox1->width(), 521);
    EXPECT_FALSE(ui.ComboBox1->isEditable());
    EXPECT_EQ(ui.ComboBox1->font().pixelSize(), 16);
    EXPECT_EQ(login.font().pixelSize(), 11);
    EXPECT_EQ(login.AmbienteSelecionado, QStringLiteral("P"));
    show();
    EXPECT_TRUE(ready());
    EXPECT_FALSE(ui.Panel1->isVisible());
}

TEST_F(LoginWindow, OneOfficeFillsTheContextAndOpensTheMainWindow) {
    tokens.addToken("Token A", {Cert::A3});
    show();
    // The service names no charset: its UTF-8 arrives one byte one character.
    loginWith(ScriptedAnswer::ok("[" + office("4216602", "01", "5101", kSaoJose, 4201) + "]", "text/html"));

    const auto requests = standIn.requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].body(), "servico=login&doc=111.222.333-44");
    EXPECT_TRUE(requests[0].head().contains("Host: 127.0.0.1:" + QByteArray::number(standIn.port())));
    EXPECT_EQ(principal.cd_ibge, QStringLiteral("4216602"));
    EXPECT_EQ(principal.nr_cartorio, QStringLiteral("01"));
    EXPECT_EQ(principal.cd_usuario, QStringLiteral("5101"));
    EXPECT_EQ(principal.nm_nr_cpf, QStringLiteral("111.222.333-44"));
    EXPECT_EQ(principal.Ambiente, QStringLiteral("P"));
    EXPECT_EQ(principal.urlAPI, standIn.baseUrl());
    EXPECT_EQ(principal.Certificado_Thumbprint, pki[Cert::A3].thumbprint);
    EXPECT_EQ(principal.Certificado_SerialNumber.toUpper(), pki[Cert::A3].serial);
    EXPECT_EQ(principal.ui->Label1->text(), QStringLiteral("Usuário: ") + pki[Cert::A3].commonName);
    EXPECT_EQ(principal.ui->Label4->text(), QStringLiteral("Cartório: (01) ") + kSaoJose);
    EXPECT_EQ(principal.ui->Label2->text(), QStringLiteral("Ambiente: Produção"));
    EXPECT_TRUE(principal.isVisible());
    EXPECT_FALSE(login.isVisible());
    EXPECT_EQ(dialogs.controlsEnabledAtPick, std::vector<bool>{false}) << "locked while the login runs";
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(LoginWindow, SeveralOfficesAreListedAndTheSelectionFillsTheContext) {
    tokens.addToken("Token A", {Cert::A3});
    show();
    // With a charset the names arrive decoded and stay as they are; the last office
    // repeats the first one's codCartorio.
    loginWith(ScriptedAnswer::ok("[" + office("4216602", "01", "5101", kSaoJose, 4201) + "," +
                                     office("4216602", "02", "5102", kPiped, 4202) + "," +
                                     office("3550308", "07", "7007", QStringLiteral("Último"), 4201) + "]",
                                 "application/json; charset=utf-8"));
    auto& ui = *login.ui;
    ASSERT_EQ(ui.ComboBox1->count(), 3);
    EXPECT_EQ(ui.ComboBox1->itemText(0), QStringLiteral("(01) ") + kSaoJose);
    EXPECT_EQ(ui.ComboBox1->itemText(1), QStringLiteral("(02) ") + kPiped);
    EXPECT_EQ(ui.ComboBox1->itemText(2), QStringLiteral("(07) Último"));
    EXPECT_EQ(ui.ComboBox1->currentIndex(), -1);
    EXPECT_TRUE(ui.Panel1->isVisible() && ui.ComboBox1->isVisible());
    EXPECT_FALSE(ui.Btn_Login->isVisible() || ui.Btn_Login->isEnabled());
    EXPECT_FALSE(ui.RadioButton1->isVisible() || ui.RadioButton2->isVisible());
    EXPECT_FALSE(principal.isVisible());
    EXPECT_TRUE(principal.cd_ibge.isEmpty() && principal.Ambiente.isEmpty());

    // The keyboard selects the first item: the record stored last under its code.
    ui.ComboBox1->setFocus();
    QTest::keyClick(ui.ComboBox1, Qt::Key_Down);
    EXPECT_EQ(principal.cd_ibge, QStringLiteral("3550308"));
    EXPECT_EQ(principal.nr_cartorio, QStringLiteral("07"));
    EXPECT_EQ(principal.cd_usuario, QStringLiteral("7007"));
    EXPECT_EQ(principal.nm_nr_cpf, QStringLiteral("111.222.333-44"));
    EXPECT_EQ(principal.ui->Label4->text(), QStringLiteral("Cartório: (07) Último"));
    EXPECT_EQ(principal.Ambiente, QStringLiteral("P"));
    EXPECT_EQ(principal.urlAPI, standIn.baseUrl());
    EXPECT_EQ(principal.ui->Label2->text(), QStringLiteral("Ambiente: Produção"));
    EXPECT_TRUE(principal.isVisible());
    EXPECT_FALSE(login.isVisible());

    // The office whose name holds "|" keeps its five fields apart.
    ui.ComboBox1->setCurrentIndex(1);
    emit ui.ComboBox1->activated(1);
    EXPECT_EQ(principal.cd_ibge, QStringLiteral("4216602"));
    EXPECT_EQ(principal.ui->Label4->text(), QStringLiteral("Cartório: (02) ") + kPiped);
    EXPECT_EQ(principal.nm_nr_cpf, QStringLiteral("111.222.333-44"));
}

TEST_F(LoginWindow, OfficeNamesAreRedecodedOnlyWhenTheyCameOneBytePerCharacter) {
    // Every upper-case accented letter whose UTF-8 has a byte in 0x80-0x9F.
    const QString accents = QStringLiteral("ÀÁÂÃÇÉÊÍÓÔÕÚÜ çãõº");
    EXPECT_EQ(norvane::redecodeOfficeName(QString::fromLatin1(accents.toUtf8())), accents);
    EXPECT_EQ(norvane::redecodeOfficeName(kSaoJose), kSaoJose) << "not valid UTF-8 once made bytes";
    EXPECT_EQ(norvane::redecodeOfficeName(QStringLiteral("Tabelião €")), QStringLiteral("Tabelião €"));
    EXPECT_EQ(norvane::redecodeOfficeName(QStringLiteral("Cartório")), QStringLiteral("Cartório"));
    const QStringList fields{"a|b", "%7C", "", "Cartório: (1) x|y%", "111.222.333-44"};
    EXPECT_EQ(norvane::splitOfficeRecord(norvane::joinOfficeRecord(fields)), fields);
}

// A login answer whose third office is malformed leaves nothing behind: the next login,
// with another certificate, offers only its own offices and logs in with its own CPF.
TEST_F(LoginWindow, AMalformedAnswerLeavesNoOfficeForTheNextLogin) {
    tokens.addToken("Token A", {Cert::A3, Cert::A3Printable});
    show();
    auto& ui = *login.ui;
    const QByteArray third = R"({"codigoIBGE":"4216602","numero":"03","codUsuario":"5103","nomeCartorio":"Três"})";
    loginWith(ScriptedAnswer::ok("[" + office("4216602", "01", "5101", QStringLiteral("Primeiro"), 4201) + "," +
                                     office("4216602", "02", "5102", QStringLiteral("Segundo"), 4202) + "," + third +
                                     "]",
                                 "application/json; charset=utf-8"));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{"Value 'codCartorio' not found"});
    EXPECT_TRUE(ready());
    EXPECT_EQ(ui.ComboBox1->count(), 0);
    EXPECT_TRUE(principal.cd_ibge.isEmpty() && principal.nm_nr_cpf.isEmpty());

    dialogs.boxes.clear();
    standIn.clear();
    dialogs.wanted = pki[Cert::A3Printable].commonName;
    // The second user's offices: one under a code of the first answer, one of its own.
    loginWith(ScriptedAnswer::ok("[" + office("3550308", "07", "7007", QStringLiteral("Sétimo"), 4202) + "," +
                                     office("3550308", "08", "7008", QStringLiteral("Oitavo"), 7308) + "]",
                                 "application/json; charset=utf-8"));
    ASSERT_EQ(standIn.requests().size(), 1);
    EXPECT_EQ(standIn.requests()[0].body(), "servico=login&doc=555.666.777-88");
    EXPECT_TRUE(dialogs.boxes.empty());
    ASSERT_EQ(ui.ComboBox1->count(), 2) << "no office of the first answer is offered";
    EXPECT_EQ(ui.ComboBox1->itemText(0), QStringLiteral("(07) Sétimo"));
    EXPECT_EQ(ui.ComboBox1->itemText(1), QStringLiteral("(08) Oitavo"));
    ui.ComboBox1->setCurrentIndex(0);
    emit ui.ComboBox1->activated(0);
    EXPECT_EQ(principal.cd_ibge, QStringLiteral("3550308"));
    EXPECT_EQ(principal.nr_cartorio, QStringLiteral("07"));
    EXPECT_EQ(principal.cd_usuario, QStringLiteral("7007"));
    EXPECT_EQ(principal.nm_nr_cpf, QStringLiteral("555.666.777-88"));
    EXPECT_EQ(principal.Certificado_Thumbprint, pki[Cert::A3Printable].thumbprint);
    EXPECT_EQ(principal.ui->Label1->text(), QStringLiteral("Usuário: ") + pki[Cert::A3Printable].commonName);
    EXPECT_EQ(principal.ui->Label4->text(), QStringLiteral("Cartório: (07) Sétimo"));
    EXPECT_TRUE(principal.isVisible());
}

// A name that begins with U+FEFF keeps it, listed and in the header alike.
TEST_F(LoginWindow, ALeadingByteOrderMarkOfAnOfficeNameIsKept) {
    const QString marked = QChar(0xFEFF) + QStringLiteral("Ofício");
    EXPECT_EQ(norvane::redecodeOfficeName(QString::fromLatin1(marked.toUtf8())), marked);
    EXPECT_EQ(norvane::redecodeOfficeName(marked), marked);

    tokens.addToken("Token A", {Cert::A3});
    show();
    // No charset: the name's UTF-8, its mark included, arrives one byte one character.
    loginWith(
        ScriptedAnswer::ok("[" + office("1", "01", "2", marked, 3) + "," + office("1", "02", "2", marked, 4) + "]"));
    ASSERT_EQ(login.ui->ComboBox1->count(), 2);
    EXPECT_EQ(login.ui->ComboBox1->itemText(0), QStringLiteral("(01) ") + marked);
    login.ui->ComboBox1->setCurrentIndex(1);
    emit login.ui->ComboBox1->activated(1);
    EXPECT_EQ(principal.ui->Label4->text(), QStringLiteral("Cartório: (02) ") + marked);
}

TEST_F(LoginWindow, RefusalsAndFailuresLeaveTheWindowReady) {
    tokens.addToken("Token A", {Cert::A3, Cert::A1, Cert::ECnpj});
    show();
    const auto attempt = [&](const QString& certificate, const ScriptedAnswer& answer) {
        dialogs.boxes.clear();
        dialogs.wanted = certificate;
        standIn.clear();
        loginWith(answer);
        EXPECT_TRUE(ready()) << certificate.toStdString();
        return dialogs.texts();
    };
    const ScriptedAnswer one = ScriptedAnswer::ok("[" + office("1", "01", "2", "x", 3) + "]");
    using Texts = std::vector<QString>;
    // No certificate chosen at the first attempt: the look-up's error, then the type text is empty.
    const Texts none = attempt(QStringLiteral("ninguém"), one);
    ASSERT_GE(none.size(), 2u);
    EXPECT_TRUE(none.front().startsWith(QStringLiteral("Erro 03: ")));
    EXPECT_EQ(none.back(), QStringLiteral("Login somente com e-CPF A3!"));
    EXPECT_EQ(attempt(pki[Cert::A1].commonName, one), Texts{"Login somente com e-CPF A3!"});
    EXPECT_EQ(attempt(pki[Cert::ECnpj].commonName, one), Texts{"Login somente com e-CPF válido!"});
    EXPECT_TRUE(standIn.requests().isEmpty());
    EXPECT_EQ(attempt(pki[Cert::A3].commonName, ScriptedAnswer::ok("[]")), Texts{"Usuário não encontrado!"});
    EXPECT_EQ(attempt(pki[Cert::A3].commonName, ScriptedAnswer::ok("[{\"codigoIBGE\":")), Texts{});
    EXPECT_EQ(standIn.requests().size(), 1);

    // A wrong PIN: the signing error, no call, and the window still answers. (The token
    // stays logged in for the run: unloading the modules ends that login.)
    norvane::tokens::forgetPins();
    norvane::tokens::restoreDefaultModulesForTesting();
    dialogs.boxes.clear();
    dialogs.wanted = pki[Cert::A3].commonName;
    standIn.clear();
    dialogs.pinAnswers = {QStringLiteral("9999"), std::nullopt, std::nullopt};
    QTest::mouseClick(login.ui->Btn_Login, Qt::LeftButton);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.boxes[0].text.startsWith(QStringLiteral("Erro 04: "))) << dialogs.boxes[0].text.toStdString();
    EXPECT_TRUE(standIn.requests().isEmpty());
    EXPECT_TRUE(ready());

    // The token pulled out while its PIN is asked: the signing error.
    norvane::tokens::forgetPins();
    norvane::tokens::restoreDefaultModulesForTesting();
    dialogs.boxes.clear();
    dialogs.atPin = [&] { tokens.removeToken("Token A"); };
    dialogs.pinAnswers = {QString::fromLatin1(SoftHsmTokens::kUserPin)};
    QTest::mouseClick(login.ui->Btn_Login, Qt::LeftButton);
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.boxes[0].text.startsWith(QStringLiteral("Erro 04: "))) << dialogs.boxes[0].text.toStdString();
    EXPECT_TRUE(standIn.requests().isEmpty());
    EXPECT_TRUE(ready());
    EXPECT_TRUE(principal.cd_ibge.isEmpty());
}

TEST_F(LoginWindow, HomologationDropsThePrefixAndProductionCanBeChosenBack) {
    tokens.addToken("Token A", {Cert::A3});
    show();
    QTest::mouseClick(login.ui->RadioButton2, Qt::LeftButton);
    QTest::mouseClick(login.ui->RadioButton1, Qt::LeftButton);
    QTest::mouseClick(login.ui->RadioButton2, Qt::LeftButton);
    ASSERT_TRUE(login.ui->RadioButton2->isChecked());
    loginWith(
        ScriptedAnswer::ok("\xef\xbb\xbf[" + office("4216602", "01", "5101", QStringLiteral("Ofício"), 4201) + "]"));
    const auto requests = standIn.requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_TRUE(requests[0].head().contains("Host: 127.0.0.1:" + QByteArray::number(standIn.homologationPort())));
    EXPECT_EQ(principal.Ambiente, QStringLiteral("H"));
    EXPECT_EQ(principal.urlAPI, standIn.homologationBaseUrl());
    EXPECT_EQ(principal.ui->Label2->text(), QStringLiteral("Ambiente: Homologação"));
    EXPECT_EQ(principal.ui->Label4->text(), QStringLiteral("Cartório: (01) Ofício"));
    EXPECT_TRUE(principal.isVisible());
}

TEST_F(LoginWindow, HomologationThenProductionLogsInToProduction) {
    tokens.addToken("Token A", {Cert::A3});
    show();
    login.ui->RadioButton2->setFocus();
    QTest::mouseClick(login.ui->RadioButton2, Qt::LeftButton);
    QTest::keyClick(login.ui->RadioButton2, Qt::Key_Left);  // the arrow keys choose too
    ASSERT_TRUE(login.ui->RadioButton1->isChecked());
    loginWith(ScriptedAnswer::ok("[" + office("1", "01", "2", "x", 3) + "]"));
    ASSERT_EQ(standIn.requests().size(), 1);
    EXPECT_TRUE(standIn.requests()[0].head().contains("Host: 127.0.0.1:" + QByteArray::number(standIn.port())));
    EXPECT_EQ(principal.Ambiente, QStringLiteral("P"));
    EXPECT_EQ(principal.ui->Label2->text(), QStringLiteral("Ambiente: Produção"));
}

TEST_F(LoginWindow, ControlsAreLockedWhileACallRunsAndComeBackAfterAnError) {
    tokens.addToken("Token A", {Cert::A3});
    ScriptedAnswer slow = ScriptedAnswer::ok("erro");
    slow.status = "HTTP/1.1 500 Internal Server Error";
    slow.delayMs = 600;
    standIn.script(slow);
    // Sampled from the event loop that waits for the call.
    std::vector<bool> locked;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        locked.push_back(login.ui->Btn_Login->isEnabled() || login.ui->RadioButton1->isEnabled() ||
                         login.ui->RadioButton2->isEnabled());
    });
    sampler.start(20);
    login.show();
    EXPECT_TRUE(waitUntil([&] { return !dialogs.boxes.empty(); }));
    sampler.stop();
    EXPECT_NE(std::find(locked.begin(), locked.end(), false), locked.end()) << "locked during the version check";
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{"HTTP/1.1 500 Internal Server Error"});
    EXPECT_TRUE(ready()) << "a failed version check leaves the login usable";
    EXPECT_TRUE(login.isEnabled());

    // A login whose call fails: the error report, and the controls come back.
    standIn.clear();
    dialogs.boxes.clear();
    slow.delayMs = 300;
    loginWith(slow);
    EXPECT_EQ(dialogs.texts(), std::vector<QString>{"HTTP/1.1 500 Internal Server Error"});
    EXPECT_TRUE(ready());
    // And the next attempt goes through.
    loginWith(ScriptedAnswer::ok("[" + office("1", "01", "2", "x", 3) + "]"));
    EXPECT_TRUE(principal.isVisible());
}

// The version check against each answer: whether an update window opens, and its texts.
TEST_F(LoginWindow, VersionCheckComparesTheTextsExactly) {
    TFNovaVersao::WaitBeforeDownloadMs = 0;
    // The failed download must not touch the user's own Downloads folder.
    QTemporaryDir home;
    const QByteArray savedHome = qgetenv("HOME"), savedConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
    const auto check = [&](const QByteArray& body) {
        LoginDialogs boxes;
        StandIn service;
        service.setDefault(ScriptedAnswer::ok(body));
        TFPrincipal main;
        FPrincipal = &main;
        TFLogin window(nullptr, {service.baseUrl(), service.baseUrl(), QStringLiteral("http://127.0.0.1:9/files/")});
        window.show();
        // Done when the controls are back and, with an update, once its download failed.
        EXPECT_TRUE(waitUntil([&] {
            return window.NovaVersaoWindow ? !boxes.boxes.empty()
                                           : window.ui->Btn_Login->isEnabled() && service.requests().size() >= 1;
        }));
        std::pair<QString, std::vector<QString>> seen;
        if (window.NovaVersaoWindow) {
            EXPECT_EQ(FNovaVersao, window.NovaVersaoWindow.get());
            EXPECT_TRUE(FNovaVersao->isVisible());
            EXPECT_FALSE(window.isEnabled()) << "the login waits disabled under the update";
            EXPECT_TRUE(window.isVisible());
            seen.first = FNovaVersao->ui->Label3->text();
            EXPECT_TRUE(FNovaVersao->ui->Label3->isVisible());
        } else {
            EXPECT_TRUE(window.isEnabled());
        }
        seen.second = boxes.texts();
        FPrincipal = &principal;
        return seen;
    };
    const QString current = QStringLiteral(NORVANE_VERSION_TEXT);
    EXPECT_EQ(check(R"({"dados":{"nm_nr_versao":")" NORVANE_VERSION_TEXT R"("}})").first, QString());
    EXPECT_EQ(check("").first, QString()) << "an empty array";
    EXPECT_EQ(check("{not json").first, QString());
    for (const char* other : {"1.0.4", "1.0.2", "1.0.03"}) {
        const auto [label3, texts] = check(QByteArray(R"({"dados":{"nm_nr_versao":")") + other + "\"}}");
        EXPECT_EQ(label3, QStringLiteral("Versão atual: ") + current + QStringLiteral(" --  Nova versão: ") + other);
        // The stand-in serves no installer: the download's failure is reported.
        ASSERT_EQ(texts.size(), 1u) << other;
        EXPECT_EQ(texts[0], "O download da nova versão falhou. Não foi possível conectar ao servidor 127.0.0.1.\n"
                            "Endereço: http://127.0.0.1:9/files/" + TFNovaVersao::kInstallerName);
    }
    EXPECT_FALSE(QFile::exists(home.filePath("Downloads/" + TFNovaVersao::kInstallerName)));
    TFNovaVersao::WaitBeforeDownloadMs = 5000;
    qputenv("HOME", savedHome);
    qputenv("XDG_CONFIG_HOME", savedConfig);
}

}  // namespace

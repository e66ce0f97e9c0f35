// The login as a workflow, without a window: the certificate's steps against SoftHSM
// tokens and the stand-in service, and the offices of the answer as values.

#include <gtest/gtest.h>

#include "certs/SigningSession.h"
#include "certs/tokens/TokenAccess.h"
#include "service/HttpClient.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/StandIn.h"
#include "support/TestPki.h"
#include "workflows/Login.h"

using namespace norvane::test;

namespace {

// Picks the certificate whose subject is `wanted`.
class PickByName : public ScriptedDialogs {
public:
    QString wanted;
    std::optional<int> pickCertificate(const QString& title, const QString& prompt,
                                       const std::vector<norvane::CertificateChoice>& choices) override {
        ScriptedDialogs::pickCertificate(title, prompt, choices);
        for (size_t i = 0; i < choices.size(); ++i)
            if (choices[i].subject == wanted) return int(i);
        return std::nullopt;
    }
};

QByteArray office(const char* ibge, const char* numero, const char* usuario, const QString& nome,
                  const QByteArray& cod) {
    return QStringLiteral(R"({"codigoIBGE":"%1","numero":"%2","codUsuario":"%3","nomeCartorio":"%4","codCartorio":%5})")
        .arg(ibge, numero, usuario, nome, QString::fromLatin1(cod))
        .toUtf8();
}

QStringList fieldsOf(const norvane::LoginContext& c) {
    return {c.Certificado_Nome,
            c.Certificado_Thumbprint,
            c.Certificado_SerialNumber,
            c.cd_ibge,
            c.nr_cartorio,
            c.cd_usuario,
            c.nm_nr_cpf,
            c.nm_cartorio,
            c.Ambiente,
            c.urlAPI};
}

// As the program parses answers (numbers keep their text).
norvane::JsonValue json(const char* text) { return norvane::jsonParse(QString::fromUtf8(text)).value(); }

class LoginWorkflow : public ::testing::Test {
protected:
    void SetUp() override {
        norvane::tokens::forgetPins();
        dialogs.wanted = pki[Cert::A3].commonName;
    }

    std::optional<norvane::LoginResult> loginWith(const ScriptedAnswer& answer, bool homologation = false) {
        dialogs.pinAnswers = {QString::fromLatin1(SoftHsmTokens::kUserPin)};
        standIn.script(answer);
        const norvane::LoginEnvironment environment =
            homologation ? norvane::LoginEnvironment{QStringLiteral("H"), standIn.homologationBaseUrl()}
                         : norvane::LoginEnvironment{QStringLiteral("P"), standIn.baseUrl()};
        return norvane::loginWithCertificate(signing, pick, client, environment);
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    PickByName dialogs;
    StandIn standIn{[] {
        StandIn::Options options;
        options.homologationPort = true;
        return options;
    }()};
    norvane::LoginContext pick;
    norvane::SigningSession signing{pick};
    norvane::HttpClient client;
};

TEST_F(LoginWorkflow, GivesTheLoginsContextAndItsOfficesAsValues) {
    tokens.addToken("Token A", {Cert::A3});
    // Homologation: the answer loses its first three characters. No charset: the names'
    // UTF-8 arrives one byte one character and is re-decoded. A code may come as text.
    const QString piped = QStringLiteral("TABELIÃO | 2º %7C");
    const auto login = loginWith(
        ScriptedAnswer::ok("\xef\xbb\xbf[" + office("4216602", "01", "5101", QStringLiteral("Cartório Um"), "4201") +
                           "," + office("3550308", "02", "5102", piped, "\"04202\"") + "]"),
        true);
    ASSERT_TRUE(login.has_value());
    const auto requests = standIn.requests();
    ASSERT_EQ(requests.size(), 1);
    EXPECT_EQ(requests[0].body(), "servico=login&doc=111.222.333-44");
    EXPECT_TRUE(requests[0].head().contains("Host: 127.0.0.1:" + QByteArray::number(standIn.homologationPort())));
    EXPECT_TRUE(dialogs.boxes.empty());

    const norvane::LoginContext& context = login->context;
    EXPECT_EQ(fieldsOf(context),
              QStringList({pki[Cert::A3].commonName, pki[Cert::A3].thumbprint, pick.Certificado_SerialNumber, "", "",
                           "", "111.222.333-44", "", "H", standIn.homologationBaseUrl()}));
    EXPECT_EQ(context.Certificado_SerialNumber.toUpper(), pki[Cert::A3].serial);

    ASSERT_EQ(login->offices.size(), 2u);
    const norvane::Office& second = login->offices[1];
    EXPECT_EQ(login->offices[0].codCartorio, 4201);
    EXPECT_EQ(login->offices[0].caption, QStringLiteral("(01) Cartório Um"));
    EXPECT_EQ(second.codCartorio, 4202);
    EXPECT_EQ(QStringList({second.codigoIBGE, second.numero, second.codUsuario, second.nome, second.caption}),
              QStringList({"3550308", "02", "5102", piped, "(02) " + piped}));

    // The office chosen completes the context; through the window's record alike, whatever
    // the name holds.
    const norvane::LoginContext chosen = norvane::contextForOffice(context, second);
    EXPECT_EQ(fieldsOf(chosen),
              QStringList({pki[Cert::A3].commonName, pki[Cert::A3].thumbprint, context.Certificado_SerialNumber,
                           "3550308", "02", "5102", "111.222.333-44", piped, "H", standIn.homologationBaseUrl()}));
    EXPECT_EQ(fieldsOf(norvane::contextForRecord(context, norvane::officeRecord(second))), fieldsOf(chosen));
}

// A code is read as its text whatever number JSON writes, also beyond a double's range.
TEST_F(LoginWorkflow, ACodeThatIsAnyJsonNumberIsReadAsItsText) {
    tokens.addToken("Token A", {Cert::A3});
    QByteArray lone = office("4216602", "01", "", QStringLiteral("Um"), "4201");
    lone.replace(R"("codUsuario":"")", R"("codUsuario":1e400)");
    const auto login = loginWith(ScriptedAnswer::ok("[" + lone + "]"));
    ASSERT_TRUE(login.has_value()) << "the answer was taken for something else than JSON";
    ASSERT_EQ(login->offices.size(), 1u);
    EXPECT_EQ(login->offices[0].codUsuario, "1e400");
    EXPECT_TRUE(dialogs.boxes.empty());

    const auto offices = norvane::officesOfAnswer(json(
        R"({"root":[{"codigoIBGE":"1","numero":"01","codUsuario":-1E+400,"nomeCartorio":"Um","codCartorio":1},)"
        R"({"codigoIBGE":"2","numero":"02","codUsuario":123456789012345678901234567890,"nomeCartorio":"Dois",)"
        R"("codCartorio":2},{"codigoIBGE":"3","numero":"03","codUsuario":2.50e-400,"nomeCartorio":"Três",)"
        R"("codCartorio":3}]})"));
    ASSERT_EQ(offices.size(), 3u);
    EXPECT_EQ(QStringList({offices[0].codUsuario, offices[1].codUsuario, offices[2].codUsuario}),
              QStringList({"-1E+400", "123456789012345678901234567890", "2.50e-400"}));
}

TEST_F(LoginWorkflow, RefusalsAndAnAnswerWithoutOfficesGiveNothing) {
    tokens.addToken("Token A", {Cert::A3, Cert::A1, Cert::ECnpj});
    const ScriptedAnswer one = ScriptedAnswer::ok("[" + office("1", "01", "2", "x", "3") + "]");
    const auto attempt = [&](Cert certificate, const ScriptedAnswer& answer) {
        dialogs.boxes.clear();
        dialogs.wanted = pki[certificate].commonName;
        EXPECT_FALSE(loginWith(answer).has_value());
        return dialogs.texts();
    };
    using Texts = std::vector<QString>;
    EXPECT_EQ(attempt(Cert::A1, one), Texts{"Login somente com e-CPF A3!"});
    EXPECT_EQ(attempt(Cert::ECnpj, one), Texts{"Login somente com e-CPF válido!"});
    EXPECT_TRUE(standIn.requests().isEmpty()) << "a refused certificate calls nothing";
    standIn.clear();  // the unused answer
    EXPECT_EQ(attempt(Cert::A3, ScriptedAnswer::ok("[]")), Texts{"Usuário não encontrado!"});
    EXPECT_EQ(attempt(Cert::A3, ScriptedAnswer::ok("[{\"codigoIBGE\":")), Texts{});
    EXPECT_EQ(standIn.requests().size(), 2);
}

// The offices of an answer are taken whole: a defect in any office, the last one
// included, gives none of them.
TEST_F(LoginWorkflow, AMalformedOfficeAnywhereGivesNoOffice) {
    const auto answerWith = [](int malformedAt, const std::function<void(norvane::JsonValue&)>& defect) {
        norvane::JsonValue answer = json(R"({"root":[
            {"codigoIBGE":"1","numero":"01","codUsuario":"11","nomeCartorio":"Um","codCartorio":1},
            {"codigoIBGE":"2","numero":"02","codUsuario":"22","nomeCartorio":"Dois","codCartorio":2},
            {"codigoIBGE":"3","numero":"03","codUsuario":"33","nomeCartorio":"Três","codCartorio":3}]})");
        if (malformedAt >= 0) defect(answer["root"][malformedAt]);
        return answer;
    };
    ASSERT_EQ(norvane::officesOfAnswer(answerWith(-1, {})).size(), 3u);
    const std::vector<std::pair<const char*, std::function<void(norvane::JsonValue&)>>> defects = {
        {"no codigoIBGE", [](auto& o) { o.erase("codigoIBGE"); }},
        {"no numero", [](auto& o) { o.erase("numero"); }},
        {"no codUsuario", [](auto& o) { o.erase("codUsuario"); }},
        {"no nomeCartorio", [](auto& o) { o.erase("nomeCartorio"); }},
        {"no codCartorio", [](auto& o) { o.erase("codCartorio"); }},
        {"numero an object", [](auto& o) { o["numero"] = json("{}"); }},
        {"nomeCartorio an array", [](auto& o) { o["nomeCartorio"] = json("[\"x\"]"); }},
        {"codCartorio no integer", [](auto& o) { o["codCartorio"] = json("\"4x\""); }},
        {"codCartorio a fraction", [](auto& o) { o["codCartorio"] = json("1.5"); }},
        {"no object", [](auto& o) { o = json("\"Cartório\""); }},
    };
    for (const auto& [what, defect] : defects)
        for (int at : {0, 1, 2})
            EXPECT_THROW(norvane::officesOfAnswer(answerWith(at, defect)), norvane::JsonError) << what << " at " << at;

    // A lone office needs no code: nothing chooses it.
    const auto lone = norvane::officesOfAnswer(
        json(R"({"root":[{"codigoIBGE":"1","numero":7,"codUsuario":null,"nomeCartorio":"Um"}]})"));
    ASSERT_EQ(lone.size(), 1u);
    EXPECT_EQ(QStringList({lone[0].numero, lone[0].codUsuario, lone[0].caption}), QStringList({"7", "", "(7) Um"}));
    EXPECT_TRUE(norvane::officesOfAnswer(json(R"({"root":[]})")).empty());
    EXPECT_THROW(norvane::officesOfAnswer(json(R"({"root":{}})")), norvane::JsonError);
}

// After a login whose answer was malformed, the next one with another certificate is
// entirely that certificate's: its CPF, its offices.
TEST_F(LoginWorkflow, TheLoginAfterAMalformedAnswerIsItsOwnCertificates) {
    tokens.addToken("Token A", {Cert::A3, Cert::A3Printable});
    EXPECT_THROW(loginWith(ScriptedAnswer::ok("[" + office("1", "01", "11", "Um", "1") + "," +
                                              office("1", "02", "12", "Dois", "2") + "," +
                                              office("1", "03", "13", "Três", "\"três\"") + "]")),
                 norvane::JsonError);
    dialogs.wanted = pki[Cert::A3Printable].commonName;
    const auto login = loginWith(ScriptedAnswer::ok("[" + office("2", "07", "27", "Sete", "1") + "," +
                                                    office("2", "08", "28", "Oito", "8") + "]"));
    ASSERT_TRUE(login.has_value());
    ASSERT_EQ(login->offices.size(), 2u);
    EXPECT_EQ(login->offices[0].caption, QStringLiteral("(07) Sete"));
    EXPECT_EQ(login->offices[1].caption, QStringLiteral("(08) Oito"));
    const norvane::LoginContext chosen = norvane::contextForOffice(login->context, login->offices[0]);
    EXPECT_EQ(chosen.nm_nr_cpf, QStringLiteral("555.666.777-88"));
    EXPECT_EQ(chosen.cd_usuario, QStringLiteral("27"));
    EXPECT_EQ(chosen.Certificado_Thumbprint, pki[Cert::A3Printable].thumbprint);
    EXPECT_EQ(standIn.requests().back().body(), "servico=login&doc=555.666.777-88");
}

TEST(LoginRules, CpfFormatAndOfficeNames) {
    EXPECT_EQ(norvane::formatCpf("11122233344"), QStringLiteral("111.222.333-44"));
    EXPECT_EQ(norvane::formatCpf(""), QStringLiteral("..-"));
    EXPECT_EQ(norvane::formatCpf("1112223"), QStringLiteral("111.222.3-"));
    EXPECT_EQ(norvane::formatCpf("111222333445"), QStringLiteral("111.222.333-44"));

    // Every character of the name is kept, a byte-order mark anywhere included.
    for (const QString& name : {QChar(0xFEFF) + QStringLiteral("Ofício"), QStringLiteral("Of\uFEFFício"),
                                QString(QChar(0xFEFF)), QChar(0xFEFF) + QString(QChar(0xFEFF)) + "x"}) {
        EXPECT_EQ(norvane::redecodeOfficeName(QString::fromLatin1(name.toUtf8())), name);
        EXPECT_EQ(norvane::redecodeOfficeName(name), name);
    }
    EXPECT_EQ(norvane::redecodeOfficeName(QStringLiteral("\u00EF\u00BB")), QStringLiteral("\u00EF\u00BB"))
        << "a mark cut short is no UTF-8";
}

}  // namespace

// The clerk starts the program before plugging in the token: no reader at all (a module
// with no slot), or a reader whose token is blank. That is a state, not a failure: the
// login says in one box to connect the token, the doctor says nothing is connected, and a
// token plugged in afterwards is found by the next attempt.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QRegularExpression>

#include "certs/SigningSession.h"
#include "certs/doctor/TokenDoctor.h"
#include "certs/tokens/TokenAccess.h"
#include "service/HttpClient.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"
#include "workflows/Login.h"

using namespace norvane;
using namespace norvane::test;

namespace {

class NoToken : public ::testing::Test {
protected:
    void TearDown() override {
        qunsetenv("NORVANE_TOKEN_FAULT");
        tokens::restoreDefaultModulesForTesting();
    }

    // Only the test module, with no slot at all (as p11-kit's proxy with no module in it).
    void useModuleWithoutSlots() {
        qputenv("NORVANE_TOKEN_FAULT", "noslots");
        qputenv("NORVANE_FORWARD_MODULE", SoftHsmTokens::softHsmModule().toUtf8());
        tokens::setProxyModuleForTesting(QString());
        tokens::setVendorDriversForTesting(
            {{"Módulo de teste", {QFileInfo(NORVANE_TOKEN_FAULTS_MODULE).absolutePath()}, {"libnorvane_token_faults.so"}}});
    }

    std::optional<LoginResult> attempt() {
        dialogs.boxes.clear();
        return loginWithCertificate(signing, context, client, {QStringLiteral("P"), QStringLiteral("http://127.0.0.1:9/")});
    }

    // The login's one box: the words to connect the token and where to check, no number.
    void expectOneConnectTheTokenBox() {
        const std::vector<QString> texts = dialogs.texts();
        ASSERT_EQ(texts.size(), 1u) << (texts.empty() ? std::string() : texts.back().toStdString());
        EXPECT_TRUE(texts[0].startsWith(noTokenText())) << texts[0].toStdString();
        EXPECT_TRUE(texts[0].contains(QStringLiteral("\"Diagnóstico\""))) << texts[0].toStdString();
        EXPECT_FALSE(texts[0].contains(QRegularExpression(QStringLiteral("^\\d|Erro")))) << texts[0].toStdString();
        EXPECT_TRUE(dialogs.picks.empty()) << "an empty pick list was shown";
    }

    SoftHsmTokens softHsm;
    ScriptedDialogs dialogs;
    LoginContext context;
    SigningSession signing{context};
    HttpClient client;
};

}  // namespace

TEST_F(NoToken, AModuleWithNoSlotIsAnEmptyListAndTheLoginSaysToConnectTheToken) {
    useModuleWithoutSlots();
    EXPECT_TRUE(tokens::readCertificates().empty());
    EXPECT_TRUE(tokens::moduleProblems().isEmpty()) << tokens::moduleProblems().join('\n').toStdString();
    EXPECT_FALSE(tokens::anyTokenConnected());

    EXPECT_FALSE(attempt().has_value());
    expectOneConnectTheTokenBox();
    EXPECT_EQ(signing.ListaCertificados(1), noTokenText());
    EXPECT_TRUE(signing.noTokenConnected());

    const QString report = doctor::diagnosticReport();
    EXPECT_TRUE(report.contains(QStringLiteral("(Módulo de teste): carregado"))) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("nenhum token ou cartão conectado"))) << report.toStdString();
    EXPECT_FALSE(report.contains(QStringLiteral("falhou"))) << report.toStdString();
}

TEST_F(NoToken, ABlankTokenGivesTheSameBoxAndATokenPluggedInLaterIsFound) {
    // SoftHSM with no token: one slot, its token not initialized.
    tokens::restoreDefaultModulesForTesting();
    EXPECT_TRUE(tokens::readCertificates().empty());
    EXPECT_FALSE(tokens::anyTokenConnected());
    EXPECT_FALSE(attempt().has_value());
    expectOneConnectTheTokenBox();
    EXPECT_TRUE(context.Certificado_Thumbprint.isEmpty());

    softHsm.addToken("Token A", {Cert::A3});
    dialogs.boxes.clear();
    EXPECT_EQ(signing.ListaCertificados(1), QString()) << "the pick list, cancelled";
    EXPECT_FALSE(signing.noTokenConnected());
    EXPECT_TRUE(tokens::anyTokenConnected());
    ASSERT_EQ(dialogs.picks.size(), 1u);
    EXPECT_EQ(dialogs.picks[0].choices.size(), 1u);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(NoToken, ATokenWithoutAValidCertificateIsNotCalledMissing) {
    softHsm.addToken("Token A", {Cert::Expired});
    tokens::restoreDefaultModulesForTesting();
    EXPECT_FALSE(attempt().has_value());
    EXPECT_TRUE(tokens::anyTokenConnected());
    EXPECT_FALSE(signing.noTokenConnected());
    const std::vector<QString> texts = dialogs.texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_TRUE(texts[0].contains(QStringLiteral("Nenhum certificado digital válido foi encontrado")))
        << texts[0].toStdString();
}

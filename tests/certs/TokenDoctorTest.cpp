// The token doctor's report on SoftHSM tokens: for each certificate, whether the login takes
// it and why the pick list leaves it out; a token whose PIN is locked; and the command line.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QRegularExpression>

#include "certs/doctor/TokenDoctor.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane;
using namespace norvane::test;

namespace {

// The lines of the report that tell of the certificate of that holder's CN.
QString blockOf(const QString& report, const QString& commonName) {
    const QStringList blocks = report.split(QRegularExpression(QStringLiteral("\n(?=Certificado \\d+ \\(token)")));
    for (const QString& block : blocks)
        if (block.section(QLatin1Char('\n'), 1, 1).contains(QStringLiteral("CN=") + commonName))
            return block.section(QStringLiteral("\n\n"), 0, 0);  // the last one ends where the next section begins
    return QString();
}

}  // namespace

TEST(TokenDoctor, EachCertificateSaysWhetherTheLoginTakesItAndWhyNot) {
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    const TestPki& pki = TestPki::instance();
    tokens.addToken("Token A", {Cert::A3, Cert::Expired, Cert::ECnpj, Cert::Untrusted});
    tokens::restoreDefaultModulesForTesting();

    const QString report = doctor::diagnosticReport();
    EXPECT_TRUE(dialogs.pinPrompts.empty()) << "the doctor asks for no PIN";
    EXPECT_TRUE(report.contains(QStringLiteral("token \"Token A\""))) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("exige login com PIN"))) << report.toStdString();

    const QString a3 = blockOf(report, pki[Cert::A3].commonName);
    EXPECT_TRUE(a3.contains(QStringLiteral("e-CPF A3: sim (CPF 111.222.333-44)"))) << a3.toStdString();
    EXPECT_TRUE(a3.contains(QRegularExpression(QStringLiteral("Lista de escolha do login: oferecido\\s*$"))))
        << a3.toStdString();
    EXPECT_TRUE(a3.contains(QStringLiteral("(âncora: repositório do sistema)"))) << a3.toStdString();
    EXPECT_TRUE(a3.contains(QStringLiteral("AC Intermediaria Teste Norvane"))) << a3.toStdString();

    const QString expired = blockOf(report, pki[Cert::Expired].commonName);
    EXPECT_TRUE(expired.contains(QStringLiteral("Lista de escolha do login: não oferecido: certificado expirado")))
        << expired.toStdString();
    EXPECT_TRUE(expired.contains(QStringLiteral("expirado há"))) << expired.toStdString();

    const QString cnpj = blockOf(report, pki[Cert::ECnpj].commonName);
    EXPECT_TRUE(cnpj.contains(QStringLiteral("e-CPF A3: não (é um certificado de pessoa jurídica, e-CNPJ)")))
        << cnpj.toStdString();

    const QString orphan = blockOf(report, pki[Cert::Untrusted].commonName);
    EXPECT_TRUE(orphan.contains(QStringLiteral("<- RUPTURA: emissor não encontrado"))) << orphan.toStdString();
    EXPECT_TRUE(orphan.contains(
        QStringLiteral("não oferecido: a cadeia não chega a uma raiz confiável (emissor não encontrado)")))
        << orphan.toStdString();
}

TEST(TokenDoctor, ATokenWithALockedPinSaysSoAndTheCommandLinePrintsTheSameReport) {
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    tokens.addToken("Token A", {Cert::A3});
    // The token reached only through a module that reports its PIN locked.
    qputenv("NORVANE_FORWARD_MODULE", SoftHsmTokens::softHsmModule().toUtf8());
    tokens::setProxyModuleForTesting(QString());
    tokens::setVendorDriversForTesting(
        {{"Módulo de teste", {QFileInfo(NORVANE_TOKEN_FAULTS_MODULE).absolutePath()}, {"libnorvane_token_faults.so"}}});
    const QString report = doctor::diagnosticReport();
    tokens::restoreDefaultModulesForTesting();
    EXPECT_TRUE(report.contains(QStringLiteral("(Módulo de teste): carregado"))) << report.toStdString();
    EXPECT_TRUE(report.contains(QStringLiteral("PIN BLOQUEADO (desbloqueie com o PUK)"))) << report.toStdString();

    const ToolResult printed = runProgram(NORVANE_EXECUTABLE, {"--diagnostico"});
    ASSERT_EQ(printed.exitCode, 0) << printed.describe().toStdString();
    const QString text = QString::fromUtf8(printed.output);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Diagnóstico do Assinador Norvane"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("token \"Token A\""))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("Raízes ICP-Brasil do programa"))) << text.toStdString();
}

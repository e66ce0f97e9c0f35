// The PIN's tries as the token counts them: its last try said in the prompt before a PIN is
// sent, and a locked PIN said as such with no prompt. A module over SoftHSM gives the token
// the flags a card sets (tests/support/pkcs11/token_faults_module.c); the card stage checks
// the same on a card that counts its tries itself.

#include <gtest/gtest.h>

#include <QFileInfo>
#include <algorithm>

#include "certs/cms/Signer.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/CertificateStore.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Error.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane;
using namespace norvane::test;

namespace {

const SignedAttributeValues kAttributes{QDateTime::currentDateTime(), "a.pdf", "Assinado com Assinador Norvane"};

// Signs "x" with the A3 of "Token A" read through the faults module set to `fault`.
QByteArray signThrough(const char* fault) {
    qputenv("NORVANE_TOKEN_FAULT", fault);
    tokens::setProxyModuleForTesting(QString());
    tokens::setVendorDriversForTesting(
        {{"Módulo de teste", {QFileInfo(NORVANE_TOKEN_FAULTS_MODULE).absolutePath()}, {"libnorvane_token_faults.so"}}});
    const auto store = pki::readCertificateStore(tokens::Look::Reload);
    const auto found = std::find_if(store.begin(), store.end(), [&](const pki::StoredCertificate& c) {
        return pki::thumbprintOf(c.certificate.get()) == TestPki::instance()[Cert::A3].thumbprint;
    });
    if (found == store.end()) throw Error(ErrorKind::NotFound, "the test token was not read");
    return cms::TokenSigner(*found).sign("x", kAttributes);
}

}  // namespace

TEST(PinTries, TheLastTryIsSaidInThePromptAndALockedPinIsSaidWithNoPrompt) {
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    tokens.addToken("Token A", {Cert::A3});
    qputenv("NORVANE_FORWARD_MODULE", SoftHsmTokens::softHsmModule().toUtf8());
    struct Restore {
        ~Restore() {
            tokens::restoreDefaultModulesForTesting();
            tokens::forgetPins();
            qunsetenv("NORVANE_TOKEN_FAULT");
        }
    } restore;

    dialogs.pinAnswers = {QString(SoftHsmTokens::kUserPin)};
    EXPECT_FALSE(signThrough("finaltry").isEmpty());
    ASSERT_EQ(dialogs.pinRequests.size(), 1u);
    EXPECT_EQ(dialogs.pinRequests[0].message, QStringLiteral("Atenção: última tentativa antes do bloqueio do PIN\n"
                                                             "Digite o PIN do cartão ou token \"Token A\":"));

    // Loaded anew (the login of the run ends), the token now says its PIN is locked.
    dialogs.pinAnswers = {QString(SoftHsmTokens::kUserPin)};
    try {
        signThrough("locked");
        FAIL() << "a locked PIN must not sign";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::PinLocked) << e.what();
        EXPECT_EQ(e.message(), QStringLiteral("PIN bloqueado. Desbloqueie o cartão ou token com o PUK (aplicativo "
                                              "do fabricante) antes de assinar."));
    }
    EXPECT_EQ(dialogs.pinRequests.size(), 1u) << "no prompt for a locked PIN";
}

// Choosing the certificate (ListaCertificados) and finding it again (selecionaCertificado).

#include <gtest/gtest.h>

#include <QSet>

#include "app/u_Principal.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane::test;

namespace {

const QString kEmptyStoreText =
    "Nenhum certificado digital válido foi encontrado. Verifique se o cartão ou token USB do certificado está "
    "conectado ao computador.";

class Selection : public ::testing::Test {
protected:
    void SetUp() override { norvane::tokens::forgetPins(); }
    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    TFPrincipal window;
};

int indexOf(const ScriptedDialogs::Pick& pick, const QString& subject) {
    for (size_t i = 0; i < pick.choices.size(); ++i)
        if (pick.choices[i].subject == subject) return static_cast<int>(i);
    return -1;
}

}  // namespace

TEST_F(Selection, ThePickListHoldsOnlyUsableCertificatesOfEveryToken) {
    tokens.addToken("Token A", {Cert::A3, Cert::Expired, Cert::NotYetValid, Cert::NoNonRepudiation,
                                Cert::NoDigitalSignature, Cert::Untrusted});
    tokens.addToken("Token B", {Cert::A3Printable, Cert::A1});

    dialogs.pickAnswers = {std::nullopt};
    EXPECT_EQ(window.ListaCertificados(1), "");
    ASSERT_EQ(dialogs.picks.size(), 1u);
    const auto& pick = dialogs.picks[0];
    EXPECT_EQ(pick.title, "Certificado Digital");
    EXPECT_EQ(pick.prompt, "Por favor, escolha o certificado e clique em OK:");
    // In a fixed order: by token, then by name.
    QStringList offered;
    for (const auto& choice : pick.choices) offered << choice.subject;
    EXPECT_EQ(offered, QStringList({pki[Cert::A3].commonName, pki[Cert::A3Printable].commonName,
                                    pki[Cert::A1].commonName}));

    // Cancel: nothing recorded, no signing objects, no message.
    EXPECT_TRUE(window.Certificado_Nome.isEmpty());
    EXPECT_TRUE(window.Certificado_Thumbprint.isEmpty());
    EXPECT_TRUE(window.Certificado_SerialNumber.isEmpty());
    EXPECT_FALSE(window.Signing.Signer || window.Signing.SignedData || window.Signing.Utilities);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(Selection, ASinglePickIsRecordedAndASecondPickReplacesIt) {
    tokens.addToken("Token A", {Cert::A3});
    tokens.addToken("Token B", {Cert::A3Printable});

    dialogs.pickAnswers = {std::nullopt};
    window.ListaCertificados(1);
    const int a3 = indexOf(dialogs.picks.back(), pki[Cert::A3].commonName);
    const int printable = indexOf(dialogs.picks.back(), pki[Cert::A3Printable].commonName);
    ASSERT_GE(a3, 0);
    ASSERT_GE(printable, 0);

    dialogs.pickAnswers = {a3};
    EXPECT_EQ(window.ListaCertificados(1), "1");
    EXPECT_EQ(window.Certificado_Nome, "FULANO DE TAL:11122233344");
    EXPECT_EQ(window.Certificado_Thumbprint, pki[Cert::A3].thumbprint);
    EXPECT_EQ(window.Certificado_SerialNumber, pki[Cert::A3].serial);
    ASSERT_TRUE(window.Signing.Signer && window.Signing.SignedData && window.Signing.Utilities);
    const auto firstSigner = window.Signing.Signer;
    const auto firstData = window.Signing.SignedData;
    const auto firstUtilities = window.Signing.Utilities;

    // A cancelled second attempt keeps everything.
    dialogs.pickAnswers = {std::nullopt};
    EXPECT_EQ(window.ListaCertificados(1), "");
    EXPECT_EQ(window.Certificado_Thumbprint, pki[Cert::A3].thumbprint);
    EXPECT_EQ(window.Signing.Signer, firstSigner);

    dialogs.pickAnswers = {printable};
    EXPECT_EQ(window.ListaCertificados(0), "1");
    EXPECT_EQ(window.Certificado_Nome, pki[Cert::A3Printable].commonName);
    EXPECT_EQ(window.Certificado_Thumbprint, pki[Cert::A3Printable].thumbprint);
    EXPECT_EQ(window.Certificado_SerialNumber, pki[Cert::A3Printable].serial);
    EXPECT_NE(window.Signing.Signer, firstSigner);
    EXPECT_NE(window.Signing.SignedData, firstData);
    EXPECT_NE(window.Signing.Utilities, firstUtilities);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST_F(Selection, NoUsableCertificateIsAnErrorWithItsCode) {
    tokens.addToken("Token A", {Cert::Expired, Cert::Untrusted});
    EXPECT_EQ(window.ListaCertificados(1), kEmptyStoreText);
    ASSERT_EQ(dialogs.texts(), std::vector<QString>({"2148081668: " + kEmptyStoreText}));
    EXPECT_EQ(dialogs.boxes[0].kind, ShownBox::Error);
    EXPECT_TRUE(dialogs.picks.empty());
    EXPECT_TRUE(window.Certificado_Thumbprint.isEmpty());
    EXPECT_FALSE(window.Signing.Signer);

    // No token at all: a state of its own, said without a code (see tests/workflows/NoTokenTest.cpp).
    tokens.removeToken("Token A");
    EXPECT_EQ(window.ListaCertificados(1), norvane::noTokenText());
    ASSERT_EQ(dialogs.boxes.size(), 2u);
    EXPECT_TRUE(dialogs.boxes[1].text.startsWith(norvane::noTokenText()));
}

TEST_F(Selection, SelecionaCertificadoFindsThePickAndNothingElse) {
    tokens.addToken("Token A", {Cert::A3});
    tokens.addToken("Token B", {Cert::Untrusted, Cert::A1});
    dialogs.pickAnswers = {0};
    ASSERT_EQ(window.ListaCertificados(1), "1");

    // The tokens are read while the window's event loop keeps turning.
    bool turned = false;
    QMetaObject::invokeMethod(&window, [&] { turned = true; }, Qt::QueuedConnection);
    const auto found = window.selecionaCertificado(window.Certificado_Thumbprint);
    EXPECT_TRUE(turned);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Thumbprint(), window.Certificado_Thumbprint);
    EXPECT_TRUE(dialogs.boxes.empty());

    const QString notFound =
        "Erro 03: O certificado digital não foi encontrado entre os certificados válidos. "
        "Verifique se o cartão ou token USB do certificado está conectado ao computador.";
    EXPECT_FALSE(window.selecionaCertificado(""));
    EXPECT_FALSE(window.selecionaCertificado(pki[Cert::Untrusted].thumbprint));
    EXPECT_EQ(dialogs.texts(), std::vector<QString>({notFound, notFound}));

    // The token is pulled out after the pick: the store is read anew.
    tokens.removeToken(window.Certificado_Thumbprint == pki[Cert::A3].thumbprint ? "Token A" : "Token B");
    EXPECT_FALSE(window.selecionaCertificado(window.Certificado_Thumbprint));
    EXPECT_EQ(dialogs.texts().size(), 3u);
    EXPECT_EQ(dialogs.texts().back(), notFound);
}

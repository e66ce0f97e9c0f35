// The test PKI and the token fixture that every token test stands on.

#include <gtest/gtest.h>

#include <QFile>

#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane::test;

TEST(TestPkiFixture, ChainsVerifyOnlyUnderTheTestRoot) {
    const TestPki& pki = TestPki::instance();
    const QString root = pki[Cert::Root].certPath;
    const QString inter = pki[Cert::Intermediate].certPath;
    for (Cert c : {Cert::A3, Cert::A3Printable, Cert::A1, Cert::ECnpj, Cert::NoSan, Cert::NoKeyUsage}) {
        EXPECT_NO_THROW(runTool("openssl", {"verify", "-CAfile", root, "-untrusted", inter, pki[c].certPath}))
            << pki[c].commonName.toStdString();
    }
    EXPECT_ANY_THROW(
        runTool("openssl", {"verify", "-CAfile", root, "-untrusted", inter, pki[Cert::Untrusted].certPath}));
    EXPECT_ANY_THROW(runTool("openssl", {"verify", "-CAfile", root, "-untrusted", inter, pki[Cert::Expired].certPath}));
    EXPECT_ANY_THROW(
        runTool("openssl", {"verify", "-CAfile", root, "-untrusted", inter, pki[Cert::NotYetValid].certPath}));

    const QString text =
        QString::fromUtf8(runTool("openssl", {"x509", "-noout", "-text", "-in", pki[Cert::A3].certPath}));
    EXPECT_TRUE(text.contains("CN = FULANO DE TAL:11122233344")) << text.toStdString();
    EXPECT_TRUE(text.contains("Policy: 2.16.76.1.2.3.10"));
    EXPECT_TRUE(text.contains("Digital Signature, Non Repudiation, Key Encipherment"));
    EXPECT_TRUE(text.contains("email:fulano@example.com"));
}

TEST(SoftHsmFixture, TokensAppearAndDisappearThroughTheProxy) {
    SoftHsmTokens tokens;
    const TestPki& pki = TestPki::instance();
    const QString serial = tokens.addToken("Token A", {Cert::A3}, {Cert::A3Keyless});
    EXPECT_FALSE(serial.isEmpty());
    EXPECT_EQ(qgetenv("SSL_CERT_FILE"), pki.trustFile().toUtf8());

    const QString objects = QString::fromUtf8(runTool("pkcs11-tool", {"--module", NORVANE_P11KIT_PROXY, "--token-label",
                                                                      "Token A", "--login", "--pin", "1234", "-O"}));
    EXPECT_EQ(objects.count("Certificate Object"), 3) << objects.toStdString();
    EXPECT_EQ(objects.count("Private Key Object"), 1) << objects.toStdString();
    EXPECT_TRUE(objects.contains(pki[Cert::A3].keyId));

    tokens.removeToken("Token A");
    const QString listed = QString::fromUtf8(runTool("pkcs11-tool", {"--module", NORVANE_P11KIT_PROXY, "-L"}));
    EXPECT_FALSE(listed.contains("Token A")) << listed.toStdString();
}

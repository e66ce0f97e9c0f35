// The test PKI and the token fixture that every token test stands on.

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <QStringList>
#include <memory>

#include <QFile>

#include "support/SignatureChecks.h"
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

    // The A3 certificate as OpenSSL decodes it (its API, not a release's text output).
    const QByteArray pem = readWholeFile(pki[Cert::A3].certPath);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), int(pem.size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> a3(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
    ASSERT_TRUE(a3);
    char cn[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(a3.get()), NID_commonName, cn, sizeof cn);
    EXPECT_STREQ(cn, "FULANO DE TAL:11122233344");
    std::unique_ptr<CERTIFICATEPOLICIES, decltype(&CERTIFICATEPOLICIES_free)> policies(
        static_cast<CERTIFICATEPOLICIES*>(X509_get_ext_d2i(a3.get(), NID_certificate_policies, nullptr, nullptr)),
        CERTIFICATEPOLICIES_free);
    ASSERT_TRUE(policies && sk_POLICYINFO_num(policies.get()) >= 1);
    char policy[64] = {};
    OBJ_obj2txt(policy, sizeof policy, sk_POLICYINFO_value(policies.get(), 0)->policyid, 1);
    EXPECT_STREQ(policy, "2.16.76.1.2.3.10");
    EXPECT_EQ(X509_get_key_usage(a3.get()) & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION | KU_KEY_ENCIPHERMENT | KU_KEY_CERT_SIGN),
              uint32_t(KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION | KU_KEY_ENCIPHERMENT));
    std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)> names(
        static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(a3.get(), NID_subject_alt_name, nullptr, nullptr)),
        GENERAL_NAMES_free);
    ASSERT_TRUE(names);
    QStringList emails;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_EMAIL)
            emails << QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.rfc822Name)),
                                          ASN1_STRING_length(name->d.rfc822Name));
    }
    EXPECT_EQ(emails, QStringList{"fulano@example.com"});
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

// The ICP-Brasil identity checks, the hex decoding they use, and the extension text
// they read, checked against what openssl reports for the same certificates.

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <functional>
#include <stdexcept>

#include "app/u_Principal.h"
#include "certs/CAPICOM_TLB.h"
#include "certs/pki/IdentityRules.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Error.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace CAPICOM_TLB;
using namespace norvane::test;

namespace {

CertificatePtr loadCertificate(const QString& pemPath) {
    const QByteArray pem = readWholeFile(pemPath);
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.constData(), pem.size()), BIO_free);
    X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (!x) throw std::runtime_error("cannot read " + pemPath.toStdString());
    return std::make_shared<ICertificate2>(std::shared_ptr<X509>(x, X509_free), TokenLocation{});
}

QString extensionText(const CertificatePtr& cert, const QString& oid) {
    const auto extensions = cert->Extensions();
    for (long i = 1; i <= extensions->Count(); ++i)
        if (extensions->Item(i)->OID()->Value() == oid) return extensions->Item(i)->EncodedData()->Format(true);
    return QString();
}

// A self-signed certificate with the given extension lines (OpenSSL configuration syntax).
QString adHocCertificate(const QTemporaryDir& dir, const QString& extensions) {
    const QString config = dir.filePath("ext.cnf");
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write config");
    f.write(("[req]\ndistinguished_name = dn\nx509_extensions = ext\nprompt = no\n[dn]\nCN = TESTE:12312312312\n"
             "[ext]\n" +
             extensions)
                .toUtf8());
    f.close();
    const QString cert = dir.filePath("adhoc.pem");
    runTool("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir.filePath("adhoc.key"), "-out",
                        cert, "-days", "30", "-config", config});
    return cert;
}

}  // namespace

TEST(IdentityChecks, EveryCertificateOfTheTestPkiGivesItsTypeAndCpf) {
    ScriptedDialogs dialogs;
    TFPrincipal window;
    const TestPki& pki = TestPki::instance();
    for (Cert c : {Cert::A3, Cert::A3Printable, Cert::A3Keyless, Cert::A1, Cert::ECnpj, Cert::TwoPolicies,
                   Cert::Expired, Cert::NotYetValid, Cert::NoNonRepudiation, Cert::NoDigitalSignature, Cert::NoKeyUsage,
                   Cert::Untrusted, Cert::NoSan, Cert::Root}) {
        SCOPED_TRACE(pki[c].commonName.toStdString());
        const auto cert = loadCertificate(pki[c].certPath);
        EXPECT_EQ(window.verificaTipoCertificado(cert), pki[c].expectedPolicy);
        EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(cert), pki[c].expectedCpf);
    }
    EXPECT_TRUE(dialogs.boxes.empty());

    // What the login concludes: A3 accepted, A1 refused, company certificate refused.
    EXPECT_TRUE(window.verificaTipoCertificado(loadCertificate(pki[Cert::A3].certPath)).contains("2.16.76.1.2.3"));
    EXPECT_FALSE(window.verificaTipoCertificado(loadCertificate(pki[Cert::A1].certPath)).contains("2.16.76.1.2.3"));
    EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(loadCertificate(pki[Cert::ECnpj].certPath)), "0");
}

TEST(IdentityChecks, TheLoginPathThroughTheToken) {
    norvane::tokens::forgetPins();
    SoftHsmTokens tokens;
    tokens.addToken("Token A", {Cert::A3Printable});
    ScriptedDialogs dialogs;
    dialogs.pickAnswers = {0};
    TFPrincipal window;
    ASSERT_EQ(window.ListaCertificados(1), "1");
    const auto cert = window.selecionaCertificado(window.Certificado_Thumbprint);
    EXPECT_EQ(window.verificaTipoCertificado(cert), "2.16.76.1.2.3.10");
    EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(cert), TestPki::kA3PrintableCpf);
    EXPECT_TRUE(dialogs.boxes.empty());
}

TEST(IdentityChecks, ErrorsAreShownAndKeepTheResultHeldSoFar) {
    ScriptedDialogs dialogs;
    TFPrincipal window;

    // No certificate (the selection failed before).
    EXPECT_EQ(window.verificaTipoCertificado(nullptr), "");
    EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(nullptr), "");
    ASSERT_EQ(dialogs.texts().size(), 2u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith("Erro 1C: "));
    EXPECT_TRUE(dialogs.texts()[1].startsWith("Erro 1A: "));

    // A CPS address holding "Identif" makes a line with "Identif" and no "=", after the
    // policy's own line; a DNS name holding "2.16.76.1.3.1" after the person data is no hex.
    QTemporaryDir dir;
    const auto cert = loadCertificate(adHocCertificate(
        dir,
        "certificatePolicies = @pol\n"
        "subjectAltName = otherName:2.16.76.1.3.1;OCTETSTRING:0101199012312312312,DNS:2.16.76.1.3.1.exemplo.br\n"
        "[pol]\npolicyIdentifier = 2.16.76.1.2.3.4\nCPS.1 = \"http://exemplo.br/Identificacao\"\n"));
    dialogs.boxes.clear();
    EXPECT_EQ(window.verificaTipoCertificado(cert), "2.16.76.1.2.3.4");
    EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(cert), "12312312312");
    ASSERT_EQ(dialogs.texts().size(), 2u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith("Erro 1C: ")) << dialogs.texts()[0].toStdString();
    EXPECT_TRUE(dialogs.texts()[0].contains("Identificacao"));
    EXPECT_TRUE(dialogs.texts()[1].startsWith("Erro 1A: ")) << dialogs.texts()[1].toStdString();
    EXPECT_EQ(dialogs.boxes[1].kind, ShownBox::Error);
}

TEST(IdentityChecks, ShortPersonDataAndOtherNames) {
    ScriptedDialogs dialogs;
    TFPrincipal window;
    QTemporaryDir dir;
    // 8 + 5 characters: tag, length, birth date, then only five characters of CPF.
    auto cert = loadCertificate(
        adHocCertificate(dir, "subjectAltName = otherName:2.16.76.1.3.1;PRINTABLESTRING:0101199012345,email:a@b.br\n"));
    EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(cert), "12345");
    // Fewer than 11 characters in all: empty. Neither OID: empty, not "0".
    QTemporaryDir dir2;
    cert = loadCertificate(adHocCertificate(
        dir2, "subjectAltName = otherName:2.16.76.1.3.1;OCTETSTRING:0101199,otherName:2.16.76.1.3.6;OCTETSTRING:1\n"));
    EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(cert), "");
    QTemporaryDir dir3;
    cert = loadCertificate(adHocCertificate(dir3, "subjectAltName = email:a@b.br,DNS:exemplo.br\n"));
    EXPECT_EQ(window.pegaExtensaoCPFCNPJCertificado(cert), "");
    EXPECT_EQ(window.verificaTipoCertificado(cert), "");
    EXPECT_TRUE(dialogs.boxes.empty());
}

// Alternative names and policies that hold the ICP-Brasil texts where they are not
// the ICP-Brasil fields: only an other-name of exactly that type, and only the policy
// identifier, count.
TEST(IdentityChecks, TextsInOtherFieldsChangeNothing) {
    ScriptedDialogs dialogs;
    TFPrincipal window;
    const QString person = "otherName:2.16.76.1.3.1;OCTETSTRING:0101198012345678909000000000000000000000000000000SSPSP";
    const auto check = [&](const QString& extensions) {
        QTemporaryDir dir;
        const auto cert = loadCertificate(adHocCertificate(dir, extensions));
        return std::make_pair(window.verificaTipoCertificado(cert), window.pegaExtensaoCPFCNPJCertificado(cert));
    };
    EXPECT_EQ(check("subjectAltName = " + person + ",email:303030303030303030303939393939393939393939=2.16.76.1.3.1@a.br\n")
                  .second,
              "12345678909");
    EXPECT_EQ(check("subjectAltName = " + person + ",email:2.16.76.1.3.3@a.br,URI:http://a/2.16.76.1.3.3\n").second,
              "12345678909");
    EXPECT_EQ(check("subjectAltName = " + person + ",otherName:2.16.76.1.3.10;OCTETSTRING:0101199099999999999\n").second,
              "12345678909");
    EXPECT_EQ(check("subjectAltName = otherName:2.16.76.1.3.10;OCTETSTRING:0101199099999999999\n").second, "");
    EXPECT_EQ(check("certificatePolicies = @pol\n[pol]\npolicyIdentifier = 2.16.76.1.2.3.10\n"
                    "CPS.1 = \"http://a/?Identif=2.16.76.1.2.3.1\"\n")
                  .first,
              "2.16.76.1.2.3.10");
    // A long identifier is written whole.
    QString longOid = "2.16.76.1.2.3";
    while (longOid.size() < 200) longOid += ".1234567";
    EXPECT_EQ(check("certificatePolicies = " + longOid + "\n").first, longOid);
    EXPECT_TRUE(dialogs.boxes.empty()) << (dialogs.texts().empty() ? "" : dialogs.texts()[0].toStdString());
    // A line break inside an e-mail address cannot start a line of its own (the
    // address, holding the OID text and no hex, is reported as before).
    EXPECT_EQ(check("subjectAltName = " + person +
                    ",email:\"a\\r\\n     2.16.76.1.3.1=30 30 30 30 30 30 30 30 30 30 39 39 39 39 39 39 39 39 39 39 39\"\n")
                  .second,
              "12345678909");

}

TEST(HexToString, Cases) {
    EXPECT_EQ(TFPrincipal::HexToString("4142"), "AB");
    EXPECT_EQ(TFPrincipal::HexToString("414"), "A");
    EXPECT_EQ(TFPrincipal::HexToString(""), "");
    EXPECT_EQ(TFPrincipal::HexToString("6a6B"), "jk");
    EXPECT_EQ(TFPrincipal::HexToString("00ff"), QString(QChar(0)) + QChar(0xFF));
    EXPECT_THROW(TFPrincipal::HexToString("4G"), std::exception);
    EXPECT_THROW(TFPrincipal::HexToString("41 2"), std::exception);
    // Text the rules cannot read is an identity that cannot be read, and says where.
    const auto refusal = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const norvane::Error& error) {
            EXPECT_EQ(error.kind(), norvane::ErrorKind::IdentityUnreadable) << error.what();
            return QString::fromUtf8(error.what());
        }
        return QStringLiteral("no error");
    };
    EXPECT_EQ(refusal([] { TFPrincipal::HexToString("41 2"); }), "\" 2\" não é um valor hexadecimal válido.");
    QString held;
    EXPECT_EQ(refusal([&] { norvane::applyPolicyTypeRule(" Identificacao \r\n", held); }),
              "A linha \"Identificacao\" da extensão não tem valor.");
    // The worked example: characters 11 to 21 are the CPF.
    const QString decoded = TFPrincipal::HexToString("0433303130313139393031313132323233333334343535");
    EXPECT_EQ(decoded.left(2), QString(QChar(4)) + "3");
    EXPECT_EQ(decoded.mid(10, 11), "11122233344");
}

namespace {

QString oidText(const ASN1_OBJECT* oid) {
    char buffer[128];
    OBJ_obj2txt(buffer, sizeof buffer, oid, 1);
    return QString::fromLatin1(buffer);
}

QString asn1Text(const ASN1_STRING* s) {
    return QString::fromUtf8(reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)), ASN1_STRING_length(s));
}

}  // namespace

// The text of the A3 certificate's policies and alternative names, line by line against
// OpenSSL's own decoding of the same certificate (through its API, whatever its text output
// looks like in a given release).
TEST(ExtensionText, MatchesWhatOpensslReportsForTheA3Certificate) {
    const TestPki& pki = TestPki::instance();
    for (Cert which : {Cert::A3, Cert::A3Printable, Cert::ECnpj}) {
        SCOPED_TRACE(pki[which].commonName.toStdString());
        const auto cert = loadCertificate(pki[which].certPath);

        // Policies: each identifier, then its CPS qualifiers.
        std::unique_ptr<CERTIFICATEPOLICIES, decltype(&CERTIFICATEPOLICIES_free)> policies(
            static_cast<CERTIFICATEPOLICIES*>(X509_get_ext_d2i(cert->x509(), NID_certificate_policies, nullptr, nullptr)),
            CERTIFICATEPOLICIES_free);
        ASSERT_TRUE(policies);
        QString expected;
        for (int policy = 0; policy < sk_POLICYINFO_num(policies.get()); ++policy) {
            const POLICYINFO* info = sk_POLICYINFO_value(policies.get(), policy);
            expected += QString("[%1]Certificate Policy:\r\n     Policy Identifier=%2\r\n")
                            .arg(policy + 1)
                            .arg(oidText(info->policyid));
            int qualifier = 0;
            for (int q = 0; q < sk_POLICYQUALINFO_num(info->qualifiers); ++q) {
                const POLICYQUALINFO* qual = sk_POLICYQUALINFO_value(info->qualifiers, q);
                if (OBJ_obj2nid(qual->pqualid) != NID_id_qt_cps) continue;
                expected += QString(
                                "     [%1,%2]Policy Qualifier Info:\r\n          Policy Qualifier Id=CPS\r\n"
                                "          Qualifier:\r\n               %3\r\n")
                                .arg(policy + 1)
                                .arg(++qualifier)
                                .arg(asn1Text(qual->d.cpsuri));
            }
        }
        ASSERT_FALSE(expected.isEmpty());
        EXPECT_EQ(extensionText(cert, "2.5.29.32").toStdString(), expected.toStdString());

        // Alternative names: each other name's OID and the bytes of its value (the element
        // inside its explicit [0]), and the e-mail.
        std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)> names(
            static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert->x509(), NID_subject_alt_name, nullptr, nullptr)),
            GENERAL_NAMES_free);
        ASSERT_TRUE(names);
        expected.clear();
        int other = 0;
        for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
            if (name->type == GEN_OTHERNAME) {
                unsigned char* der = nullptr;
                const int length = i2d_ASN1_TYPE(name->d.otherName->value, &der);
                ASSERT_GT(length, 0);
                QStringList hex;
                for (int b = 0; b < length; ++b) hex << QString("%1").arg(der[b], 2, 16, QChar('0'));
                OPENSSL_free(der);
                expected += "Other Name:\r\n     " + oidText(name->d.otherName->type_id) + "=" + hex.join(' ') + "\r\n";
                ++other;
            } else if (name->type == GEN_EMAIL) {
                expected += "RFC822 Name=" + asn1Text(name->d.rfc822Name) + "\r\n";
            }
        }
        EXPECT_GT(other, 0);
        EXPECT_EQ(extensionText(cert, "2.5.29.17").toStdString(), expected.toStdString());
    }
}

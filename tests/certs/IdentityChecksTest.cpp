// The ICP-Brasil identity checks, the hex decoding they use, and the extension text
// they read, checked against what openssl reports for the same certificates.

#include <gtest/gtest.h>
#include <openssl/pem.h>

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

// The text of the A3 certificate's policies and alternative names, line by line against
// openssl's own reading of the same certificate.
TEST(ExtensionText, MatchesWhatOpensslReportsForTheA3Certificate) {
    const TestPki& pki = TestPki::instance();
    for (Cert which : {Cert::A3, Cert::A3Printable, Cert::ECnpj}) {
        SCOPED_TRACE(pki[which].commonName.toStdString());
        const auto cert = loadCertificate(pki[which].certPath);
        const QString text =
            QString::fromUtf8(runTool("openssl", {"x509", "-noout", "-text", "-in", pki[which].certPath}));
        const QStringList lines = text.split('\n');

        // Policies: "Policy: <oid>" then indented "CPS: <url>".
        QString expected;
        int policy = 0, qualifier = 0;
        for (int i = lines.indexOf(QRegularExpression(".*X509v3 Certificate Policies:.*")) + 1;
             i < lines.size() && lines[i].startsWith("                "); ++i) {
            const QString line = lines[i].trimmed();
            if (line.startsWith("Policy: ")) {
                qualifier = 0;
                expected +=
                    QString("[%1]Certificate Policy:\r\n     Policy Identifier=%2\r\n").arg(++policy).arg(line.mid(8));
            } else if (line.startsWith("CPS: ")) {
                expected += QString(
                                "     [%1,%2]Policy Qualifier Info:\r\n          Policy Qualifier Id=CPS\r\n"
                                "          Qualifier:\r\n               %3\r\n")
                                .arg(policy)
                                .arg(++qualifier)
                                .arg(line.mid(5));
            }
        }
        ASSERT_GT(policy, 0);
        EXPECT_EQ(extensionText(cert, "2.5.29.32").toStdString(), expected.toStdString());

        // Alternative names: openssl lists the kinds, OIDs and e-mail; the values' bytes come
        // from openssl's DER parse of the extension (offset, header length, length).
        const int sanAt = lines.indexOf(QRegularExpression(".*X509v3 Subject Alternative Name:.*"));
        ASSERT_GT(sanAt, 0);
        const QStringList items = lines[sanAt + 1].trimmed().split(", ");
        const QString dump = QString::fromUtf8(runTool("openssl", {"asn1parse", "-in", pki[which].certPath}));
        const QRegularExpression sanValue(
            "Subject Alternative Name\\s*\\n.*OCTET STRING\\s*\\[HEX DUMP\\]:([0-9A-F]+)");
        const auto match = sanValue.match(dump);
        ASSERT_TRUE(match.hasMatch());
        const QByteArray sanDer = QByteArray::fromHex(match.captured(1).toLatin1());
        QTemporaryDir dir;
        const QString sanPath = dir.filePath("san.der");
        QFile sanFile(sanPath);
        ASSERT_TRUE(sanFile.open(QIODevice::WriteOnly));
        sanFile.write(sanDer);
        sanFile.close();
        const QStringList parsed =
            QString::fromUtf8(runTool("openssl", {"asn1parse", "-inform", "DER", "-in", sanPath})).split('\n');
        // The element after each OID's explicit [0] wrapper is its value.
        QStringList values;
        const QRegularExpression element("^\\s*(\\d+):d=(\\d+)\\s+hl=(\\d+)\\s+l=\\s*(\\d+)");
        for (int i = 0; i < parsed.size(); ++i) {
            if (!parsed[i].contains("OBJECT")) continue;
            const auto value = element.match(parsed[i + 2]);
            ASSERT_TRUE(value.hasMatch()) << parsed[i + 2].toStdString();
            const QByteArray bytes =
                sanDer.mid(value.captured(1).toInt(), value.captured(3).toInt() + value.captured(4).toInt());
            QStringList hex;
            for (char b : bytes) hex << QString("%1").arg(static_cast<unsigned char>(b), 2, 16, QChar('0'));
            values << hex.join(' ');
        }

        expected.clear();
        int other = 0;
        for (const QString& item : items) {
            if (item.startsWith("othername: ")) {
                const QString oid = item.mid(11).section("::", 0, 0);
                ASSERT_LT(other, values.size());
                expected += "Other Name:\r\n     " + oid + "=" + values[other++] + "\r\n";
            } else if (item.startsWith("email:")) {
                expected += "RFC822 Name=" + item.mid(6) + "\r\n";
            }
        }
        EXPECT_EQ(other, values.size());
        EXPECT_EQ(extensionText(cert, "2.5.29.17").toStdString(), expected.toStdString());
    }
}

// The SignedData builder, with a key and certificates that openssl makes for the test.

#include "certs/cms/CmsBuilder.h"
#include "core/Error.h"
#include "support/SignatureChecks.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>
#include <memory>
#include <openssl/pem.h>

using namespace norvane;
using namespace norvane::test;

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CertFree {
    void operator()(X509* p) const { X509_free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

// Root -> intermediate -> signer, made with the openssl command line.
class SmallPki {
public:
    SmallPki() {
        const QString ca = write("ca.ext", "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n");
        const QString leaf =
            write("leaf.ext", "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation\n");
        openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", path("root.key"), "-out",
                 path("root.pem"), "-days", "30", "-subj", "/C=BR/O=Teste/CN=Raiz de Teste", "-addext",
                 "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"});
        issue("int", "/C=BR/O=Teste/CN=AC Intermediaria de Teste", "root", ca);
        issue("signer", "/C=BR/O=Teste/CN=FULANO DE TAL:12345678909", "int", leaf);
        issue("other", "/C=BR/O=Teste/CN=OUTRA PESSOA:98765432100", "int", leaf);
    }

    QString path(const QString& name) const { return dir_.filePath(name); }

    Key key(const QString& name) const {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path(name + ".key").toUtf8().constData(), "r"),
                                                      &BIO_free);
        return Key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    }
    Cert cert(const QString& name) const {
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path(name + ".pem").toUtf8().constData(), "r"),
                                                      &BIO_free);
        return Cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    }

private:
    QString write(const QString& name, const QByteArray& text) {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        return path(name);
    }
    void openssl(const QStringList& arguments) {
        const ToolResult run = runProgram(QStringLiteral("openssl"), arguments);
        ASSERT_EQ(run.exitCode, 0) << run.describe().toStdString();
    }
    void issue(const QString& name, const QString& subject, const QString& issuer, const QString& extensions) {
        openssl({"req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", path(name + ".key"), "-out",
                 path(name + ".csr"), "-subj", subject});
        openssl({"x509", "-req", "-in", path(name + ".csr"), "-CA", path(issuer + ".pem"), "-CAkey",
                 path(issuer + ".key"), "-set_serial", QString::number(qHash(name) & 0xffffff), "-days", "30",
                 "-out", path(name + ".pem"), "-extfile", extensions});
    }

    QTemporaryDir dir_;
};

class CmsBuilderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { pki = new SmallPki; }
    static void TearDownTestSuite() {
        delete pki;
        pki = nullptr;
    }

    QByteArray sign(const QByteArray& content, const SignedAttributeValues& values, bool withChain = true) {
        Key key = pki->key("signer");
        Cert signer = pki->cert("signer");
        Cert intermediate = pki->cert("int");
        STACK_OF(X509)* chain = sk_X509_new_null();
        if (withChain) sk_X509_push(chain, intermediate.get());
        QByteArray der;
        try {
            der = buildSignedData(key.get(), signer.get(), chain, content, values);
        } catch (...) {
            sk_X509_free(chain);
            throw;
        }
        sk_X509_free(chain);
        return der;
    }

    QString save(const QByteArray& der, const QString& name = QStringLiteral("a.pdf.p7s")) {
        const QString target = out.filePath(name);
        QFile file(target);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(der);
        return target;
    }

    static SmallPki* pki;
    QTemporaryDir out;
};
SmallPki* CmsBuilderTest::pki = nullptr;

TEST_F(CmsBuilderTest, SignatureVerifiesEnclosesContentAndCarriesTheDocumentAttributes) {
    QByteArray content("%PDF-1.4\n");
    for (int i = 0; i < 256; ++i) content.append(static_cast<char>(i));  // every byte value, NUL and CR LF included
    content.append("\r\n%%EOF\r\n");

    // 10:00 at UTC-3 is the instant 13:00Z.
    const QDateTime local(QDate(2026, 3, 14), QTime(10, 0, 0, 250), QTimeZone(-3 * 3600));
    const QByteArray der = sign(content, {local, QStringLiteral("a.pdf"), QStringLiteral("Assinado com Assinador Norvane")});
    const QString p7s = save(der);

    const VerifyResult openssl = verifyWithOpenssl(p7s, pki->path("root.pem"));
    EXPECT_TRUE(openssl.ok) << openssl.log.toStdString();
    EXPECT_EQ(openssl.content, content);
    const VerifyResult gnutls = verifyWithCerttool(p7s, pki->path("root.pem"));
    EXPECT_TRUE(gnutls.ok) << gnutls.log.toStdString();

    const SignedDataContents read = readSignedData(der);
    ASSERT_TRUE(read.parsed) << read.error.toStdString();
    EXPECT_EQ(read.content, content);
    EXPECT_EQ(read.signerCount, 1);
    EXPECT_EQ(read.digestAlgorithm, "SHA256");
    EXPECT_EQ(read.signingTimeDer, QByteArray("\x17\x0d" "260314130000Z"));
    EXPECT_EQ(read.signingTime, QDateTime(QDate(2026, 3, 14), QTime(13, 0), QTimeZone::utc()));
    EXPECT_EQ(read.documentNameDer.toHex(' '), "04 0c 61 00 2e 00 70 00 64 00 66 00 00 00");
    EXPECT_EQ(read.documentDescriptionDer, expectedTextAttribute(QStringLiteral("Assinado com Assinador Norvane")));
    EXPECT_TRUE(read.hasSigningCertificateV2);
    // content type, message digest, signing time, name, description, signing certificate v2
    EXPECT_EQ(read.signedAttributeCount, 6);
    // The signer and its intermediate; never the root.
    ASSERT_EQ(read.certificateSubjects.size(), 2);
    EXPECT_TRUE(read.certificateSubjects.join('\n').contains("FULANO DE TAL"));
    EXPECT_TRUE(read.certificateSubjects.join('\n').contains("AC Intermediaria"));
    EXPECT_FALSE(read.certificateSubjects.join('\n').contains("Raiz de Teste"));
}

TEST_F(CmsBuilderTest, TextAttributesKeepAccentsAndTheKeyTestValues) {
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray der = sign("login", {now, QStringLiteral("temp.txt"), QStringLiteral("Certidão nº 7 — ação")});
    const SignedDataContents read = readSignedData(der);
    ASSERT_TRUE(read.parsed) << read.error.toStdString();
    EXPECT_EQ(read.content, "login");
    EXPECT_EQ(read.documentNameDer, expectedTextAttribute(QStringLiteral("temp.txt")));
    // UTF-16LE of "ã" is e3 00 and of "—" is 14 20.
    EXPECT_TRUE(read.documentDescriptionDer.contains(QByteArray("\xe3\x00o\x00", 4)));
    EXPECT_TRUE(read.documentDescriptionDer.contains(QByteArray("\x14\x20", 2)));
    EXPECT_EQ(read.documentDescriptionDer, expectedTextAttribute(QStringLiteral("Certidão nº 7 — ação")));
    EXPECT_EQ(read.signingTime.toSecsSinceEpoch(), now.toSecsSinceEpoch());
}

TEST_F(CmsBuilderTest, EmptyAndLargeContentBothVerify) {
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray empty = sign(QByteArray(), {now, QStringLiteral("vazio.pdf"), QStringLiteral("x")});
    EXPECT_TRUE(verifyWithOpenssl(save(empty, "vazio.p7s"), pki->path("root.pem")).ok);
    EXPECT_TRUE(readSignedData(empty).content.isEmpty());

    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
    const QByteArray der = sign(big, {now, QStringLiteral("grande.pdf"), QStringLiteral("x")});
    const VerifyResult result = verifyWithOpenssl(save(der, "grande.p7s"), pki->path("root.pem"));
    EXPECT_TRUE(result.ok) << result.log.toStdString();
    EXPECT_EQ(result.content, big);
}

TEST_F(CmsBuilderTest, WithoutTheIntermediateTheChainCannotBeBuilt) {
    // Proves the verifiers really walk the chain that we enclose.
    const QByteArray der = sign("x", {QDateTime::currentDateTime(), QStringLiteral("a.pdf"), QStringLiteral("x")},
                                /*withChain=*/false);
    EXPECT_EQ(readSignedData(der).certificateSubjects.size(), 1);
    EXPECT_FALSE(verifyWithOpenssl(save(der), pki->path("root.pem")).ok);
}

TEST_F(CmsBuilderTest, TamperedContentFailsVerification) {
    QByteArray der = sign("conteudo original", {QDateTime::currentDateTime(), QStringLiteral("a.pdf"), QStringLiteral("x")});
    const qsizetype at = der.indexOf("original");
    ASSERT_GT(at, 0);
    der[at] = 'O';
    EXPECT_FALSE(verifyWithOpenssl(save(der), pki->path("root.pem")).ok);
}

TEST_F(CmsBuilderTest, KeyOfAnotherCertificateIsRefusedWithOpensslReason) {
    Key otherKey = pki->key("other");
    Cert signer = pki->cert("signer");
    try {
        buildSignedData(otherKey.get(), signer.get(), nullptr, "x",
                        {QDateTime::currentDateTime(), QStringLiteral("a.pdf"), QStringLiteral("x")});
        FAIL() << "signed with a key that does not match the certificate";
    } catch (const Error& error) {
        EXPECT_EQ(error.kind(), ErrorKind::CryptoError) << error.what();
        EXPECT_NE(std::string(error.what()).find("private key does not match certificate"), std::string::npos)
            << error.what();
    }
    EXPECT_THROW(buildSignedData(nullptr, signer.get(), nullptr, "x",
                                 {QDateTime::currentDateTime(), QStringLiteral("a.pdf"), QStringLiteral("x")}),
                 Error);
}

}  // namespace

// Checking a signature: a corpus of our own signatures, of `openssl cms -sign` ones and of
// damaged files, each checked by us and by `openssl cms -verify` against the same trust
// anchors (the test root), which must agree on every file; and what the check reports.

#include "certs/cms/Verification.h"
#include "certs/cms/Signer.h"
#include "certs/pki/BundledCertificates.h"
#include "support/SignatureChecks.h"
#include "support/TestPki.h"
#include "support/TrustOnlyTestRoot.h"

#include <openssl/cms.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>

using namespace norvane;
using namespace norvane::test;
using cms::Verdict;

namespace norvane::cms {
inline void PrintTo(Verdict verdict, std::ostream* out) {
    *out << (verdict == Verdict::Valid ? "Valid" : verdict == Verdict::Invalid ? "Invalid" : "Unreadable");
}
}  // namespace norvane::cms

namespace {

const QString kDescription = QStringLiteral("Assinado com Assinador Norvane");

struct Case {
    QString name;
    QString p7s;
    QString document;  // empty: none given
    Verdict expected;
};

class Corpus {
public:
    Corpus() {
        const TestPki& pki = TestPki::instance();
        document = QByteArray("%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj << /Marcador (CONTEUDO-ASSINADO) >> endobj\n");
        for (int i = 0; i < 2000; ++i) document.append(char(i * 7));
        document.append("\n%%EOF\n");
        other = document;
        other[other.size() / 2] = char(other[other.size() / 2] ^ 0x01);
        documentPath = write("instrumento.pdf", document);
        otherPath = write("outro.pdf", other);
        intermediate = pki[Cert::Intermediate].certPath;
        signingTime = QDateTime::currentDateTimeUtc().addSecs(-60);

        // Ours, and what the tabs would make of other signers.
        own = write("propria.pdf.p7s", ours(Cert::A3, signingTime));
        write("expirado.pdf.p7s", ours(Cert::Expired, signingTime));
        write("expirado-depois.pdf.p7s", ours(Cert::Expired, QDateTime::currentDateTimeUtc().addDays(-10)));
        write("raiz-desconhecida.pdf.p7s", ours(Cert::Untrusted, signingTime));

        // openssl's own: enclosed, detached, no signed attributes, key identifier with SHA-512,
        // and one that carries the unknown root.
        opensslSign("openssl.p7s", Cert::A3, {"-nodetach"});
        opensslSign("openssl-destacada.p7s", Cert::A3, {});
        opensslSign("openssl-sem-atributos.p7s", Cert::A3, {"-nodetach", "-noattr"});
        opensslSign("openssl-keyid-sha512.p7s", Cert::A3Printable, {"-nodetach", "-keyid", "-md", "sha512"});
        opensslSign("openssl-raiz-desconhecida.p7s", Cert::Untrusted,
                    {"-nodetach", "-certfile", pki[Cert::UntrustedRoot].certPath});

        // Damaged copies of ours.
        const QByteArray der = readWholeFile(own);
        QByteArray flipped = der;
        const qsizetype at = flipped.indexOf("CONTEUDO-ASSINADO");
        EXPECT_GT(at, 0);
        flipped[at] = char(flipped[at] ^ 0x20);
        write("conteudo-alterado.pdf.p7s", flipped);
        QByteArray badSignature = der;
        badSignature[badSignature.size() - 1] = char(badSignature[badSignature.size() - 1] ^ 0x01);
        write("assinatura-alterada.pdf.p7s", badSignature);
        write("truncado.pdf.p7s", der.left(der.size() / 2));
        // The SignedData's list of digest algorithms (it comes before the signer's own) names
        // SHA-512, or an unknown algorithm, in place of SHA-256.
        const QByteArray sha256 = QByteArray::fromHex("0609608648016503040201");
        const qsizetype announced = der.indexOf(sha256);
        EXPECT_GT(announced, 0);
        EXPECT_GT(der.indexOf(sha256, announced + 1), announced);
        QByteArray unannounced = der;
        unannounced[announced + sha256.size() - 1] = 0x03;
        write("algoritmo-nao-anunciado.pdf.p7s", unannounced);
        QByteArray unknown = der;
        unknown[announced + sha256.size() - 1] = 0x7f;
        write("algoritmo-desconhecido.pdf.p7s", unknown);
        write("nao-cms.p7s", document);
    }

    QString path(const QString& name) const { return dir.filePath(name); }

    QString write(const QString& name, const QByteArray& bytes) {
        QFile file(path(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()) << name.toStdString();
        return path(name);
    }

    QByteArray ours(Cert which, const QDateTime& when) {
        const TestPki& pki = TestPki::instance();
        const QString chain = write("cadeia.pem", readWholeFile(pki[which].certPath) + readWholeFile(intermediate));
        const auto signer = cms::KeyFileSigner::fromPem(pki[which].keyPath, chain);
        return signer->sign(document, {when, QStringLiteral("instrumento.pdf"), kDescription});
    }

    void opensslSign(const QString& name, Cert which, QStringList extra) {
        const TestPki& pki = TestPki::instance();
        QStringList arguments{"cms", "-sign", "-binary", "-in", documentPath, "-signer", pki[which].certPath,
                              "-inkey", pki[which].keyPath, "-outform", "DER", "-out", path(name)};
        if (!extra.contains("-certfile")) extra << "-certfile" << intermediate;
        const ToolResult run = runProgram(QStringLiteral("openssl"), arguments + extra);
        EXPECT_EQ(run.exitCode, 0) << run.describe().toStdString();
    }

    QTemporaryDir dir;
    QByteArray document, other;
    QString documentPath, otherPath, intermediate, own;
    QDateTime signingTime;
};

class VerificationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        trust = new TrustOnlyTestRoot;
        corpus = new Corpus;
    }
    static void TearDownTestSuite() {
        delete corpus;
        delete trust;
    }

    // openssl with our anchors: the test root and the bundled ICP-Brasil roots.
    static bool opensslAccepts(const Case& c) {
        const QString anchors = corpus->path("ancoras.pem");
        if (!QFile::exists(anchors)) {
            QByteArray pem = readWholeFile(TestPki::instance().trustFile());
            const auto bundled = pki::bundledCertificates();
            for (const QString& name : QDir(bundled->folder).entryList({"raiz-*.pem"}, QDir::Files))
                pem += readWholeFile(QDir(bundled->folder).filePath(name));
            corpus->write("ancoras.pem", pem);
        }
        QStringList arguments{"cms", "-verify", "-inform", "DER", "-binary", "-in", c.p7s, "-CAfile", anchors,
                              "-out", QDir::temp().filePath("nul-verificacao")};
        if (!c.document.isEmpty()) arguments << "-content" << c.document;
        const ToolResult run = runProgram(QStringLiteral("openssl"), arguments);
        QFile::remove(QDir::temp().filePath("nul-verificacao"));
        return run.exitCode == 0 && run.errors.contains("Verification successful");
    }

    static cms::VerificationResult check(const QString& name, const QString& document = QString()) {
        return cms::verifySignatureFile(corpus->path(name), document);
    }

    static TrustOnlyTestRoot* trust;
    static Corpus* corpus;
};
TrustOnlyTestRoot* VerificationTest::trust = nullptr;
Corpus* VerificationTest::corpus = nullptr;

std::string describe(const cms::VerificationResult& result) { return cms::verificationText(result).toStdString(); }

}  // namespace

TEST_F(VerificationTest, VerdictAgreesWithOpensslOnEveryFileOfTheCorpus) {
    const Corpus& k = *corpus;
    ASSERT_EQ(pki::bundledCertificates()->roots.size(), 2u);  // the ICP-Brasil roots, for both verifiers
    const std::vector<Case> cases = {
        {"our signature", k.own, {}, Verdict::Valid},
        {"our signature with its own document", k.own, k.documentPath, Verdict::Valid},
        {"our signature with a different document", k.own, k.otherPath, Verdict::Invalid},
        {"openssl, enclosed", k.path("openssl.p7s"), {}, Verdict::Valid},
        {"openssl, detached, with its document", k.path("openssl-destacada.p7s"), k.documentPath, Verdict::Valid},
        {"openssl, detached, with another document", k.path("openssl-destacada.p7s"), k.otherPath, Verdict::Invalid},
        {"openssl, detached, without its document", k.path("openssl-destacada.p7s"), {}, Verdict::Unreadable},
        {"openssl, no signed attributes", k.path("openssl-sem-atributos.p7s"), {}, Verdict::Valid},
        {"openssl, key identifier and SHA-512", k.path("openssl-keyid-sha512.p7s"), {}, Verdict::Valid},
        {"openssl, chain to an unknown root it carries", k.path("openssl-raiz-desconhecida.p7s"), {}, Verdict::Invalid},
        {"a byte of the content flipped", k.path("conteudo-alterado.pdf.p7s"), {}, Verdict::Invalid},
        {"a byte of the signature flipped", k.path("assinatura-alterada.pdf.p7s"), {}, Verdict::Invalid},
        {"signer expired at the signing time", k.path("expirado.pdf.p7s"), {}, Verdict::Invalid},
        {"signer valid at the signing time, expired now", k.path("expirado-depois.pdf.p7s"), {}, Verdict::Invalid},
        {"chain to an unknown root", k.path("raiz-desconhecida.pdf.p7s"), {}, Verdict::Invalid},
        {"the signer's digest algorithm not announced", k.path("algoritmo-nao-anunciado.pdf.p7s"), {}, Verdict::Invalid},
        {"an unknown digest algorithm announced", k.path("algoritmo-desconhecido.pdf.p7s"), {}, Verdict::Invalid},
        {"truncated", k.path("truncado.pdf.p7s"), {}, Verdict::Unreadable},
        {"not CMS", k.path("nao-cms.p7s"), {}, Verdict::Unreadable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const cms::VerificationResult result = cms::verifySignatureFile(c.p7s, c.document);
        EXPECT_EQ(result.verdict, c.expected) << describe(result);
        EXPECT_EQ(result.verdict == Verdict::Valid, opensslAccepts(c)) << describe(result);
        EXPECT_EQ(result.reasons.isEmpty(), result.verdict == Verdict::Valid) << describe(result);
    }
}

TEST_F(VerificationTest, OurSignatureNamesTheSignerTheTimeTheChainAndTheAttributes) {
    const cms::VerificationResult result = check("propria.pdf.p7s");
    ASSERT_EQ(result.verdict, Verdict::Valid) << describe(result);
    EXPECT_FALSE(result.detached);
    EXPECT_EQ(result.contentSize, corpus->document.size());
    ASSERT_EQ(result.signers.size(), 1u);
    const cms::SignerReport& signer = result.signers[0];
    EXPECT_EQ(signer.name, QStringLiteral("FULANO DE TAL:11122233344"));
    EXPECT_EQ(signer.cpf, QString::fromLatin1(TestPki::kA3Cpf));
    EXPECT_EQ(signer.policy, TestPki::instance()[Cert::A3].expectedPolicy);
    ASSERT_TRUE(signer.signingTime);
    EXPECT_EQ(signer.signingTime->toSecsSinceEpoch(), corpus->signingTime.toSecsSinceEpoch());
    EXPECT_EQ(signer.digestAlgorithm, QStringLiteral("SHA256"));
    EXPECT_EQ(signer.signatureValid, true);
    EXPECT_EQ(signer.digestMatches, true);
    EXPECT_EQ(signer.signingCertificateMatches, true);
    ASSERT_TRUE(signer.atSigningTime);
    EXPECT_TRUE(signer.atSigningTime->trusted);
    EXPECT_TRUE(signer.now.trusted);
    ASSERT_EQ(signer.chain.size(), 3u);
    EXPECT_EQ(signer.chain[1].subject, QStringLiteral("AC Intermediaria Teste Norvane"));
    EXPECT_EQ(signer.chain[2].subject, QStringLiteral("AC Raiz Teste Norvane"));
    EXPECT_TRUE(signer.chain[2].selfSigned);
    EXPECT_EQ(signer.now.anchor, cms::Anchor::System);

    std::map<QString, QString> attributes;
    for (const auto& attribute : signer.signedAttributes) attributes[attribute.oid] = attribute.value;
    EXPECT_EQ(attributes.count("1.2.840.113549.1.9.3"), 1u);
    EXPECT_EQ(attributes.count("1.2.840.113549.1.9.4"), 1u);
    EXPECT_EQ(attributes.count("1.2.840.113549.1.9.5"), 1u);
    EXPECT_EQ(attributes.count("1.2.840.113549.1.9.16.2.47"), 1u);
    EXPECT_EQ(attributes["1.3.6.1.4.1.311.88.2.1"], QStringLiteral("instrumento.pdf"));
    EXPECT_EQ(attributes["1.3.6.1.4.1.311.88.2.2"], kDescription);

    const QString text = cms::verificationText(result);
    EXPECT_TRUE(text.startsWith(QStringLiteral("Assinatura VÁLIDA"))) << text.toStdString();
    for (const QString& expected :
         {QStringLiteral("Signatário: FULANO DE TAL:11122233344"), QStringLiteral("CPF: 111.222.333-44"),
          QStringLiteral("Resumo SHA256 do conteúdo: confere com o assinado"),
          QStringLiteral("Assinatura sobre os atributos assinados: válida"),
          QStringLiteral("Certificado na data da assinatura: válido"),
          QStringLiteral("Nome do documento (1.3.6.1.4.1.311.88.2.1): instrumento.pdf"),
          QStringLiteral("Descrição do documento (1.3.6.1.4.1.311.88.2.2): Assinado com Assinador Norvane"),
          QStringLiteral("CAdES-BES"), QStringLiteral("AC Raiz Teste Norvane, válido de"),
          QStringLiteral("(raiz confiável do repositório do sistema)"), QStringLiteral("Revogação: não verificada"),
          cms::verdictLine(result)})
        EXPECT_TRUE(text.contains(expected)) << expected.toStdString() << "\n" << text.toStdString();
    EXPECT_EQ(text.section('\n', 0, 0), cms::verdictLine(result));
}

TEST_F(VerificationTest, TheSignersIdentityIsReadAsTheLoginReadsIt) {
    const QString p7s = corpus->write("empresa.pdf.p7s", corpus->ours(Cert::ECnpj, corpus->signingTime));
    const auto company = cms::verifySignatureFile(p7s);
    EXPECT_EQ(company.verdict, Verdict::Valid) << describe(company);  // a company may sign; the login refuses it
    ASSERT_EQ(company.signers.size(), 1u);
    EXPECT_EQ(company.signers[0].cpf, QStringLiteral("0"));
    EXPECT_TRUE(cms::verificationText(company).contains("CPF: não tem (certificado de pessoa jurídica, e-CNPJ)"));

    const auto a1 = cms::verifySignatureFile(corpus->write("a1.pdf.p7s", corpus->ours(Cert::A1, corpus->signingTime)));
    ASSERT_EQ(a1.signers.size(), 1u);
    EXPECT_EQ(a1.signers[0].cpf, QString::fromLatin1(TestPki::kA1Cpf));
    EXPECT_TRUE(cms::verificationText(a1).contains("Política do certificado: 2.16.76.1.2.1.20 (ICP-Brasil A1)"));

    const auto noSan = cms::verifySignatureFile(corpus->write("sem-nome.pdf.p7s", corpus->ours(Cert::NoSan, corpus->signingTime)));
    ASSERT_EQ(noSan.signers.size(), 1u);
    EXPECT_TRUE(noSan.signers[0].cpf.isEmpty());
    EXPECT_TRUE(cms::verificationText(noSan).contains("CPF: não encontrado no certificado"));
}

TEST_F(VerificationTest, EachCheckIsReportedOnItsOwn) {
    {
        SCOPED_TRACE("content flipped: the signed attributes still verify, the digest does not");
        const auto result = check("conteudo-alterado.pdf.p7s");
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_EQ(result.signers[0].signatureValid, true);
        EXPECT_EQ(result.signers[0].digestMatches, false);
        EXPECT_TRUE(result.signers[0].now.trusted);
        EXPECT_EQ(result.reasons.size(), 1) << describe(result);
        EXPECT_TRUE(result.reasons.value(0).contains("resumo")) << describe(result);
    }
    {
        SCOPED_TRACE("signature flipped: the digest still matches, the signature does not");
        const auto result = check("assinatura-alterada.pdf.p7s");
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_EQ(result.signers[0].signatureValid, false);
        EXPECT_EQ(result.signers[0].digestMatches, true);
        EXPECT_EQ(result.reasons, QStringList{QStringLiteral("a assinatura dos atributos assinados não confere")});
    }
    {
        SCOPED_TRACE("another document: the enclosed content is intact, the document is not it");
        const auto result = check("propria.pdf.p7s", corpus->otherPath);
        EXPECT_EQ(result.documentMatches, false);
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_EQ(result.signers[0].digestMatches, true);
        EXPECT_EQ(result.reasons, QStringList{QStringLiteral("o documento informado difere do conteúdo assinado")});
        EXPECT_EQ(check("propria.pdf.p7s", corpus->documentPath).documentMatches, true);
    }
    {
        SCOPED_TRACE("detached: the document given is what is checked");
        const auto same = check("openssl-destacada.p7s", corpus->documentPath);
        EXPECT_TRUE(same.detached);
        EXPECT_FALSE(same.documentMatches);  // nothing enclosed to compare with
        const auto other = check("openssl-destacada.p7s", corpus->otherPath);
        ASSERT_EQ(other.signers.size(), 1u);
        EXPECT_EQ(other.signers[0].signatureValid, true);
        EXPECT_EQ(other.signers[0].digestMatches, false);
        EXPECT_TRUE(other.reasons.value(0).startsWith("o documento informado não é o que foi assinado")) << describe(other);
    }
    {
        SCOPED_TRACE("detached without the document: unreadable, yet the signer and the signed attributes are read");
        const auto result = check("openssl-destacada.p7s");
        EXPECT_EQ(result.verdict, Verdict::Unreadable);
        EXPECT_TRUE(result.reasons.value(0).contains("destacada")) << describe(result);
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_EQ(result.signers[0].signatureValid, true);
        EXPECT_FALSE(result.signers[0].digestMatches);
        EXPECT_EQ(result.signers[0].cpf, QString::fromLatin1(TestPki::kA3Cpf));
        EXPECT_EQ(cms::exitCodeOf(result.verdict), 2);
    }
    {
        SCOPED_TRACE("no signed attributes: one check of the signature over the content");
        const auto result = check("openssl-sem-atributos.p7s");
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_FALSE(result.signers[0].hasSignedAttributes);
        EXPECT_FALSE(result.signers[0].signingTime);
        EXPECT_FALSE(result.signers[0].atSigningTime);
        EXPECT_TRUE(cms::verificationText(result).contains("sem o atributo de data e hora"));
    }
}

TEST_F(VerificationTest, ChainsAreCheckedNowAndAtTheSigningTimeWithTheExactBreak) {
    {
        SCOPED_TRACE("expired before it signed");
        const auto result = check("expirado.pdf.p7s");
        ASSERT_EQ(result.signers.size(), 1u);
        const auto& signer = result.signers[0];
        EXPECT_EQ(signer.signatureValid, true);
        EXPECT_EQ(signer.digestMatches, true);
        ASSERT_TRUE(signer.atSigningTime);
        EXPECT_FALSE(signer.atSigningTime->trusted);
        EXPECT_TRUE(signer.atSigningTime->problem.contains("«VENCIDO:77788899900» venceu em"))
            << signer.atSigningTime->problem.toStdString();
        EXPECT_FALSE(signer.now.trusted);
    }
    {
        SCOPED_TRACE("valid when it signed, expired now: both are said");
        const auto result = check("expirado-depois.pdf.p7s");
        ASSERT_EQ(result.signers.size(), 1u);
        ASSERT_TRUE(result.signers[0].atSigningTime);
        EXPECT_TRUE(result.signers[0].atSigningTime->trusted);
        EXPECT_FALSE(result.signers[0].now.trusted);
        EXPECT_EQ(result.reasons.size(), 1) << describe(result);
        EXPECT_TRUE(result.reasons.value(0).startsWith("hoje, o certificado «VENCIDO:77788899900» venceu em"))
            << describe(result);
    }
    {
        SCOPED_TRACE("a signing time before the certificate was issued: not valid at that time");
        const QString p7s = corpus->write("antes-da-emissao.pdf.p7s",
                                          corpus->ours(Cert::A3, QDateTime::currentDateTimeUtc().addDays(-30)));
        const auto result = cms::verifySignatureFile(p7s);
        EXPECT_EQ(result.verdict, Verdict::Invalid) << describe(result);
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_TRUE(result.signers[0].now.trusted);
        ASSERT_TRUE(result.signers[0].atSigningTime);
        EXPECT_TRUE(result.signers[0].atSigningTime->problem.contains("só é válido a partir de")) << describe(result);
    }
    {
        SCOPED_TRACE("issuer missing: the break names the certificate and its issuer");
        const auto result = check("raiz-desconhecida.pdf.p7s");
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_EQ(result.signers[0].now.problem,
                  QStringLiteral("a cadeia se interrompe em «EMISSOR DESCONHECIDO:20230340450»: seu emissor «AC Raiz "
                                 "Desconhecida» não está na assinatura nem entre as autoridades conhecidas"));
        EXPECT_EQ(result.signers[0].chain.size(), 1u);
    }
    {
        SCOPED_TRACE("an untrusted root carried: the break is that root");
        const auto result = check("openssl-raiz-desconhecida.p7s");
        ASSERT_EQ(result.signers.size(), 1u);
        EXPECT_TRUE(result.signers[0].now.problem.startsWith("a cadeia termina em «AC Raiz Desconhecida», uma raiz"))
            << describe(result);
        EXPECT_EQ(result.signers[0].chain.size(), 2u);
    }
}

TEST_F(VerificationTest, BadInputGivesAClearMessage) {
    const auto expectUnreadable = [](const cms::VerificationResult& result, const QString& words) {
        EXPECT_EQ(result.verdict, Verdict::Unreadable);
        EXPECT_TRUE(cms::verdictLine(result).startsWith("Não foi possível verificar a assinatura: "));
        EXPECT_TRUE(result.reasons.value(0).contains(words)) << describe(result);
        EXPECT_TRUE(result.signers.empty());
    };
    expectUnreadable(check("truncado.pdf.p7s"), QStringLiteral("incompleto (truncado)"));
    expectUnreadable(check("nao-cms.p7s"), QStringLiteral("não é uma assinatura CMS/PKCS#7"));
    expectUnreadable(check("nao-existe.p7s"), QStringLiteral("não existe"));
    expectUnreadable(cms::verifySignatureFile(corpus->dir.path()), QStringLiteral("é uma pasta"));
    expectUnreadable(check("propria.pdf.p7s", corpus->path("sem-documento.pdf")),
                     QStringLiteral("não foi possível abrir o documento"));
    expectUnreadable(cms::verifySignatureBytes(QByteArray()), QStringLiteral("vazio"));

    // Every prefix of a signature is refused without a crash; no prefix is read as valid.
    const QByteArray der = readWholeFile(corpus->own);
    for (qsizetype n = 0; n < der.size(); n += 97)
        EXPECT_EQ(cms::verifySignatureBytes(der.left(n)).verdict, Verdict::Unreadable) << n;

    // A file larger than the bound is refused before it is read (a sparse file: no disk used).
    const QString huge = corpus->path("enorme.p7s");
    {
        QFile file(huge);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(cms::kMaxSignatureFileSize + 1));
    }
    expectUnreadable(cms::verifySignatureFile(huge), QStringLiteral("mais de 200 MiB"));
    QFile::remove(huge);

    // Another kind of CMS message.
    const ToolResult run = runProgram(
        QStringLiteral("openssl"), {"cms", "-encrypt", "-binary", "-in", corpus->documentPath, "-outform", "DER", "-out",
                                    corpus->path("cifrado.p7m"), TestPki::instance()[Cert::A3].certPath});
    ASSERT_EQ(run.exitCode, 0) << run.describe().toStdString();
    expectUnreadable(check("cifrado.p7m"), QStringLiteral("não uma assinatura (SignedData)"));
}

TEST_F(VerificationTest, PemAndBytesAfterTheMessage) {
    const ToolResult run = runProgram(QStringLiteral("openssl"), {"cms", "-cmsout", "-inform", "DER", "-in", corpus->own,
                                                                  "-outform", "PEM", "-out", corpus->path("propria.pem")});
    ASSERT_EQ(run.exitCode, 0) << run.describe().toStdString();
    EXPECT_EQ(check("propria.pem").verdict, Verdict::Valid);

    const auto padded = cms::verifySignatureBytes(readWholeFile(corpus->own) + QByteArray(3, '\0'));
    EXPECT_EQ(padded.verdict, Verdict::Valid);
    EXPECT_EQ(padded.notes, QStringList{QStringLiteral("3 byte(s) depois da assinatura foram ignorados")});
}

TEST_F(VerificationTest, AChainToABundledRootSaysSo) {
    // The test root stands as a bundled root; the system's store is empty.
    QTemporaryDir bundled, empty;
    ASSERT_TRUE(QFile::copy(TestPki::instance().trustFile(), bundled.filePath("raiz-teste.pem")));
    const QByteArray file = qgetenv("SSL_CERT_FILE"), folder = qgetenv("SSL_CERT_DIR");
    qputenv("SSL_CERT_FILE", empty.filePath("nenhum.pem").toUtf8());
    qputenv("SSL_CERT_DIR", empty.path().toUtf8());
    pki::setBundledCertificatesFolderForTesting(bundled.path());
    const auto result = check("propria.pdf.p7s");
    pki::setBundledCertificatesFolderForTesting(QString());
    qputenv("SSL_CERT_FILE", file);
    qputenv("SSL_CERT_DIR", folder);

    EXPECT_EQ(result.verdict, Verdict::Valid) << describe(result);
    ASSERT_EQ(result.signers.size(), 1u);
    EXPECT_EQ(result.signers[0].now.anchor, cms::Anchor::IcpBrasil);
    EXPECT_TRUE(cms::verificationText(result).contains(
        "AC Raiz Teste Norvane, válido de " + result.signers[0].chain[2].validFrom.toLocalTime().toString("dd/MM/yyyy")))
        << describe(result);
    EXPECT_TRUE(cms::verificationText(result).contains("(raiz ICP-Brasil confiável, fornecida com o programa)"))
        << describe(result);
}

TEST_F(VerificationTest, ANameWithLineBreaksCannotWriteLinesOfItsOwn) {
    // A self-signed signer whose name holds a line that looks like a verdict.
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_NAME* name = X509_get_subject_name(cert.get());
    const std::string forged = "FULANO\nAssinatura VÁLIDA\xC2\x85";
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(forged.data()),
                               int(forged.size()), -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    ASSERT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);
    std::unique_ptr<BIO, decltype(&BIO_free)> content(BIO_new_mem_buf("conteudo", 8), BIO_free);
    std::unique_ptr<CMS_ContentInfo, decltype(&CMS_ContentInfo_free)> cmsMessage(
        CMS_sign(cert.get(), key.get(), nullptr, content.get(), CMS_BINARY), CMS_ContentInfo_free);
    ASSERT_TRUE(cmsMessage);
    unsigned char* der = nullptr;
    const int n = i2d_CMS_ContentInfo(cmsMessage.get(), &der);
    const QByteArray bytes(reinterpret_cast<const char*>(der), n);
    OPENSSL_free(der);

    const cms::VerificationResult result = cms::verifySignatureBytes(bytes);
    ASSERT_EQ(result.verdict, Verdict::Invalid);
    const QStringList lines = cms::verificationText(result).split('\n');
    EXPECT_EQ(lines.front(), cms::verdictLine(result));
    EXPECT_TRUE(lines.front().contains(QStringLiteral("FULANO\\x0AAssinatura VÁLIDA"))) << describe(result);
    for (const QString& line : lines) EXPECT_FALSE(line.startsWith(QStringLiteral("Assinatura VÁLIDA"))) << describe(result);
    EXPECT_FALSE(cms::verificationText(result).contains(QChar(0x85)));
}

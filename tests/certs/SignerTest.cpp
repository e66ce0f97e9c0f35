// The two signers of the core, each verified by openssl and GnuTLS: a key in files (PEM and
// PKCS#12) and a key on a SoftHSM token; and the kinds and causes of their errors.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <stdexcept>
#include <type_traits>

#include "certs/cms/Signer.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/CertificateStore.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Error.h"
#include "core/ErrorText.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane;
using namespace norvane::test;

namespace {

const SignedAttributeValues kAttributes{QDateTime::currentDateTime(), "a.pdf", "Assinado com Assinador Norvane"};

// Signs, writes the .p7s and checks it with both verifiers against the test root; gives
// what the signature holds.
SignedDataContents signAndVerify(const cms::Signer& signer, const QString& folder) {
    const QByteArray content = QByteArray("%PDF-1.4 conteudo ") + QByteArray(5000, 'x');
    const QByteArray der = signer.sign(content, kAttributes);
    const QString p7s = QDir(folder).filePath("a.pdf.p7s");
    QFile file(p7s);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(der) == der.size());
    file.close();
    const QString root = TestPki::instance()[Cert::Root].certPath;
    const VerifyResult openssl = verifyWithOpenssl(p7s, root);
    EXPECT_TRUE(openssl.ok) << openssl.log.toStdString();
    EXPECT_EQ(openssl.content, content);
    const VerifyResult certtool = verifyWithCerttool(p7s, root);
    EXPECT_TRUE(certtool.ok) << certtool.log.toStdString();
    return readSignedData(der);
}

QString chainFile(const QString& folder, std::initializer_list<Cert> which) {
    QByteArray pem;
    for (Cert c : which) pem += readWholeFile(TestPki::instance()[c].certPath);
    const QString path = QDir(folder).filePath("chain.pem");
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(pem) == pem.size());
    return path;
}

// The certificate the signature carries, besides the signer's: the intermediate, never the root.
void expectChainWithoutRoot(const SignedDataContents& read) {
    const auto& subjects = read.certificateSubjects;
    EXPECT_EQ(subjects.size(), 2);
    EXPECT_TRUE(std::any_of(subjects.begin(), subjects.end(),
                            [](const QString& s) { return s.contains("AC Intermediaria Teste Norvane"); }));
    EXPECT_FALSE(std::any_of(subjects.begin(), subjects.end(),
                             [](const QString& s) { return s.contains("AC Raiz Teste Norvane"); }));
}

}  // namespace

TEST(Signer, AKeyInPemOrPkcs12FilesSignsWhatBothVerifiersAccept) {
    const TestPki& pki = TestPki::instance();
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    const QString chain = chainFile(work.path(), {Cert::A3, Cert::Intermediate, Cert::Root});

    const auto pem = cms::KeyFileSigner::fromPem(pki[Cert::A3].keyPath, chain);
    EXPECT_EQ(pki::thumbprintOf(pem->certificate().get()), pki[Cert::A3].thumbprint);
    const SignedDataContents fromPem = signAndVerify(*pem, work.path());
    EXPECT_EQ(fromPem.documentNameDer, expectedTextAttribute("a.pdf"));
    EXPECT_TRUE(fromPem.hasSigningCertificateV2);
    expectChainWithoutRoot(fromPem);

    const QString p12 = work.filePath("a3.p12");
    const ToolResult made = runProgram("openssl", {"pkcs12", "-export", "-inkey", pki[Cert::A3].keyPath, "-in", chain,
                                                   "-passout", "pass:segredo", "-out", p12});
    ASSERT_EQ(made.exitCode, 0) << made.describe().toStdString();
    try {
        cms::KeyFileSigner::fromPkcs12(p12, "errada");
        FAIL() << "a wrong password must fail";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::PinRefused) << e.what();
    }
    const auto fromFile = cms::KeyFileSigner::fromPkcs12(p12, "segredo");
    expectChainWithoutRoot(signAndVerify(*fromFile, work.path()));

    try {
        cms::KeyFileSigner::fromPem(work.filePath("nenhuma.key"), chain);
        FAIL() << "a missing key file must fail";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::FileError);
    }
}

TEST(Signer, AKeyThatIsNotTheCertificatesFailsWithOpenSslsErrorsAsCauses) {
    const TestPki& pki = TestPki::instance();
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    // The A1 key with the A3 certificate: OpenSSL refuses to add the signer.
    const auto mismatched = cms::KeyFileSigner::fromPem(pki[Cert::A1].keyPath,
                                                        chainFile(work.path(), {Cert::A3, Cert::Intermediate}));
    try {
        mismatched->sign("x", kAttributes);
        FAIL() << "a key that does not match must fail";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::CryptoError);
        EXPECT_TRUE(e.message().startsWith("Falha ao incluir o signatário: ")) << e.what();
        const auto causes = e.causes();
        ASSERT_FALSE(causes.empty());
        EXPECT_TRUE(std::all_of(causes.begin(), causes.end(), [](const auto& c) { return c->libraryCode() != 0; }));
        EXPECT_TRUE(e.message().contains(causes.front()->message()));
    }
}

TEST(Signer, TheTokensKeySignsAndAPulledTokenIsAnUnreachableKey) {
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    const TestPki& pki = TestPki::instance();
    tokens.addToken("Token A", {Cert::A3});
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());

    const auto store = pki::readCertificateStore(tokens::Look::Reload);
    const auto found = std::find_if(store.begin(), store.end(), [&](const pki::StoredCertificate& c) {
        return pki::thumbprintOf(c.certificate.get()) == pki[Cert::A3].thumbprint;
    });
    ASSERT_NE(found, store.end());
    EXPECT_TRUE(found->trustedNow());
    EXPECT_EQ(found->token.label, "Token A");

    const cms::TokenSigner signer(*found);
    dialogs.pinAnswers = {QString(SoftHsmTokens::kUserPin)};
    expectChainWithoutRoot(signAndVerify(signer, work.path()));
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);

    tokens.removeToken("Token A");
    try {
        signer.sign("x", kAttributes);
        FAIL() << "a pulled token must fail";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::KeyUnreachable) << e.what();
    }
}

// A reader with a PIN pad: the PIN is typed on the reader, never asked by the program; the
// notice shows while the pad waits. A pad left without a PIN is a cancelled PIN.
TEST(Signer, AReaderWithAPinPadTakesThePinThereAndTheProgramNeverAsksForIt) {
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    tokens.addToken("Token A", {Cert::A3});
    QTemporaryDir work;
    ASSERT_TRUE(work.isValid());
    qputenv("NORVANE_FORWARD_MODULE", SoftHsmTokens::softHsmModule().toUtf8());
    qputenv("NORVANE_TOKEN_FAULT", "pinpad");
    qputenv("NORVANE_PINPAD_PIN", SoftHsmTokens::kUserPin);
    tokens::setProxyModuleForTesting(QString());
    tokens::setVendorDriversForTesting(
        {{"Leitor com teclado", {QFileInfo(NORVANE_TOKEN_FAULTS_MODULE).absolutePath()}, {"libnorvane_token_faults.so"}}});
    struct Restore {
        ~Restore() {
            tokens::restoreDefaultModulesForTesting();
            qunsetenv("NORVANE_TOKEN_FAULT");
            qunsetenv("NORVANE_PINPAD_PIN");
        }
    } restore;

    const auto store = pki::readCertificateStore(tokens::Look::Reload);
    const auto found = std::find_if(store.begin(), store.end(), [&](const pki::StoredCertificate& c) {
        return pki::thumbprintOf(c.certificate.get()) == TestPki::instance()[Cert::A3].thumbprint;
    });
    ASSERT_NE(found, store.end());
    const cms::TokenSigner signer(*found);
    signAndVerify(signer, work.path());
    EXPECT_TRUE(dialogs.pinPrompts.empty());
    EXPECT_TRUE(dialogs.pinRequests.empty());
    const std::vector<std::pair<QString, bool>> shownThenHidden{{"Token A", true}, {"Token A", false}};
    EXPECT_EQ(dialogs.pinPadNotices, shownThenHidden);

    // Nobody types on the pad: the reader gives up, and the signature is a cancelled PIN.
    tokens.removeToken("Token A");
    tokens.addToken("Token A", {Cert::A3});
    qunsetenv("NORVANE_PINPAD_PIN");
    dialogs.pinPadNotices.clear();
    const auto again = pki::readCertificateStore(tokens::Look::Reload);
    const auto refound = std::find_if(again.begin(), again.end(), [&](const pki::StoredCertificate& c) {
        return pki::thumbprintOf(c.certificate.get()) == TestPki::instance()[Cert::A3].thumbprint;
    });
    ASSERT_NE(refound, again.end());
    try {
        cms::TokenSigner(*refound).sign("x", kAttributes);
        FAIL() << "a pad left without a PIN must not sign";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::PinCancelled) << e.what();
    }
    EXPECT_EQ(dialogs.pinPadNotices, shownThenHidden);
    EXPECT_TRUE(dialogs.pinRequests.empty());
}

TEST(Signer, AnErrorKeepsItsKindAndTheChainOfItsCauses) {
    const Error file(ErrorKind::FileError, "sem espaço");
    const Error outer(ErrorKind::ServiceError, "envio falhou", file);
    EXPECT_EQ(outer.kind(), ErrorKind::ServiceError);
    ASSERT_EQ(outer.causes().size(), 1u);
    EXPECT_EQ(outer.causes()[0]->kind(), ErrorKind::FileError);
    EXPECT_EQ(outer.chain().size(), 2u);
    EXPECT_EQ(kindOf(std::runtime_error("x")), ErrorKind::Failure);
    EXPECT_EQ(outer.causes()[0]->message(), "sem espaço");
    EXPECT_TRUE(isPinProblem(ErrorKind::PinLocked));
    EXPECT_FALSE(isPinProblem(ErrorKind::KeyUnreachable));
}

// An error is a std::exception of its own, not a std::runtime_error: a handler of some other
// library's failures cannot take it for one of theirs. Copied (as a throw copies it) it keeps
// its text, byte for byte, its kind and its causes; anything else thrown reads as a Failure.
TEST(Signer, AnErrorIsItsOwnExceptionAndCopiesWhole) {
    static_assert(std::is_base_of_v<std::exception, Error>);
    static_assert(!std::is_base_of_v<std::runtime_error, Error>);
    static_assert(std::is_nothrow_copy_constructible_v<Error>);
    const QString text = QStringLiteral("Não foi possível abrir o arquivo /tmp/ação.pdf: não é um arquivo comum.");
    std::exception_ptr thrown;
    try {
        throw Error(ErrorKind::ServiceError, QStringLiteral("envio falhou"),
                    Error(ErrorKind::FileError, text, std::runtime_error("EIO")));
    } catch (...) {
        thrown = std::current_exception();
    }
    try {
        std::rethrow_exception(thrown);
    } catch (const std::runtime_error&) {
        ADD_FAILURE() << "taken for a std::runtime_error";
    } catch (const std::exception& caught) {
        const Error copy = dynamic_cast<const Error&>(caught);
        EXPECT_EQ(kindOf(caught), ErrorKind::ServiceError);
        EXPECT_EQ(errorText(caught), QStringLiteral("envio falhou"));
        ASSERT_EQ(copy.chain().size(), 3u);
        EXPECT_EQ(copy.causes()[0]->kind(), ErrorKind::FileError);
        EXPECT_EQ(QByteArray(copy.causes()[0]->what()), text.toUtf8());
        EXPECT_EQ(copy.causes()[0]->message(), text);
        // A cause that was no Error is kept as a Failure with its text.
        EXPECT_EQ(copy.causes()[1]->kind(), ErrorKind::Failure);
        EXPECT_EQ(copy.causes()[1]->message(), QStringLiteral("EIO"));
    }
    const std::runtime_error other("falha de outra biblioteca");
    EXPECT_EQ(kindOf(other), ErrorKind::Failure);
    EXPECT_EQ(errorText(other), QStringLiteral("falha de outra biblioteca"));
}

// The signing engine through the main window, with SoftHSM2 tokens behind p11-kit.

#include "app/u_Principal.h"
#include "core/Error.h"
#include "core/unit_esfunctions.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace norvane::test;

namespace {

const QString kKeyText = QStringLiteral(
    "Chave do certificado não encontrada. Por favor confirme se o cartão ou token USB do certificado "
    "selecionado está conectado ao seu computador ou remova e insira-o novamente.");

QByteArray pdfBytes(int size, char seed) {
    QByteArray bytes("%PDF-1.4\n%\xe2\xe3\xcf\xd3\r\n");
    while (bytes.size() < size) bytes.append(static_cast<char>(seed + bytes.size() * 13));
    return bytes.left(size);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

// The local zone is UTC-3 while it lives (POSIX rule, no zone database needed).
class LocalZoneUtcMinus3 {
public:
    LocalZoneUtcMinus3() : saved_(qgetenv("TZ")), had_(qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", "<-03>3");
        tzset();
    }
    ~LocalZoneUtcMinus3() {
        if (had_)
            qputenv("TZ", saved_);
        else
            qunsetenv("TZ");
        tzset();
    }

private:
    QByteArray saved_;
    bool had_;
};

class SigningEngine : public ::testing::Test {
protected:
    void SetUp() override {
        norvane::tokens::forgetPins();
        ASSERT_TRUE(work.isValid());
        folder = work.path() + QDir::separator();
    }

    // Logs in as the login window does: picks the A3 certificate in the pick list.
    void pickCertificate() {
        dialogs.pickAnswers.clear();
        ASSERT_EQ(window.ListaCertificados(1), QString()) << "the first look only learns the list";
        ASSERT_FALSE(dialogs.picks.empty());
        const auto& choices = dialogs.picks.back().choices;
        for (size_t i = 0; i < choices.size(); ++i)
            if (choices[i].subject == pki[Cert::A3].commonName) dialogs.pickAnswers = {static_cast<int>(i)};
        ASSERT_EQ(dialogs.pickAnswers.size(), 1u);
        ASSERT_EQ(window.ListaCertificados(1), QStringLiteral("1"));
        ASSERT_EQ(window.Certificado_Thumbprint, pki[Cert::A3].thumbprint);
    }

    QString input(const QString& name, const QByteArray& bytes) {
        const QString path = work.filePath(name);
        writeFile(path, bytes);
        return path;
    }

    void expectVerifiedSignatureOf(const QString& p7s, const QByteArray& content) {
        const VerifyResult openssl = verifyWithOpenssl(p7s, pki[Cert::Root].certPath);
        EXPECT_TRUE(openssl.ok) << openssl.log.toStdString();
        EXPECT_EQ(openssl.content, content);
        const VerifyResult gnutls = verifyWithCerttool(p7s, pki[Cert::Root].certPath);
        EXPECT_TRUE(gnutls.ok) << gnutls.log.toStdString();
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    TFPrincipal window;
    QTemporaryDir work;
    QString folder;  // the work folder with its trailing separator, as every caller passes it
};

TEST_F(SigningEngine, SignsTextAndFilesWithOnePinPromptAndTheDocumentAttributes) {
    tokens.addToken("Token A", {Cert::A3});
    pickCertificate();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    const LocalZoneUtcMinus3 zone;
    ASSERT_EQ(QDateTime::currentDateTime().offsetFromUtc(), -3 * 3600);

    // The key test of the login.
    const QDateTime beforeText = QDateTime::currentDateTimeUtc();
    const QString base64 = window.AssinarString(QStringLiteral("login"), window.Certificado_Thumbprint);
    ASSERT_FALSE(base64.isEmpty()) << dialogs.texts().size();
    const QByteArray textDer = QByteArray::fromBase64(base64.toLatin1());
    const QString textP7s = work.filePath(QStringLiteral("login.p7s"));
    writeFile(textP7s, textDer);
    expectVerifiedSignatureOf(textP7s, QByteArray("l\0o\0g\0i\0n\0", 10));
    const SignedDataContents text = readSignedData(textDer);
    EXPECT_EQ(text.documentNameDer, expectedTextAttribute(QStringLiteral("temp.txt")));
    EXPECT_EQ(text.documentDescriptionDer, expectedTextAttribute(QStringLiteral("Assinado com Assinador Norvane")));
    EXPECT_LE(qAbs(text.signingTime.secsTo(beforeText)), 2);

    // A file with every byte value, and a second one: the PIN of the run serves both.
    QByteArray bytes = pdfBytes(300000, 3);
    for (int i = 0; i < 256; ++i) bytes[1000 + i] = static_cast<char>(i);
    const QString pdf = input(QStringLiteral("Instrumento nº 1.pdf"), bytes);
    const QDateTime beforeFile = QDateTime::currentDateTimeUtc();
    EXPECT_EQ(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder), QStringLiteral("300000"));
    const QString p7s = pdf + QStringLiteral(".p7s");
    ASSERT_TRUE(QFileInfo::exists(p7s));
    expectVerifiedSignatureOf(p7s, bytes);

    const SignedDataContents file = readSignedData(readWholeFile(p7s));
    ASSERT_TRUE(file.parsed) << file.error.toStdString();
    EXPECT_EQ(file.digestAlgorithm, "SHA256");
    EXPECT_EQ(file.signerCount, 1);
    EXPECT_EQ(file.documentNameDer, expectedTextAttribute(QStringLiteral("Instrumento nº 1.pdf")));
    EXPECT_EQ(file.documentDescriptionDer, expectedTextAttribute(QStringLiteral("Assinado com Assinador Norvane")));
    EXPECT_TRUE(file.hasSigningCertificateV2);
    // The instant of the call in UTC, although the local clock reads three hours less.
    EXPECT_TRUE(file.signingTimeDer.startsWith("\x17\x0d")) << file.signingTimeDer.toHex().toStdString();
    EXPECT_TRUE(file.signingTimeDer.endsWith('Z'));
    EXPECT_LE(qAbs(file.signingTime.secsTo(beforeFile)), 2)
        << file.signingTime.toString(Qt::ISODate).toStdString() << " vs " << beforeFile.toString(Qt::ISODate).toStdString();
    ASSERT_EQ(file.certificateSubjects.size(), 2);
    EXPECT_TRUE(file.certificateSubjects.join('|').contains(pki[Cert::A3].name));
    EXPECT_TRUE(file.certificateSubjects.join('|').contains(pki[Cert::Intermediate].name));

    const QString other = input(QStringLiteral("b.PDF"), "%PDF-1.4\nsegundo\n");
    EXPECT_EQ(window.AssinarArquivo(other, window.Certificado_Thumbprint, folder), QStringLiteral("17"));
    expectVerifiedSignatureOf(other + ".p7s", "%PDF-1.4\nsegundo\n");

    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_TRUE(dialogs.boxes.empty()) << dialogs.texts().front().toStdString();
}

TEST_F(SigningEngine, SigningTheSameFileAgainReplacesItsSignature) {
    tokens.addToken("Token A", {Cert::A3});
    pickCertificate();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    const QString pdf = input(QStringLiteral("a.pdf"), pdfBytes(5000, 1));
    ASSERT_FALSE(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder).isEmpty());

    const QByteArray changed = pdfBytes(1200, 9);  // shorter: nothing of the first may remain
    writeFile(pdf, changed);
    ASSERT_EQ(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder), QStringLiteral("1200"));
    expectVerifiedSignatureOf(pdf + ".p7s", changed);
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);  // a.pdf and a.pdf.p7s
}

TEST_F(SigningEngine, WrongAndCancelledPinShowTheirMessagesUnderEachCode) {
    tokens.addToken("Token A", {Cert::A3});
    pickCertificate();
    const QString pdf = input(QStringLiteral("a.pdf"), pdfBytes(2000, 1));

    // Each failure at the PIN is told apart, so that a run over several files can end there.
    dialogs.pinAnswers = {QStringLiteral("9999"), QStringLiteral("0000"), std::nullopt, std::nullopt};
    EXPECT_EQ(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder), QString());
    EXPECT_TRUE(window.Signing.pinRefused());
    EXPECT_EQ(window.AssinarString(QStringLiteral("login"), window.Certificado_Thumbprint), QString());
    EXPECT_TRUE(window.Signing.pinRefused());
    EXPECT_EQ(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder), QString());
    EXPECT_TRUE(window.Signing.pinRefused());
    EXPECT_EQ(window.AssinarString(QStringLiteral("login"), window.Certificado_Thumbprint), QString());
    EXPECT_TRUE(window.Signing.pinRefused());
    const auto texts = dialogs.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_TRUE(texts[0].startsWith(QStringLiteral("Erro 11: PIN incorreto."))) << texts[0].toStdString();
    EXPECT_TRUE(texts[1].startsWith(QStringLiteral("Erro 04: PIN incorreto."))) << texts[1].toStdString();
    EXPECT_EQ(texts[2], QStringLiteral("Erro 11: Operação cancelada pelo usuário."));
    EXPECT_EQ(texts[3], QStringLiteral("Erro 04: Operação cancelada pelo usuário."));
    EXPECT_FALSE(QFileInfo::exists(pdf + ".p7s"));

    // Neither a wrong nor a cancelled PIN is kept: the next call asks again and signs.
    dialogs.pinAnswers = {QStringLiteral("1234")};
    EXPECT_FALSE(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder).isEmpty());
    EXPECT_FALSE(window.Signing.pinRefused());
    EXPECT_EQ(dialogs.pinPrompts.size(), 5u);
}

TEST_F(SigningEngine, UnreachableKeyShowsTheKeyTextAndKeepsTheEarlierSignature) {
    tokens.addToken("Token A", {Cert::A3}, {Cert::A3Keyless});
    pickCertificate();
    dialogs.pinAnswers = {QStringLiteral("1234")};
    const QString pdf = input(QStringLiteral("a.pdf"), pdfBytes(4000, 2));
    ASSERT_FALSE(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder).isEmpty());
    const QByteArray earlier = readWholeFile(pdf + ".p7s");
    ASSERT_FALSE(earlier.isEmpty());

    // The certificate is on the token, its key on none.
    const QString keyless = pki[Cert::A3Keyless].thumbprint;
    EXPECT_EQ(window.AssinarArquivo(pdf, keyless, folder), QString());
    EXPECT_FALSE(window.Signing.pinRefused()) << "a missing key is not a PIN failure";
    EXPECT_EQ(window.AssinarString(QStringLiteral("login"), keyless), QString());
    EXPECT_EQ(dialogs.texts(), (std::vector<QString>{"Erro 11: " + kKeyText, "Erro 04: " + kKeyText}));

    // The token is pulled out: the lookup reports it, then the signature shows the key text.
    dialogs.boxes.clear();
    writeFile(pdf, "%PDF-1.4\noutro conteudo\n");
    tokens.removeToken("Token A");
    EXPECT_EQ(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, folder), QString());
    EXPECT_EQ(window.AssinarString(QStringLiteral("login"), window.Certificado_Thumbprint), QString());
    const auto texts = dialogs.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_TRUE(texts[0].startsWith(QStringLiteral("Erro 03: "))) << texts[0].toStdString();
    EXPECT_EQ(texts[1], "Erro 11: " + kKeyText);
    EXPECT_TRUE(texts[2].startsWith(QStringLiteral("Erro 03: "))) << texts[2].toStdString();
    EXPECT_EQ(texts[3], "Erro 04: " + kKeyText);

    EXPECT_EQ(readWholeFile(pdf + ".p7s"), earlier);
    EXPECT_EQ(QDir(work.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(SigningEngine, SignatureFilesAreRefusedAndMissingOrUnreadableFilesSignNothing) {
    tokens.addToken("Token A", {Cert::A3});
    pickCertificate();
    dialogs.pinAnswers = {QStringLiteral("1234")};

    // A signature file is not signed again, in any letter case, existing or not.
    const QString p7s = input(QStringLiteral("a.pdf.P7S"), "assinatura anterior");
    EXPECT_EQ(window.AssinarArquivo(p7s, window.Certificado_Thumbprint, folder), QString());
    EXPECT_EQ(window.AssinarArquivo(work.filePath("nada.p7s"), window.Certificado_Thumbprint, folder), QString());
    EXPECT_EQ(dialogs.texts(),
              (std::vector<QString>{"O arquivo a.pdf.P7S já é uma assinatura (.p7s) e não será assinado novamente.",
                                    "O arquivo nada.p7s já é uma assinatura (.p7s) e não será assinado novamente."}));
    EXPECT_EQ(readWholeFile(p7s), "assinatura anterior");

    // A missing file: the error reaches the caller, the engine shows nothing.
    dialogs.boxes.clear();
    const QString missing = work.filePath(QStringLiteral("sumiu.pdf"));
    try {
        window.AssinarArquivo(missing, window.Certificado_Thumbprint, folder);
        FAIL() << "a missing file must raise";
    } catch (const norvane::Error& error) {
        EXPECT_EQ(error.kind(), norvane::ErrorKind::FileError) << error.what();
        EXPECT_TRUE(QString::fromUtf8(error.what()).startsWith("Não foi possível abrir o arquivo " + missing))
            << error.what();
    }
    EXPECT_TRUE(dialogs.boxes.empty());

    // A pipe (or a folder) is refused the same way, before an open that would wait for a writer.
    const QString pipe = work.filePath(QStringLiteral("fila.pdf"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString& notAFile : {pipe, work.path()}) {
        try {
            window.AssinarArquivo(notAFile, window.Certificado_Thumbprint, folder);
            ADD_FAILURE() << "must raise for " << notAFile.toStdString();
        } catch (const norvane::Error& error) {
            EXPECT_EQ(error.kind(), norvane::ErrorKind::FileError) << error.what();
            EXPECT_EQ(QString::fromUtf8(error.what()),
                      "Não foi possível abrir o arquivo " + notAFile + ": não é um arquivo comum.");
        }
    }
    EXPECT_TRUE(dialogs.boxes.empty());

    // A reading failure after the file opened: nothing of it is signed.
    const QString unreadable = QStringLiteral("/proc/self/mem");
    EXPECT_EQ(window.AssinarArquivo(unreadable, window.Certificado_Thumbprint, folder), QString());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith(QStringLiteral("Erro 09: Falha ao ler o arquivo /proc/self/mem")))
        << dialogs.texts()[0].toStdString();
    EXPECT_FALSE(QFileInfo::exists(work.filePath("mem.p7s")));
    EXPECT_TRUE(dialogs.pinPrompts.empty()) << "nothing was signed";

    // A save folder that does not exist fails the signing stage.
    dialogs.boxes.clear();
    const QString pdf = input(QStringLiteral("a.pdf"), pdfBytes(100, 1));
    EXPECT_EQ(window.AssinarArquivo(pdf, window.Certificado_Thumbprint, work.filePath("nao-existe") + "/"), QString());
    ASSERT_EQ(dialogs.boxes.size(), 1u);
    EXPECT_TRUE(dialogs.texts()[0].startsWith(QStringLiteral("Erro 11: Não foi possível criar o arquivo ")))
        << dialogs.texts()[0].toStdString();
}

TEST_F(SigningEngine, WithoutACertificatePickNothingIsSigned) {
    tokens.addToken("Token A", {Cert::A3});
    const QString pdf = input(QStringLiteral("a.pdf"), pdfBytes(100, 1));
    EXPECT_EQ(window.AssinarString(QStringLiteral("login"), pki[Cert::A3].thumbprint), QString());
    EXPECT_EQ(window.AssinarArquivo(pdf, pki[Cert::A3].thumbprint, folder), QString());
    const auto texts = dialogs.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_TRUE(texts[0].startsWith(QStringLiteral("Erro 04: Nenhum certificado foi escolhido"))) << texts[0].toStdString();
    EXPECT_TRUE(texts[1].startsWith(QStringLiteral("Erro 13: Nenhum certificado foi escolhido"))) << texts[1].toStdString();
    EXPECT_FALSE(QFileInfo::exists(pdf + ".p7s"));
}

}  // namespace

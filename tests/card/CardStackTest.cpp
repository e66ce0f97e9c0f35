// A PIV card in vpcd's virtual reader, reached as a clerk's e-CPF card is: pcscd, OpenSC's
// PKCS#11 module registered with p11-kit, the program's own token access. Run by stage.py in
// private namespaces with a pcscd of its own (NORVANE_PCSCD_FOLDER); the card holds the test
// PKI's e-CPF A3 and its key, and counts the PIN's tries itself.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "Card.h"
#include "CardTerminal.h"
#include "certs/CAPICOM_TLB.h"
#include "certs/doctor/TokenDoctor.h"
#include "certs/tokens/TokenAccess.h"
#include "core/Background.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace CAPICOM_TLB;
using namespace norvane::test;

namespace {

QByteArray signOffThread(const CertificatePtr& cert, const QByteArray& content) {
    auto signer = CoSigner::Create();
    signer->SetCertificate(cert);
    auto utilities = CoUtilities::Create();
    auto data = CoSignedData::Create();
    data->SetBinaryContent(utilities->ByteArrayToBinaryString(content));
    return utilities->BinaryStringToByteArray(
        norvane::runInBackground([&] { return data->Sign(signer, false, CAPICOM_ENCODE_BINARY); }));
}

norvane::ErrorKind signFailure(const CertificatePtr& cert) {
    try {
        signOffThread(cert, "x");
    } catch (const CapicomError& e) {
        return e.kind();
    }
    return norvane::ErrorKind::Failure;
}

class CardStack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("NORVANE_PCSCD_FOLDER")) << "run by tests/card/stage.py";
        norvane::tokens::restoreDefaultModulesForTesting();
        norvane::tokens::forgetPins();
    }
    void TearDown() override { norvane::tokens::restoreDefaultModulesForTesting(); }

    CertificatePtr cardCertificate() {
        EXPECT_TRUE(waitForCard(true)) << "the card's certificate never showed";
        return myStore()->Find(0, pki[Cert::A3].thumbprint, true)->Item(1);
    }

    const TestPki& pki = TestPki::instance();
    SoftHsmTokens trust;  // the test root trusted; SoftHSM's tokens in an empty folder of its own
    ScriptedDialogs dialogs;
};

}  // namespace

TEST_F(CardStack, ThePickListOffersTheCardsECpfThroughOpenScAndItsSignatureVerifies) {
    Card card(3);
    ASSERT_TRUE(waitForCard(true));
    auto usable = myStore()->Find(12, 128, true)->Find(12, 64, true)->Find(9, 0, true);
    dialogs.pickAnswers = {0};
    auto picked = usable->Select("Título", "Escolha:", false);
    ASSERT_EQ(picked->Count(), 1);
    ASSERT_EQ(dialogs.picks.size(), 1u);
    bool offered = false;
    for (const auto& choice : dialogs.picks[0].choices) offered = offered || choice.subject == pki[Cert::A3].commonName;
    EXPECT_TRUE(offered);
    const auto cert = myStore()->Find(0, pki[Cert::A3].thumbprint, true)->Item(1);
    EXPECT_EQ(cert->location().module, NORVANE_P11KIT_PROXY) << "reached through p11-kit";
    EXPECT_EQ(cert->location().manufacturer, "piv_II") << "OpenSC's PIV driver";

    dialogs.pinAnswers = {QString("1234")};
    const QByteArray signature = signOffThread(cert, "instrumento");
    QTemporaryDir folder;
    const QString p7s = folder.filePath("instrumento.p7s");
    QFile out(p7s);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(signature);
    out.close();
    const VerifyResult verified = verifyWithOpenssl(p7s, pki[Cert::Root].certPath);
    EXPECT_TRUE(verified.ok) << verified.log.toStdString();
    EXPECT_EQ(verified.content, "instrumento");
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_EQ(card.state(), "tries=3 pins-while-locked=0");
}

TEST_F(CardStack, TheDoctorShowsPcscdTheReaderTheCardAndItsFlags) {
    Card card(3);
    ASSERT_TRUE(waitForCard(true));
    const QString socket = qEnvironmentVariable("NORVANE_PCSCD_FOLDER") + "/pcscd.comm";
    qputenv("PCSCLITE_CSOCK_NAME", socket.toUtf8());
    const QString report = norvane::doctor::diagnosticReport();
    EXPECT_TRUE(report.contains("pcscd: em execução (" + socket + ")")) << report.toStdString();
    // OpenSC labels the token after the certificate's name ("NAME:CPF"; 0.26 writes "NAME.CPF").
    EXPECT_TRUE(report.contains("Leitor \"Virtual PCD 00 00\": token \"" + pki[Cert::A3].name)) << report.toStdString();
    EXPECT_TRUE(report.contains("Fabricante: piv_II")) << report.toStdString();
    EXPECT_TRUE(report.contains("Situação: exige login com PIN; PIN de 4 a 8 caracteres")) << report.toStdString();
    EXPECT_TRUE(report.contains("Lista de escolha do login: oferecido")) << report.toStdString();
    EXPECT_TRUE(dialogs.pinPrompts.empty()) << "the doctor asks for no PIN";

    qputenv("PCSCLITE_CSOCK_NAME", (qEnvironmentVariable("NORVANE_PCSCD_FOLDER") + "/nenhum.comm").toUtf8());
    EXPECT_TRUE(norvane::doctor::diagnosticReport().contains("pcscd: não está em execução"));
    qunsetenv("PCSCLITE_CSOCK_NAME");
}

TEST_F(CardStack, TheLastTryIsSaidBeforeThePinIsSentAndALockedPinIsNeverSent) {
    Card card(2);
    const auto cert = cardCertificate();
    dialogs.pinAnswers = {QString("9999")};
    EXPECT_EQ(signFailure(cert), norvane::ErrorKind::PinRefused);
    ASSERT_EQ(dialogs.pinRequests.size(), 1u);
    EXPECT_FALSE(dialogs.pinRequests[0].message.contains(kFinalTry));

    // One try left: the prompt says so, and while it waits the card has had no PIN.
    QString whileAsked;
    dialogs.onPinPrompt = [&] { whileAsked = card.state(); };
    dialogs.pinAnswers = {QString("8888")};
    EXPECT_EQ(signFailure(cert), norvane::ErrorKind::PinLocked);
    ASSERT_EQ(dialogs.pinRequests.size(), 2u);
    EXPECT_TRUE(dialogs.pinRequests[1].message.startsWith(kFinalTry + "\n"))
        << dialogs.pinRequests[1].message.toStdString();
    EXPECT_EQ(whileAsked, "tries=1 pins-while-locked=0");

    // Locked: said so without a prompt, and no PIN reaches the card.
    dialogs.onPinPrompt = nullptr;
    dialogs.pinAnswers = {QString("1234")};
    try {
        signOffThread(cert, "x");
        FAIL() << "a locked PIN must fail";
    } catch (const CapicomError& e) {
        EXPECT_EQ(e.kind(), norvane::ErrorKind::PinLocked);
        EXPECT_TRUE(e.message().contains(kLocked)) << e.message().toStdString();
    }
    EXPECT_EQ(dialogs.pinRequests.size(), 2u);
    EXPECT_TRUE(norvane::doctor::diagnosticReport().contains("PIN BLOQUEADO (desbloqueie com o PUK)"));

    // The command line: the login fails (exit 3) with the same words, and asks for no PIN.
    BatchFolders folders;
    const TerminalRun run = runBatchInTerminal(folders, {QString("1234")});
    EXPECT_EQ(run.exitCode, 3) << run.describe().toStdString();
    EXPECT_TRUE(run.errors.contains(kLocked)) << run.describe().toStdString();
    EXPECT_EQ(run.prompts, 0) << run.describe().toStdString();
    EXPECT_EQ(card.state(), "tries=0 pins-while-locked=0");
}

TEST_F(CardStack, ABatchOfTheCommandLineSignsWithTheCardAndEverySignatureVerifies) {
    Card card(3);
    ASSERT_TRUE(waitForCard(true));
    BatchFolders folders;
    const TerminalRun run = runBatchInTerminal(folders, {QString("1234")});
    ASSERT_EQ(run.exitCode, 0) << run.describe().toStdString();
    EXPECT_EQ(run.prompts, 1);
    const QStringList signatures = QDir(folders.output()).entryList({"*.p7s"}, QDir::Files, QDir::Name);
    EXPECT_EQ(signatures.size(), folders.accepted().size());
    for (const QString& name : signatures) {
        const VerifyResult verified = verifyWithOpenssl(folders.output() + "/" + name, pki[Cert::Root].certPath);
        EXPECT_TRUE(verified.ok) << name.toStdString() << verified.log.toStdString();
        const QStringList subjects = readSignedData(readWholeFile(folders.output() + "/" + name)).certificateSubjects;
        EXPECT_TRUE(subjects.join('\n').contains(pki[Cert::A3].commonName)) << subjects.join('\n').toStdString();
    }
}

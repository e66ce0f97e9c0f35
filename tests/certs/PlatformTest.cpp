// The certificate platform against real SoftHSM2 tokens reached through p11-kit's proxy.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include "core/Background.h"
#include "certs/CAPICOM_TLB.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SignatureChecks.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace CAPICOM_TLB;
using namespace norvane::test;

namespace {

std::shared_ptr<ICertificates2> myStore() {
    auto store = CoStore::Create();
    store->Open(CAPICOM_CURRENT_USER_STORE, "My", CAPICOM_STORE_OPEN_READ_ONLY);
    return store->Certificates();
}

// The store lists every token of the machine; the tests look at the test PKI's certificates
// only, so that a card of the machine's own (a developer's e-CPF) changes nothing.
QSet<QString> thumbprints(const ICertificates2& certs) {
    QSet<QString> out;
    for (long i = 1; i <= certs.Count(); ++i)
        if (const QString t = certs.Item(i)->Thumbprint(); TestPki::instance().issued(t)) out.insert(t);
    return out;
}

// How many entries of the store are the test PKI's (a certificate listed twice counts twice).
long ownCount(const ICertificates2& certs) {
    long n = 0;
    for (long i = 1; i <= certs.Count(); ++i) n += TestPki::instance().issued(certs.Item(i)->Thumbprint()) ? 1 : 0;
    return n;
}

QSet<QString> thumbprintsOf(std::initializer_list<Cert> which) {
    QSet<QString> out;
    for (Cert c : which) out.insert(TestPki::instance()[c].thumbprint);
    return out;
}

CertificatePtr findOne(const QString& thumbprint) { return myStore()->Find(0, thumbprint, true)->Item(1); }

// Signs `content` with the certificate as the signing engine does, on a worker thread.
BinaryString signOffThread(const CertificatePtr& cert, const QByteArray& content, long encoding) {
    auto signer = CoSigner::Create();
    signer->SetCertificate(cert);
    auto utilities = CoUtilities::Create();
    auto data = CoSignedData::Create();
    data->SetBinaryContent(utilities->ByteArrayToBinaryString(content));
    const QVariant values[] = {QDateTime::currentDateTime(), QString("a.pdf"),
                               QString("Assinado com Assinador Norvane")};
    for (long name = 0; name < 3; ++name) {
        auto attribute = CoAttribute::Create();
        attribute->SetName(name);
        attribute->SetValue(values[name]);
        signer->AuthenticatedAttributes()->Add(attribute);
    }
    return norvane::runInBackground([&] { return data->Sign(signer, false, encoding); });
}

long signErrorCode(const CertificatePtr& cert) {
    try {
        signOffThread(cert, "x", 1);
    } catch (const CapicomError& e) {
        return e.code();
    }
    return 0;
}

class Platform : public ::testing::Test {
protected:
    void SetUp() override { norvane::tokens::forgetPins(); }
    const TestPki& pki = TestPki::instance();
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
};

}  // namespace

TEST_F(Platform, EveryOpenReadsTheTokensAnew) {
    tokens.addToken("Token A", {Cert::A3, Cert::Expired}, {Cert::A3Keyless});
    auto first = myStore();
    EXPECT_EQ(thumbprints(*first), thumbprintsOf({Cert::A3, Cert::Expired, Cert::A3Keyless, Cert::Intermediate}));
    const auto a3 = first->Find(0, pki[Cert::A3].thumbprint, false)->Item(1);
    EXPECT_EQ(a3->location().label, "Token A");
    EXPECT_EQ(a3->location().id.toHex(), pki[Cert::A3].keyId.toLatin1());

    tokens.addToken("Token B", {Cert::A3Printable});
    EXPECT_EQ(thumbprints(*myStore()),
              thumbprintsOf({Cert::A3, Cert::Expired, Cert::A3Keyless, Cert::Intermediate, Cert::A3Printable}));

    tokens.removeToken("Token A");
    EXPECT_EQ(thumbprints(*myStore()), thumbprintsOf({Cert::A3Printable, Cert::Intermediate}));
    // What was read before stays readable.
    EXPECT_EQ(a3->GetInfo(0), pki[Cert::A3].commonName);

    // Opened on the GUI thread, the store reads the tokens while the event loop keeps
    // turning (a slow reader never freezes the window): an event posted before is delivered.
    bool turned = false;
    QMetaObject::invokeMethod(qApp, [&] { turned = true; }, Qt::QueuedConnection);
    EXPECT_EQ(thumbprints(*myStore()), thumbprintsOf({Cert::A3Printable, Cert::Intermediate}));
    EXPECT_TRUE(turned);
    QCoreApplication::processEvents();
}

TEST_F(Platform, FindNarrowsByKeyUsageDatesTrustAndThumbprint) {
    tokens.addToken("Token A", {Cert::A3, Cert::A3Printable, Cert::A1, Cert::ECnpj, Cert::TwoPolicies, Cert::Expired,
                                Cert::NotYetValid, Cert::NoNonRepudiation, Cert::NoDigitalSignature, Cert::NoKeyUsage,
                                Cert::Untrusted, Cert::NoSan});
    auto all = myStore();
    EXPECT_EQ(ownCount(*all), 13);

    // Key usage alone (not valid-only): a certificate without the extension has every usage.
    EXPECT_EQ(thumbprints(*all->Find(12, 128, false)->Find(12, 64, false)),
              thumbprintsOf({Cert::A3, Cert::A3Printable, Cert::A1, Cert::ECnpj, Cert::TwoPolicies, Cert::Expired,
                             Cert::NotYetValid, Cert::NoKeyUsage, Cert::Untrusted, Cert::NoSan}));
    EXPECT_EQ(thumbprints(*all->Find(9, 0, false)).contains(pki[Cert::Expired].thumbprint), false);
    EXPECT_EQ(thumbprints(*all->Find(9, 0, false)).contains(pki[Cert::Untrusted].thumbprint), true);

    // The three filters of the listing, valid-only.
    auto usable = all->Find(12, 128, true)->Find(12, 64, true)->Find(9, 0, true);
    EXPECT_EQ(thumbprints(*usable), thumbprintsOf({Cert::A3, Cert::A3Printable, Cert::A1, Cert::ECnpj,
                                                   Cert::TwoPolicies, Cert::NoKeyUsage, Cert::NoSan}));

    // A time other than now.
    const QDateTime later = QDateTime::currentDateTimeUtc().addDays(30);
    EXPECT_TRUE(thumbprints(*all->Find(9, later, false)).contains(pki[Cert::NotYetValid].thumbprint));

    // Thumbprints in any letter case; nothing for an empty one or an untrusted certificate.
    EXPECT_EQ(all->Find(0, pki[Cert::A3].thumbprint.toLower(), true)->Count(), 1);
    EXPECT_EQ(all->Find(0, "", true)->Count(), 0);
    EXPECT_EQ(all->Find(0, pki[Cert::Untrusted].thumbprint, true)->Count(), 0);
    EXPECT_EQ(all->Find(0, pki[Cert::Untrusted].thumbprint, false)->Count(), 1);
    try {
        all->Find(0, "", true)->Item(1);
        FAIL() << "Item past Count must fail";
    } catch (const CapicomError& e) {
        EXPECT_EQ(e.code(), CRYPT_E_NOT_FOUND);
        EXPECT_FALSE(e.message().isEmpty());
    }
    EXPECT_THROW(all->Find(77, 0, true), CapicomError);
}

TEST_F(Platform, IntermediatesComeFromTheTokenOrTheTrustStore) {
    tokens.addToken("Sem intermediária", {Cert::A3}, {}, false);
    EXPECT_EQ(myStore()->Find(0, pki[Cert::A3].thumbprint, true)->Count(), 0);

    QTemporaryDir dir;
    const QString bundle = dir.filePath("bundle.pem");
    QFile out(bundle);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(readWholeFile(pki[Cert::Root].certPath) + readWholeFile(pki[Cert::Intermediate].certPath));
    out.close();
    qputenv("SSL_CERT_FILE", bundle.toUtf8());  // the fixture puts the original back
    EXPECT_EQ(myStore()->Find(0, pki[Cert::A3].thumbprint, true)->Count(), 1);
}

TEST_F(Platform, TheTrustAnchorsAreReadAgainWhenTheirFileChanges) {
    tokens.addToken("Token A", {Cert::A3});
    QTemporaryDir dir;
    const QString bundle = dir.filePath("bundle.pem");
    const auto writeBundle = [&](const QByteArray& pem) {
        QFile out(bundle);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(pem);
    };
    writeBundle(readWholeFile(pki[Cert::Root].certPath));
    qputenv("SSL_CERT_FILE", bundle.toUtf8());  // the fixture puts the original back
    EXPECT_EQ(myStore()->Find(0, pki[Cert::A3].thumbprint, true)->Count(), 1);
    // The same file, now without our root (another one in its place): no longer trusted.
    writeBundle(readWholeFile(pki[Cert::UntrustedRoot].certPath));
    EXPECT_EQ(myStore()->Find(0, pki[Cert::A3].thumbprint, true)->Count(), 0);
    writeBundle(readWholeFile(pki[Cert::Root].certPath));
    EXPECT_EQ(myStore()->Find(0, pki[Cert::A3].thumbprint, true)->Count(), 1);
}

TEST_F(Platform, CertificateFieldsAndExport) {
    tokens.addToken("Token A", {Cert::A3});
    const auto cert = findOne(pki[Cert::A3].thumbprint);
    EXPECT_EQ(cert->GetInfo(0), "FULANO DE TAL:11122233344");
    EXPECT_EQ(cert->GetInfo(1), "AC Intermediaria Teste Norvane");
    EXPECT_EQ(cert->GetInfo(2), "fulano@example.com");
    EXPECT_EQ(cert->Thumbprint(), pki[Cert::A3].thumbprint);
    EXPECT_EQ(cert->SerialNumber(), pki[Cert::A3].serial);
    EXPECT_EQ(cert->SerialNumber(), cert->SerialNumber().toUpper());

    const QString base64 = cert->Export(0);
    const QStringList lines = base64.split("\r\n");
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines.last().isEmpty()) << "every line ends in CR LF";
    for (int i = 0; i + 2 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 64);
    EXPECT_LE(lines[lines.size() - 2].size(), 64);
    EXPECT_FALSE(base64.contains(QRegularExpression("[^\r]\n")));
    EXPECT_EQ(QByteArray::fromBase64(base64.toLatin1()), pki[Cert::A3].der);
    EXPECT_EQ(CoUtilities::Create()->BinaryStringToByteArray(cert->Export(1)), pki[Cert::A3].der);

    const auto extensions = cert->Extensions();
    QStringList oids;
    for (long i = 1; i <= extensions->Count(); ++i) oids << extensions->Item(i)->OID()->Value();
    EXPECT_EQ(oids,
              QStringList({"2.5.29.14", "2.5.29.35", "2.5.29.32", "2.5.29.19", "2.5.29.15", "2.5.29.37", "2.5.29.17"}));
    EXPECT_TRUE(extensions->Item(5)->IsCritical());
    EXPECT_THROW(extensions->Item(8), CapicomError);
}

TEST_F(Platform, SelectShowsThePickListAndReturnsThePick) {
    tokens.addToken("Token A", {Cert::A3, Cert::A1});
    auto usable = myStore()->Find(12, 128, true)->Find(12, 64, true)->Find(9, 0, true);
    ASSERT_EQ(usable->Count(), 2);

    dialogs.pickAnswers = {1, std::nullopt};
    auto picked = usable->Select("Título", "Escolha:", false);
    ASSERT_EQ(picked->Count(), 1);
    EXPECT_EQ(picked->Item(1)->Thumbprint(), usable->Item(2)->Thumbprint());
    ASSERT_EQ(dialogs.picks.size(), 1u);
    EXPECT_EQ(dialogs.picks[0].title, "Título");
    EXPECT_EQ(dialogs.picks[0].prompt, "Escolha:");
    ASSERT_EQ(dialogs.picks[0].choices.size(), 2u);
    const auto& choice = dialogs.picks[0].choices[1];
    EXPECT_EQ(choice.subject, usable->Item(2)->GetInfo(0));
    EXPECT_EQ(choice.issuer, "AC Intermediaria Teste Norvane");
    EXPECT_EQ(choice.validTo, usable->Item(2)->ValidToDate().toLocalTime().toString("dd/MM/yyyy"));

    EXPECT_EQ(usable->Select("Título", "Escolha:", false)->Count(), 0) << "cancel: an empty pick";

    try {
        usable->Find(0, "00", true)->Select("Título", "Escolha:", false);
        FAIL() << "an empty collection has nothing to pick";
    } catch (const CapicomError& e) {
        EXPECT_TRUE(e.message().contains("Nenhum certificado digital válido foi encontrado")) << e.what();
        EXPECT_TRUE(e.message().contains("token")) << e.what();
    }
    EXPECT_EQ(dialogs.picks.size(), 2u) << "no list is shown for an empty collection";
}

TEST_F(Platform, SignsWithTheTokenKeyAskingThePinOncePerRun) {
    tokens.addToken("Token A", {Cert::A3});
    dialogs.pinAnswers = {QString("1234")};
    const QByteArray content("%PDF-1.4\n\x00\xff binary \r\n", 22);

    const BinaryString signedBytes = signOffThread(findOne(pki[Cert::A3].thumbprint), content, 1);
    const QByteArray der = CoUtilities::Create()->BinaryStringToByteArray(signedBytes);
    QTemporaryDir dir;
    const QString p7s = dir.filePath("a.pdf.p7s");
    QFile f(p7s);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(der);
    f.close();
    const VerifyResult verified = verifyWithOpenssl(p7s, pki[Cert::Root].certPath);
    EXPECT_TRUE(verified.ok) << verified.log.toStdString();
    EXPECT_EQ(verified.content, content);
    const SignedDataContents parts = readSignedData(der);
    EXPECT_EQ(parts.documentNameDer, expectedTextAttribute("a.pdf"));
    // The signer and the intermediate; never the root.
    ASSERT_EQ(parts.certificateSubjects.size(), 2);
    EXPECT_FALSE(parts.certificateSubjects.join("|").contains("AC Raiz"));

    // A new look at the tokens reloads the module; the PIN of this run opens the token again.
    const BinaryString base64 = signOffThread(findOne(pki[Cert::A3].thumbprint), "login", 0);
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
    EXPECT_TRUE(base64.endsWith("\r\n"));
    EXPECT_EQ(readSignedData(QByteArray::fromBase64(base64)).content, QByteArray("login"));

    // A binary string is its bytes; a text is signed as the platform signs a wide text.
    auto data = CoSignedData::Create();
    data->SetBinaryContent(CoUtilities::Create()->ByteArrayToBinaryString(content));
    EXPECT_EQ(data->contentBytes(), content);
    data->SetContent("ló€");
    EXPECT_EQ(data->contentBytes(), QByteArray("l\0\xf3\0\xac\x20", 6));
    EXPECT_THROW(data->SetBinaryContent(QString("€")), CapicomError);
}

TEST_F(Platform, AKeyThatWantsThePinForEveryUseSignsWithThePinOfTheRun) {
    tokens.keysAlwaysAuthenticate = true;
    tokens.addToken("Token A", {Cert::A3});
    dialogs.pinAnswers = {QString("1234")};
    for (int i = 0; i < 2; ++i) {
        const QByteArray der = CoUtilities::Create()->BinaryStringToByteArray(
            signOffThread(findOne(pki[Cert::A3].thumbprint), "conteudo", 1));
        EXPECT_EQ(readSignedData(der).content, QByteArray("conteudo"));
    }
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);
}

TEST_F(Platform, PinAndKeyFailuresAreDistinctErrors) {
    tokens.addToken("Token A", {Cert::A3}, {Cert::A3Keyless});

    dialogs.pinAnswers = {QString("9999")};
    try {
        signOffThread(findOne(pki[Cert::A3].thumbprint), "x", 1);
        FAIL() << "a wrong PIN must fail";
    } catch (const CapicomError& e) {
        EXPECT_EQ(e.code(), SCARD_W_WRONG_CHV);
        EXPECT_TRUE(e.message().startsWith("PIN incorreto.")) << e.what();
    }
    dialogs.pinAnswers = {std::nullopt};
    try {
        signOffThread(findOne(pki[Cert::A3].thumbprint), "x", 1);
        FAIL() << "a cancelled prompt must fail";
    } catch (const CapicomError& e) {
        EXPECT_EQ(e.code(), ERROR_CANCELLED);
        EXPECT_EQ(e.message(), "Operação cancelada pelo usuário.");
    }
    ASSERT_EQ(dialogs.pinPrompts.size(), 2u) << "a wrong PIN is not kept";
    EXPECT_EQ(dialogs.pinPrompts[0], "Token A");
    // SoftHSM counts the wrong PIN: the next prompt warns, and still asks for the PIN.
    EXPECT_EQ(dialogs.pinPrompts[1],
              "Atenção: o PIN já foi digitado incorretamente.\nDigite o PIN do cartão ou token \"Token A\":");

    // The certificate is on the token, its key is not.
    dialogs.pinAnswers = {QString("1234")};
    const auto keyless = myStore()->Find(0, pki[Cert::A3Keyless].thumbprint, true)->Item(1);
    EXPECT_EQ(signErrorCode(keyless), NTE_BAD_KEYSET);

    // The token is pulled out after the certificate was found.
    const auto a3 = findOne(pki[Cert::A3].thumbprint);
    tokens.removeToken("Token A");
    EXPECT_EQ(signErrorCode(a3), NTE_BAD_KEYSET);

    // Nothing to sign with.
    auto signer = CoSigner::Create();
    EXPECT_THROW(CoSignedData::Create()->Sign(signer, false, 0), CapicomError);
}

TEST(Utilities, BinaryStringsAreLossless) {
    QByteArray all;
    for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));
    auto u = CoUtilities::Create();
    const BinaryString s = u->ByteArrayToBinaryString(all);
    EXPECT_EQ(s.size(), 256);
    EXPECT_EQ(static_cast<unsigned char>(s[255]), 255);
    EXPECT_EQ(u->BinaryStringToByteArray(s), all);
    // The very bytes both ways, shared rather than copied (signed files are tens of megabytes).
    EXPECT_EQ(s.constData(), all.constData());
    EXPECT_EQ(u->BinaryStringToByteArray(s).constData(), all.constData());
    auto data = CoSignedData::Create();
    data->SetBinaryContent(s);
    EXPECT_EQ(data->contentBytes().constData(), all.constData());
    EXPECT_THROW(u->BinaryStringToByteArray(QString("ação€")), CapicomError);
}

namespace {

// The vendor table pointed at a folder of the test's own; put back afterwards.
class VendorDrivers : public Platform {
protected:
    void TearDown() override { norvane::tokens::restoreDefaultModulesForTesting(); }

    // A copy of SoftHSM's library under a vendor's file name: a driver p11-kit knows nothing of.
    QString vendorCopy(const QString& name) {
        const QString path = folder.filePath(name);
        if (!QFile::exists(path)) {
            EXPECT_TRUE(QFile::copy(SoftHsmTokens::softHsmModule(), path));
        }
        return path;
    }
    void useTable(std::initializer_list<QString> files) {
        norvane::tokens::setVendorDriversForTesting({{"Teste", {folder.path()}, QStringList(files)}});
    }

    QTemporaryDir folder;
};

}  // namespace

TEST_F(VendorDrivers, AVendorDriverIsReadWithoutP11KitAndATokenReachedTwiceIsListedOnce) {
    tokens.addToken("Token A", {Cert::A3});
    vendorCopy("libeToken.so");

    // No proxy at all: the token comes through the vendor's file only, and signs.
    norvane::tokens::setProxyModuleForTesting(QString());
    useTable({"libeToken.so"});
    auto store = myStore();
    EXPECT_EQ(thumbprints(*store), thumbprintsOf({Cert::A3, Cert::Intermediate}));
    const auto a3 = store->Find(0, pki[Cert::A3].thumbprint, true)->Item(1);
    EXPECT_EQ(a3->location().module, folder.filePath("libeToken.so"));
    dialogs.pinAnswers = {QString("1234")};
    EXPECT_EQ(readSignedData(CoUtilities::Create()->BinaryStringToByteArray(signOffThread(a3, "x", 1))).content, "x");

    // Through the proxy and the vendor's file: once.
    norvane::tokens::setProxyModuleForTesting(NORVANE_P11KIT_PROXY);
    useTable({"libeToken.so"});
    EXPECT_EQ(ownCount(*myStore()), 2);
    EXPECT_TRUE(norvane::tokens::moduleProblems().isEmpty()) << norvane::tokens::moduleProblems().join('\n').toStdString();

    // A driver that cannot be loaded is skipped, with its reason kept; the tokens still show.
    QFile junk(folder.filePath("libIDPrimePKCS11.so"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write("not a library");
    junk.close();
    useTable({"libeToken.so", "libIDPrimePKCS11.so"});
    EXPECT_EQ(thumbprints(*myStore()), thumbprintsOf({Cert::A3, Cert::Intermediate}));
    const QStringList problems = norvane::tokens::moduleProblems();
    ASSERT_EQ(problems.size(), 1);
    EXPECT_TRUE(problems[0].startsWith(folder.filePath("libIDPrimePKCS11.so") + ": ")) << problems[0].toStdString();
}

TEST_F(VendorDrivers, ADriverThatP11KitLoadsIsNotLoadedAgainAndNumberedVersionsAreFound) {
    tokens.addToken("Token A", {Cert::A3});
    // The very file p11-kit loads, under a vendor's name: p11-kit's load serves.
    ASSERT_TRUE(QFile::link(SoftHsmTokens::softHsmModule(), folder.filePath("libaetpkss.so")));
    vendorCopy("libaetpkss.so.3.0");
    norvane::tokens::setProxyModuleForTesting(QString());
    useTable({"libaetpkss.so", "libaetpkss.so.*"});
    EXPECT_EQ(thumbprints(*myStore()), thumbprintsOf({Cert::A3, Cert::Intermediate}));
    EXPECT_EQ(findOne(pki[Cert::A3].thumbprint)->location().module, folder.filePath("libaetpkss.so"))
        << "without the proxy, the link is a driver like any other";

    norvane::tokens::setProxyModuleForTesting(NORVANE_P11KIT_PROXY);
    useTable({"libaetpkss.so", "libaetpkss.so.*"});
    QSet<QString> modules;
    auto store = myStore();
    for (long i = 1; i <= store->Count(); ++i)
        if (pki.issued(store->Item(i)->Thumbprint())) modules.insert(store->Item(i)->location().module);
    EXPECT_EQ(modules, QSet<QString>({NORVANE_P11KIT_PROXY})) << "the copy reaches the same token: listed once";
}

TEST_F(Platform, ATokenPluggedInAfterASignatureIsFoundByItsThumbprintAndAPulledOneIsSeen) {
    tokens.addToken("Token A", {Cert::A3});
    dialogs.pinAnswers = {QString("1234")};
    const auto a3 = findOne(pki[Cert::A3].thumbprint);
    signOffThread(a3, "um", 1);
    // Logged in: the next signatures keep the module, the login and the key.
    signOffThread(findOne(pki[Cert::A3].thumbprint), "dois", 1);
    EXPECT_EQ(dialogs.pinPrompts.size(), 1u);

    tokens.addToken("Token B", {Cert::A3Printable});
    const auto printable = findOne(pki[Cert::A3Printable].thumbprint);
    EXPECT_EQ(printable->location().label, "Token B");

    tokens.removeToken("Token B");
    EXPECT_EQ(myStore()->Find(0, pki[Cert::A3Printable].thumbprint, false)->Count(), 0);
    EXPECT_EQ(signErrorCode(printable), NTE_BAD_KEYSET);
}

TEST_F(Platform, TheTokensStayUsableWhileAKeyUsePinPromptWaits) {
    tokens.keysAlwaysAuthenticate = true;
    tokens.addToken("Token A", {Cert::A3});
    dialogs.pinAnswers = {QString("1234")};
    const auto a3 = findOne(pki[Cert::A3].thumbprint);
    signOffThread(a3, "um", 1);
    // The token stays logged in, the PIN is forgotten: the key asks for it again (no second
    // login), and while its prompt waits the GUI thread still reaches the tokens.
    norvane::tokens::forgetPins();
    dialogs.pinAnswers = {QString("1234")};
    bool listedDuringPrompt = false;
    dialogs.onPinPrompt = [&] { listedDuringPrompt = ownCount(*myStore()) == 2; };
    EXPECT_EQ(readSignedData(CoUtilities::Create()->BinaryStringToByteArray(signOffThread(a3, "dois", 1))).content,
              "dois");
    EXPECT_TRUE(listedDuringPrompt);
    EXPECT_EQ(dialogs.pinPrompts.size(), 2u);
}

TEST_F(Platform, AWrongPinForAKeyThatWantsItAtEveryUseIsARefusedPin) {
    tokens.keysAlwaysAuthenticate = true;
    tokens.addToken("Token A", {Cert::A3});
    dialogs.pinAnswers = {QString("1234")};
    const auto a3 = findOne(pki[Cert::A3].thumbprint);
    signOffThread(a3, "um", 1);
    // Logged in, the PIN forgotten: the key's own prompt gets a wrong PIN, which the token
    // refuses by its return value, whatever the words of libp11's message.
    norvane::tokens::forgetPins();
    dialogs.pinAnswers = {QString("9999")};
    try {
        signOffThread(a3, "dois", 1);
        FAIL() << "a wrong PIN for the key must fail";
    } catch (const CapicomError& e) {
        EXPECT_EQ(e.code(), SCARD_W_WRONG_CHV) << e.what();
        EXPECT_EQ(e.kind(), norvane::ErrorKind::PinRefused);
    }
    // The PIN refused is not kept: the next use asks again.
    dialogs.pinAnswers = {QString("1234")};
    EXPECT_EQ(readSignedData(CoUtilities::Create()->BinaryStringToByteArray(signOffThread(a3, "tres", 1))).content,
              "tres");
    EXPECT_EQ(dialogs.pinPrompts.size(), 3u);
}

// The ICP-Brasil certificates the program ships: trusted with an empty system store, and
// the only way a token certificate of an unknown root is offered is its root being bundled.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <openssl/x509.h>

#include "certs/CAPICOM_TLB.h"
#include "certs/pki/BundledCertificates.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/TrustStore.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

using namespace norvane;
using namespace norvane::test;

namespace {

const QString kShippedFolder = QStringLiteral(NORVANE_TEST_SUPPORT_DIR "/../../data/icp-brasil");

// The system store emptied for the test's life: no file, no folder.
class EmptySystemStore {
public:
    EmptySystemStore() : file_(qgetenv("SSL_CERT_FILE")), dir_(qgetenv("SSL_CERT_DIR")) {
        qputenv("SSL_CERT_FILE", empty_.filePath("nenhum.pem").toUtf8());
        qputenv("SSL_CERT_DIR", empty_.path().toUtf8());
    }
    ~EmptySystemStore() {
        qputenv("SSL_CERT_FILE", file_);
        qputenv("SSL_CERT_DIR", dir_);
        pki::setBundledCertificatesFolderForTesting(QString());
    }

private:
    QTemporaryDir empty_;
    QByteArray file_, dir_;
};

QString sha256Of(X509* certificate) {
    unsigned char digest[32];
    unsigned int length = sizeof digest;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}

}  // namespace

TEST(BundledTrust, TheShippedIntermediatesChainToRootsV5AndV12WithAnEmptySystemStore) {
    EmptySystemStore empty;
    pki::setBundledCertificatesFolderForTesting(kShippedFolder);
    const auto bundled = pki::bundledCertificates();
    ASSERT_EQ(bundled->roots.size(), 2u);
    ASSERT_GT(bundled->intermediates.size(), 100u);
    const QString v5 = "caa53fc6091c6951887c976e378f6ef89aa6377c55d97b6475422b71ed7e9b17";
    const QString v12 = "d8478e37ce19c690cf657381e68fe600e4e1a042536830f06847e03e554c4b01";

    const pki::ChainVerifier verifier;
    std::map<QString, int> reachedRoots;
    for (const auto& intermediate : bundled->intermediates) {
        if (!pki::validAt(intermediate.get(), std::time(nullptr))) continue;
        const pki::ChainReport chain = verifier.report(intermediate.get());
        EXPECT_TRUE(chain.trusted) << pki::simpleName(X509_get_subject_name(intermediate.get())).toStdString() << ": "
                                   << chain.breakText.toStdString();
        if (chain.trusted) ++reachedRoots[sha256Of(chain.links.back().get())];
    }
    EXPECT_GT(reachedRoots[v5], 0);
    EXPECT_GT(reachedRoots[v12], 0);
    EXPECT_EQ(reachedRoots.size(), 2u);
}

TEST(BundledTrust, ATokenCertificateIsOfferedOnlyWhenItsRootIsBundled) {
    SoftHsmTokens tokens;
    ScriptedDialogs dialogs;
    const TestPki& pki = TestPki::instance();
    tokens.addToken("Token A", {Cert::A3});
    EmptySystemStore empty;
    QTemporaryDir bundle;
    ASSERT_TRUE(bundle.isValid());
    pki::setBundledCertificatesFolderForTesting(bundle.path());

    const auto offered = [&] {
        auto store = CAPICOM_TLB::CoStore::Create();
        store->Open(CAPICOM_TLB::CAPICOM_CURRENT_USER_STORE, "My", CAPICOM_TLB::CAPICOM_STORE_OPEN_READ_ONLY);
        return store->Certificates()->Find(CAPICOM_TLB::CAPICOM_CERTIFICATE_FIND_SHA1_HASH, pki[Cert::A3].thumbprint,
                                           true)->Count();
    };
    EXPECT_EQ(offered(), 0) << "no anchor at all: nothing is offered";

    ASSERT_TRUE(QFile::copy(pki[Cert::Root].certPath, bundle.filePath("raiz-teste.pem")));
    EXPECT_EQ(offered(), 1) << "its root bundled: offered";

    // The bundled root is not the system's: the system store still holds nothing.
    EXPECT_FALSE(QFile::exists(qEnvironmentVariable("SSL_CERT_FILE")));
}

// AIA and revocation against local stand-ins: a download server serving the intermediate and
// the LCRs over http, and `openssl ocsp` as the responder. Good, revoked (each reason),
// unknown, an expired list, a list signed by another key, a responder down or silent, a list
// larger than the bound, an AIA loop and an AIA that leads to a root not trusted.

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <QDir>
#include <QTemporaryDir>
#include <QTimeZone>
#include <memory>

#include "certs/SigningSession.h"
#include "certs/cms/Verification.h"
#include "certs/doctor/TokenDoctor.h"
#include "certs/pki/AiaIssuers.h"
#include "certs/pki/PkiNetwork.h"
#include "certs/pki/Revocation.h"
#include "certs/pki/TrustStore.h"
#include "certs/tokens/TokenAccess.h"
#include "support/DownloadServer.h"
#include "support/RevocationPki.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"

using namespace norvane;
using namespace norvane::test;

namespace {

std::shared_ptr<X509> load(const QByteArray& der) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.constData());
    return std::shared_ptr<X509>(d2i_X509(nullptr, &p, long(der.size())), X509_free);
}

class Revocation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new DownloadServer;
        pki = new RevocationPki(*server);
    }
    static void TearDownTestSuite() {
        delete pki;
        delete server;
    }

    void SetUp() override {
        saved = {qgetenv("XDG_CACHE_HOME"), qgetenv("SSL_CERT_FILE"), qgetenv("SSL_CERT_DIR")};
        qputenv("XDG_CACHE_HOME", cache.path().toUtf8());
        qputenv("SSL_CERT_FILE", pki->trustFile().toUtf8());
        qputenv("SSL_CERT_DIR", emptyFolder.path().toUtf8());
        pki::setNetworkSettings({true, 800, 1 << 20, 200ULL << 20});
        pki::forgetRevocationResults();
        pki->serveGood();
    }
    void TearDown() override {
        pki::resetNetworkSettings();
        pki::forgetRevocationResults();
        pki->stopResponder();
        qputenv("XDG_CACHE_HOME", saved[0]);
        qputenv("SSL_CERT_FILE", saved[1]);
        qputenv("SSL_CERT_DIR", saved[2]);
    }

    // Forgets what this run and the cache folder know, as a new run on another machine.
    void forgetEverything() {
        pki::forgetRevocationResults();
        QDir(pki::cacheFolder()).removeRecursively();
    }

    // The chain of a leaf completed through AIA, then its revocation.
    std::vector<pki::RevocationStatus> chainState(RevCert leaf, qint64 budgetMs = 10000) {
        const auto certificate = load(pki->der(leaf));
        pki::ChainVerifier chains;
        const pki::Deadline deadline(budgetMs);
        EXPECT_TRUE(chains.completeWithAia(certificate.get(), deadline));
        return pki::checkChainRevocation(chains.report(certificate.get()).links, deadline);
    }

    pki::RevocationStatus leafState(RevCert leaf) {
        const auto chain = chainState(leaf);
        return chain.empty() ? pki::RevocationStatus{} : chain.front();
    }

    static DownloadServer* server;
    static RevocationPki* pki;
    QTemporaryDir cache, emptyFolder;
    std::vector<QByteArray> saved;
};

DownloadServer* Revocation::server = nullptr;
RevocationPki* Revocation::pki = nullptr;

}  // namespace

TEST_F(Revocation, AiaCompletesTheChainFromTheCacheOnceFetchedAndNeverAsAnAnchor) {
    const auto leaf = load(pki->der(RevCert::CrlSigner));
    pki::ChainVerifier chains;
    EXPECT_FALSE(chains.report(leaf.get()).trusted) << "the intermediate is on no token and in no store";
    ASSERT_TRUE(chains.completeWithAia(leaf.get(), pki::Deadline(10000)));
    const pki::ChainReport chain = chains.report(leaf.get());
    ASSERT_TRUE(chain.trusted);
    ASSERT_EQ(chain.links.size(), 3u);
    const auto origin = pki::aiaOrigin(chain.links[1].get());
    ASSERT_TRUE(origin.has_value());
    EXPECT_EQ(origin->url, server->plainBaseUrl() + "ac.cer");
    EXPECT_LE(origin->fetchedAt.secsTo(QDateTime::currentDateTimeUtc()), 600);
    EXPECT_EQ(QDir(pki::cacheFolder() + "/aia").entryList(QDir::Files).size(), 1);

    // The cache serves the next run with the server gone.
    server->remove("ac.cer");
    pki::ChainVerifier later;
    EXPECT_TRUE(later.completeWithAia(leaf.get(), pki::Deadline(10000)));

    // Another run with neither cache nor server: the chain stays broken.
    QDir(pki::cacheFolder()).removeRecursively();
    pki::ChainVerifier offline;
    QStringList problems;
    EXPECT_FALSE(offline.completeWithAia(leaf.get(), pki::Deadline(10000), &problems));
    EXPECT_EQ(problems.size(), 1) << problems.join('\n').toStdString();
}

TEST_F(Revocation, AiaLoopAndAiaToAnUntrustedRootLeaveTheChainBroken) {
    for (RevCert which : {RevCert::LoopLeaf, RevCert::StrangerLeaf}) {
        const auto leaf = load(pki->der(which));
        pki::ChainVerifier chains;
        EXPECT_FALSE(chains.completeWithAia(leaf.get(), pki::Deadline(10000)));
        const pki::ChainReport chain = chains.report(leaf.get());
        EXPECT_FALSE(chain.trusted);
        EXPECT_EQ(chain.links.size(), 1u) << "what was fetched is not kept when the chain stays broken";
    }
}

TEST_F(Revocation, ListSaysGoodThenRevokedWithEachReasonAndItsDate) {
    const auto good = chainState(RevCert::CrlSigner);
    ASSERT_EQ(good.size(), 2u) << "the leaf and the intermediate; the root is not asked about";
    EXPECT_TRUE(pki::allGood(good));
    EXPECT_EQ(good[0].source, "LCR " + server->plainBaseUrl() + "ac.crl");
    EXPECT_EQ(good[1].source, "LCR " + server->plainBaseUrl() + "raiz.crl");
    EXPECT_GT(good[0].nextUpdate, QDateTime::currentDateTimeUtc());

    const QDateTime when = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() - 3 * 86400, QTimeZone::utc());
    QStringList texts;
    for (int reason : {-1, 0, 1, 2, 3, 4, 5, 6, 9}) {
        forgetEverything();
        server->serve("ac.crl", pki->crl(RevCert::Intermediate, {{pki->serialHex(RevCert::CrlSigner), when, reason}}));
        const pki::RevocationStatus state = leafState(RevCert::CrlSigner);
        ASSERT_EQ(state.state, pki::RevocationState::Revoked) << reason;
        EXPECT_EQ(state.reason, reason);
        EXPECT_EQ(state.revokedAt, when);
        texts << pki::revocationReasonText(reason);
        EXPECT_TRUE(pki::revocationText(state).startsWith("REVOGADO em " + when.toLocalTime().toString("dd/MM/yyyy HH:mm")));
    }
    texts.removeDuplicates();
    EXPECT_EQ(texts.size(), 9) << "each reason has its own words";
}

TEST_F(Revocation, ListIsKeptUntilItsNextUpdateAndRefusedWhenExpiredOrSignedByAnotherKey) {
    EXPECT_TRUE(pki::allGood(chainState(RevCert::CrlSigner)));
    server->remove("ac.crl");
    pki::forgetRevocationResults();
    EXPECT_TRUE(pki::allGood(chainState(RevCert::CrlSigner))) << "read from the cache folder";

    const std::vector<RevEntry> revoked{{pki->serialHex(RevCert::CrlSigner), QDateTime::currentDateTimeUtc().addDays(-1), 1}};
    forgetEverything();
    server->serve("ac.crl", pki->crl(RevCert::Intermediate, revoked, -2 * 86400, -86400));
    pki::RevocationStatus state = leafState(RevCert::CrlSigner);
    EXPECT_EQ(state.state, pki::RevocationState::Unknown) << "an expired list is not used";
    EXPECT_TRUE(state.problem.contains("LCR vencida")) << state.problem.toStdString();

    forgetEverything();
    server->serve("ac.crl", pki->crl(RevCert::OtherKey, revoked));
    state = leafState(RevCert::CrlSigner);
    EXPECT_EQ(state.state, pki::RevocationState::Unknown) << "a list in the AC's name but not signed by its key";
    EXPECT_TRUE(state.problem.contains("não assinada pela AC emissora")) << state.problem.toStdString();
    EXPECT_FALSE(QFile::exists(pki::cacheFile("lcr", (server->plainBaseUrl() + "ac.crl").toUtf8())));
}

TEST_F(Revocation, ListLargerThanTheBoundIsNotTakenNorLeftInTheCache) {
    std::vector<RevEntry> many;
    for (int i = 0; i < 4000; ++i) many.push_back({QByteArray::number(0x100000 + i, 16), QDateTime::currentDateTimeUtc(), 1});
    const QByteArray huge = pki->crl(RevCert::Intermediate, many);
    ASSERT_GT(huge.size(), 64 * 1024);
    server->serve("ac.crl", huge);
    pki::setNetworkSettings({true, 3000, 1 << 20, 64 * 1024});
    const pki::RevocationStatus state = leafState(RevCert::CrlSigner);
    EXPECT_EQ(state.state, pki::RevocationState::Unknown);
    EXPECT_EQ(QDir(pki::cacheFolder() + "/lcr").entryList(QDir::Files).size(), 1) << "only the root's small list";

    pki::setNetworkSettings({true, 3000, 1 << 20, 1 << 20});
    pki::forgetRevocationResults();
    EXPECT_EQ(leafState(RevCert::CrlSigner).state, pki::RevocationState::Good) << "within the bound it is read";
}

TEST_F(Revocation, ResponderSaysGoodRevokedOrUnknownAndItsAnswerIsCached) {
    pki->startResponder();
    const pki::RevocationStatus good = leafState(RevCert::OcspGood);
    EXPECT_EQ(good.state, pki::RevocationState::Good) << good.problem.toStdString();
    EXPECT_EQ(good.source, QStringLiteral("OCSP http://127.0.0.1:%1/").arg(pki->ocspPort()));
    const pki::RevocationStatus revoked = leafState(RevCert::OcspRevoked);
    EXPECT_EQ(revoked.state, pki::RevocationState::Revoked) << revoked.problem.toStdString();
    EXPECT_EQ(revoked.reason, 1);
    EXPECT_EQ(revoked.revokedAt.date(), QDateTime::currentDateTimeUtc().addDays(-2).date());
    const pki::RevocationStatus unknown = leafState(RevCert::OcspUnknown);
    EXPECT_EQ(unknown.state, pki::RevocationState::Unknown);
    EXPECT_TRUE(unknown.problem.contains("não conhece")) << unknown.problem.toStdString();

    pki->stopResponder();
    pki::forgetRevocationResults();
    EXPECT_EQ(leafState(RevCert::OcspGood).state, pki::RevocationState::Good) << "until nextUpdate, from the cache";
}

TEST_F(Revocation, ResponderDownSilentOrOutOfTimeLeavesItUnknown) {
    pki::RevocationStatus down = leafState(RevCert::OcspGood);
    EXPECT_EQ(down.state, pki::RevocationState::Unknown);
    EXPECT_FALSE(down.nowhereToAsk);
    EXPECT_TRUE(down.problem.startsWith("OCSP: não foi possível obter")) << down.problem.toStdString();

    // A responder that takes the connection and never answers: bounded by the setting.
    const SilentListener silent(pki->ocspPort());
    pki::forgetRevocationResults();
    EXPECT_EQ(leafState(RevCert::OcspGood).state, pki::RevocationState::Unknown);

    // No time left: nothing is fetched.
    const auto leaf = load(pki->der(RevCert::OcspGood));
    const auto issuer = load(pki->der(RevCert::Intermediate));
    pki::forgetRevocationResults();
    const pki::RevocationStatus late = pki::checkRevocation(leaf.get(), issuer.get(), pki::Deadline(0));
    EXPECT_EQ(late.state, pki::RevocationState::Unknown);
    EXPECT_TRUE(late.problem.contains("tempo esgotado")) << late.problem.toStdString();
}

TEST_F(Revocation, VerifierSaysVerifiedRevokedWithTheDateOrNotVerifiedAndWhy) {
    const QByteArray signature = pki->signedBy(RevCert::CrlSigner, "protesto");
    cms::VerificationResult result = cms::verifySignatureBytes(signature);
    ASSERT_EQ(result.verdict, cms::Verdict::Valid) << cms::verificationText(result).toStdString();
    EXPECT_TRUE(cms::verdictLine(result).startsWith("Assinatura VÁLIDA (revogação verificada em "));
    EXPECT_TRUE(cms::verdictLine(result).endsWith(": não revogado)"));
    EXPECT_EQ(result.signers.at(0).chain.size(), 3u) << "to the anchor, through the intermediate fetched";
    EXPECT_TRUE(cms::verificationText(result).contains("2. AC Intermediaria AIA Teste, válido de ") &&
                cms::verificationText(result).contains(" (obtido pela internet em " + server->plainBaseUrl() + "ac.cer)"));

    const QDateTime when = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() - 86400, QTimeZone::utc());
    forgetEverything();
    server->serve("ac.crl", pki->crl(RevCert::Intermediate, {{pki->serialHex(RevCert::CrlSigner), when, 1}}));
    result = cms::verifySignatureBytes(signature);
    EXPECT_EQ(cms::exitCodeOf(result.verdict), 1);
    EXPECT_TRUE(cms::verdictLine(result).contains("revogado em " + when.toLocalTime().toString("dd/MM/yyyy HH:mm")))
        << cms::verdictLine(result).toStdString();
    EXPECT_TRUE(cms::verdictLine(result).contains("comprometimento da chave"));

    // Offline: with the intermediate in the file, the verdict of today, revocation not verified and why.
    forgetEverything();
    pki::setNetworkSettings({false, 800, 1 << 20, 1 << 20});
    result = cms::verifySignatureBytes(pki->signedBy(RevCert::CrlSigner, "protesto", true));
    ASSERT_EQ(result.verdict, cms::Verdict::Valid) << cms::verificationText(result).toStdString();
    EXPECT_EQ(cms::verdictLine(result), "Assinatura VÁLIDA (revogação não verificada)");
    EXPECT_TRUE(cms::verificationText(result).contains("Revogação: não verificada («Titular LCR Teste:11122233344»: "
                                                       "LCR: consultas à rede desligadas"))
        << cms::verificationText(result).toStdString();
    // Without it, nothing completes the chain.
    result = cms::verifySignatureBytes(signature);
    EXPECT_EQ(result.verdict, cms::Verdict::Invalid);
}

TEST_F(Revocation, RevokedOnATokenIsNotOfferedAndTheDoctorSaysWhyOfflineItIsOfferedUnchecked) {
    SoftHsmTokens tokens;
    qputenv("SSL_CERT_FILE", pki->trustFile().toUtf8());
    ScriptedDialogs dialogs;
    tokens.addTokenWith("Token Revogacao", pki->derPath(RevCert::CrlSigner), pki->keyPath(RevCert::CrlSigner), "0a0b",
                        "Titular LCR", {pki->derPath(RevCert::Intermediate)});
    tokens::restoreDefaultModulesForTesting();
    EXPECT_EQ(SigningSession::offeredCertificates()->Count(), 1) << "not revoked";

    const QDateTime when = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() - 7200, QTimeZone::utc());
    forgetEverything();
    server->serve("ac.crl", pki->crl(RevCert::Intermediate, {{pki->serialHex(RevCert::CrlSigner), when, 5}}));
    EXPECT_EQ(SigningSession::offeredCertificates()->Count(), 0) << "a current list says it is revoked";
    QString report = doctor::diagnosticReport();
    EXPECT_TRUE(report.contains("Lista de escolha do login: não oferecido: certificado «Titular LCR Teste:11122233344» "
                                "revogado em " + when.toLocalTime().toString("dd/MM/yyyy HH:mm") +
                                " (motivo: cessação de atividade), segundo LCR " + server->plainBaseUrl() + "ac.crl"))
        << report.toStdString();

    // Unplugged, with nothing in the cache: soft-fail, offered, and the doctor says it was not checked.
    forgetEverything();
    pki::setNetworkSettings({false, 800, 1 << 20, 1 << 20});
    EXPECT_EQ(SigningSession::offeredCertificates()->Count(), 1);
    report = doctor::diagnosticReport();
    EXPECT_TRUE(report.contains("Lista de escolha do login: oferecido (revogação não verificada: sem resposta da AC, "
                                "nada é bloqueado)"))
        << report.toStdString();
    EXPECT_TRUE(report.contains("1. Titular LCR Teste:11122233344: revogação não verificada: LCR: consultas à rede desligadas"))
        << report.toStdString();
    EXPECT_TRUE(dialogs.pinPrompts.empty());
}

TEST_F(Revocation, DoctorSaysWhichIntermediateCameThroughAiaFromWhereAndWhen) {
    SoftHsmTokens tokens;
    qputenv("SSL_CERT_FILE", pki->trustFile().toUtf8());
    tokens.addTokenWith("Token So Titular", pki->derPath(RevCert::CrlSigner), pki->keyPath(RevCert::CrlSigner), "0c0d",
                        "Titular LCR");
    tokens::restoreDefaultModulesForTesting();
    const QString report = doctor::diagnosticReport();
    const QString day = QDateTime::currentDateTime().toString("dd/MM/yyyy");
    EXPECT_TRUE(report.contains("2. CN=AC Intermediaria AIA Teste,C=BR (intermediária obtida pela AIA em " +
                                server->plainBaseUrl() + "ac.cer, baixada em " + day))
        << report.toStdString();
    EXPECT_TRUE(report.contains("1. Titular LCR Teste:11122233344: não revogado (LCR " + server->plainBaseUrl() + "ac.crl"))
        << report.toStdString();
    EXPECT_TRUE(report.contains("Lista de escolha do login: oferecido\n")) << report.toStdString();
}

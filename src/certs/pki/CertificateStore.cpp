#include "certs/pki/CertificateStore.h"

#include <algorithm>
#include <ctime>
#include <tuple>

#include "certs/pki/Certificate.h"
#include "core/Background.h"

namespace norvane::pki {

bool StoredCertificate::trustedNow() const {
    return validAt(certificate.get(), std::time(nullptr)) && chains->verify(certificate.get()) && !revoked();
}

namespace {

// What the pick list needs of the network: missing issuers, then revocation; only for the
// certificates inside their dates (the others are not offered whatever the network says).
std::vector<StoredCertificate> checkedOnline(std::vector<tokens::TokenCertificate> read) {
    std::vector<std::shared_ptr<X509>> onTokens;
    for (const auto& c : read) onTokens.push_back(c.certificate);
    auto chains = std::make_shared<ChainVerifier>(onTokens);
    const Deadline deadline(kPickListBudgetMs);
    std::vector<StoredCertificate> items;
    for (auto& c : read) {
        StoredCertificate item{c.certificate, c.location, chains, {}};
        if (validAt(c.certificate.get(), std::time(nullptr)) && chains->completeWithAia(c.certificate.get(), deadline))
            item.revocation = checkChainRevocation(chains->report(c.certificate.get()).links, deadline);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

std::vector<StoredCertificate> readCertificateStore(tokens::Look look) {
    std::vector<StoredCertificate> items =
        runInBackground([look] { return checkedOnline(tokens::readCertificates(look)); });
    // Tokens list their objects in no fixed order; the store (and so the pick list) keeps one.
    const auto key = [](const StoredCertificate& c) {
        X509* x = c.certificate.get();
        return std::make_tuple(c.token.label, c.token.serial, subjectDisplayName(x), validTo(x), thumbprintOf(x));
    };
    std::sort(items.begin(), items.end(),
              [&](const StoredCertificate& a, const StoredCertificate& b) { return key(a) < key(b); });
    return items;
}

}  // namespace norvane::pki

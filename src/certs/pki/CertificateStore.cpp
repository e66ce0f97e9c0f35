#include "certs/pki/CertificateStore.h"

#include <algorithm>
#include <ctime>
#include <tuple>

#include "certs/pki/Certificate.h"
#include "core/Background.h"

namespace norvane::pki {

bool StoredCertificate::trustedNow() const {
    return validAt(certificate.get(), std::time(nullptr)) && chains->verify(certificate.get());
}

std::vector<StoredCertificate> readCertificateStore(tokens::Look look) {
    std::vector<tokens::TokenCertificate> read =
        runInBackground([look] { return tokens::readCertificates(look); });
    std::vector<std::shared_ptr<X509>> onTokens;
    for (const auto& c : read) onTokens.push_back(c.certificate);
    auto chains = std::make_shared<const ChainVerifier>(onTokens);
    std::vector<StoredCertificate> items;
    for (auto& c : read) items.push_back({c.certificate, c.location, chains});
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

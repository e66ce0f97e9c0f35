#pragma once
// The user's certificates: every certificate of every token, as values that carry their
// token and what their chain is verified with.

#include <memory>
#include <vector>

#include "certs/pki/TrustStore.h"
#include "certs/tokens/TokenAccess.h"

namespace norvane::pki {

struct StoredCertificate {
    std::shared_ptr<X509> certificate;
    tokens::TokenLocation token;
    // The trust anchors, with every certificate of the same look at the tokens as intermediates.
    std::shared_ptr<const ChainVerifier> chains;

    // Inside its validity dates now and chaining to a trust anchor.
    bool trustedNow() const;
    // The issuers up to, not including, the self-signed root (best effort).
    std::vector<std::shared_ptr<X509>> chainWithoutRoot() const { return chains->chainWithoutRoot(certificate.get()); }
};

// Reads the tokens (off the GUI thread: loading a token module waits on every reader) and
// gives their certificates by token, then holder's name, then expiry.
std::vector<StoredCertificate> readCertificateStore(tokens::Look look = tokens::Look::IfChanged);

}  // namespace norvane::pki

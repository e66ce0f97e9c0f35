#pragma once
// The user's certificates: every certificate of every token, as values that carry their
// token and what their chain is verified with.

#include <memory>
#include <vector>

#include "certs/pki/Revocation.h"
#include "certs/pki/TrustStore.h"
#include "certs/tokens/TokenAccess.h"

namespace norvane::pki {

struct StoredCertificate {
    std::shared_ptr<X509> certificate;
    tokens::TokenLocation token;
    // The trust anchors, with every certificate of the same look at the tokens as intermediates.
    std::shared_ptr<const ChainVerifier> chains;
    // The revocation of each certificate of its chain (but the root), checked as the tokens were
    // read; empty when the chain is not trusted.
    std::vector<RevocationStatus> revocation;

    // A current list or answer says that it (or an issuer of its chain) is revoked.
    bool revoked() const { return firstRevoked(revocation) != nullptr; }
    // Inside its validity dates now, chaining to a trust anchor, and not known to be revoked.
    bool trustedNow() const;
    // The issuers up to, not including, the self-signed root (best effort).
    std::vector<std::shared_ptr<X509>> chainWithoutRoot() const { return chains->chainWithoutRoot(certificate.get()); }
};

// Reads the tokens (off the GUI thread: loading a token module waits on every reader) and
// gives their certificates by token, then holder's name, then expiry. In the same background
// work, a chain broken for want of an issuer is completed through AIA, and the revocation of
// each trusted chain is checked: all within kPickListBudgetMs (3 s), after which what is not
// known stays unknown (soft-fail) and the list shows.
std::vector<StoredCertificate> readCertificateStore(tokens::Look look = tokens::Look::IfChanged);

}  // namespace norvane::pki

#pragma once
// Chains of certificates to the trust anchors: the system's store (OpenSSL's default
// paths, which honour SSL_CERT_FILE and SSL_CERT_DIR), with the certificates the tokens
// hold as intermediates. Nothing is fetched from the network.

#include <ctime>
#include <memory>
#include <optional>
#include <vector>

typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

namespace norvane::pki {

// The system's trust anchors, read again only when their files change.
std::shared_ptr<X509_STORE> trustAnchors();

// What one verification of a chain found.
struct ChainCheck {
    bool trusted = false;
    int error = 0;        // OpenSSL's X509_V_ERR_* code where the chain broke (0: none)
    int errorDepth = -1;  // where it broke: 0 the certificate itself, 1 its issuer, ...
    // The certificate and the issuers found above it, up to the anchor when one was reached
    // (also when the verification failed: up to where it broke).
    std::vector<std::shared_ptr<X509>> chain;
};

// The anchors and the intermediates at hand for one look at the tokens. Serves any number
// of verifications at once.
class ChainVerifier {
public:
    ChainVerifier();
    // With these certificates as intermediates (those a signature carries, say).
    explicit ChainVerifier(const std::vector<std::shared_ptr<X509>>& intermediates);
    ~ChainVerifier();
    ChainVerifier(const ChainVerifier&) = delete;
    ChainVerifier& operator=(const ChainVerifier&) = delete;

    // A certificate that may serve as an intermediate (taken, not copied).
    void addIntermediate(const std::shared_ptr<X509>& certificate);
    // Verifies now; `chain` receives the issuers found (also when the verification fails).
    bool verify(X509* certificate, std::vector<std::shared_ptr<X509>>* chain = nullptr) const;
    // Verifies at that instant (now when not given), saying where the chain breaks.
    ChainCheck check(X509* certificate, std::optional<std::time_t> at = std::nullopt) const;
    // The issuers from the certificate up to, not including, the self-signed root (best effort).
    std::vector<std::shared_ptr<X509>> chainWithoutRoot(X509* certificate) const;

private:
    std::shared_ptr<X509_STORE> anchors_;
    struct Intermediates;
    std::unique_ptr<Intermediates> intermediates_;
};

}  // namespace norvane::pki

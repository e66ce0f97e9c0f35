#pragma once
// Chains of certificates to the trust anchors: the system's store (OpenSSL's default
// paths, which honour SSL_CERT_FILE and SSL_CERT_DIR) plus the bundled ICP-Brasil roots.
// Intermediates come from the token (or the file) at hand, then the bundled ICP-Brasil
// intermediates, then the system's store, then the certificate's AIA (completeWithAia:
// fetched and cached, used only when the chain then reaches an anchor, never an anchor).

#include <QString>
#include <ctime>
#include <QStringList>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

typedef struct x509_st X509;
typedef struct x509_store_st X509_STORE;

namespace norvane::pki {

class Deadline;

// The trust anchors (the system's and the bundled roots), read again only when their files change.
std::shared_ptr<X509_STORE> trustAnchors();

// Where the system's anchors are read from: the bundle file and the hashed folder.
QString systemAnchorsFile();
QString systemAnchorsFolder();

// A chain as far as it was built, and where it broke.
struct ChainReport {
    bool trusted = false;
    std::vector<std::shared_ptr<X509>> links;  // the certificate first, then each issuer found
    int error = 0;                             // OpenSSL's X509_V_ERR_… (0 when trusted)
    int errorDepth = -1;                       // the link it concerns
    QString breakText;                         // the break, in Portuguese (empty when trusted)
};

// The anchors and the intermediates at hand (for one look at the tokens, or one file).
// Serves any number of verifications at once.
class ChainVerifier {
public:
    // `intermediates`: certificates at hand that may serve as intermediates, looked at first.
    explicit ChainVerifier(const std::vector<std::shared_ptr<X509>>& intermediates = {});
    ~ChainVerifier();
    ChainVerifier(const ChainVerifier&) = delete;
    ChainVerifier& operator=(const ChainVerifier&) = delete;

    // Verifies now; `chain` receives the issuers found (also when the verification fails).
    bool verify(X509* certificate, std::vector<std::shared_ptr<X509>>* chain = nullptr) const;
    // The chain at that instant (now when none is given), link by link.
    ChainReport report(X509* certificate, std::optional<std::time_t> at = std::nullopt) const;
    // The issuers from the certificate up to, not including, the self-signed root (best effort).
    std::vector<std::shared_ptr<X509>> chainWithoutRoot(X509* certificate) const;

    // When the chain breaks for want of an issuer: follows the caIssuers URLs (cache first, a
    // few links at most) and keeps what was fetched only if the chain then reaches an anchor.
    // Blocks on the network: off the GUI thread. True when the chain is trusted afterwards;
    // `problems` gets what could not be fetched.
    bool completeWithAia(X509* certificate, const Deadline& deadline, QStringList* problems = nullptr);

    // The most issuers fetched for one chain.
    static constexpr int kMaxFetchedLinks = 4;

private:
    struct Intermediates;
    std::shared_ptr<const Intermediates> intermediates() const;

    std::shared_ptr<X509_STORE> anchors_;
    mutable std::mutex mutex_;
    std::shared_ptr<const Intermediates> intermediates_;  // replaced whole when AIA adds to it
};

}  // namespace norvane::pki

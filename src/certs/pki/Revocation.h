#pragma once
// Whether the certificates of a chain are revoked: OCSP when a certificate names a responder,
// else (or when the responder gives no answer) the LCR of its distribution points. Answers and
// lists are kept in the cache folder until their nextUpdate; each must be signed by the
// certificate's issuer (or, for OCSP, by a responder the issuer delegated to) and be current.
// Soft-fail: what cannot be fetched leaves the state unknown, and nothing is blocked for it.

#include <QDateTime>
#include <QString>
#include <memory>
#include <vector>

#include "certs/pki/PkiNetwork.h"

typedef struct x509_st X509;

namespace norvane::pki {

enum class RevocationState { Unknown, Good, Revoked };

struct RevocationStatus {
    RevocationState state = RevocationState::Unknown;
    QString subject;                  // the certificate's simple name
    QString source;                   // "OCSP http://…" or "LCR http://…" (empty: none answered)
    QDateTime thisUpdate, nextUpdate; // of the answer or list (UTC)
    QDateTime checkedAt;              // when it was read (UTC)
    QDateTime revokedAt;              // Revoked: since when (UTC)
    int reason = -1;                  // Revoked: the reason code (-1: none given)
    QString problem;                  // Unknown: why, in Portuguese
    bool nowhereToAsk = false;        // Unknown: the certificate names neither OCSP nor LCR
};

// The Portuguese name of an LCR/OCSP reason code ("comprometimento da chave", …).
QString revocationReasonText(int reason);

// One certificate's state in a line of Portuguese: "não revogado (OCSP http://…; emitida em …,
// válida até …)", "REVOGADO em … (motivo: …; …)" or "não verificada: why".
QString revocationText(const RevocationStatus& status);

// The state of `certificate`, issued by `issuer`.
RevocationStatus checkRevocation(X509* certificate, X509* issuer, const Deadline& deadline);

// The chain's certificates, each but the self-signed root, in order (the chain as
// ChainReport::links gives it: the certificate first).
std::vector<RevocationStatus> checkChainRevocation(const std::vector<std::shared_ptr<X509>>& links,
                                                   const Deadline& deadline);

// The first revoked certificate of the chain, or null.
const RevocationStatus* firstRevoked(const std::vector<RevocationStatus>& chain);
// Every certificate of the chain was found not revoked.
bool allGood(const std::vector<RevocationStatus>& chain);

// Results are kept in memory for the run (until nextUpdate; five minutes when unknown).
void forgetRevocationResults();

}  // namespace norvane::pki

#pragma once
// Issuers named by a certificate's Authority Information Access (caIssuers): read from the
// cache folder, else fetched. Only ever intermediates: the trust anchors stay the system's
// store and the bundled roots.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

#include "certs/pki/PkiNetwork.h"

typedef struct x509_st X509;

namespace norvane::pki {

// The http and https URLs of the certificate's caIssuers entries, and of its OCSP responders.
QStringList caIssuersUrls(X509* certificate);
QStringList ocspUrls(X509* certificate);
// The http and https URLs of its CRL distribution points.
QStringList crlUrls(X509* certificate);

// Where an issuer came from: its URL and when it was fetched.
struct IssuerOrigin {
    QString url;
    QDateTime fetchedAt;  // UTC
};

// The certificates that issued `certificate`, from its caIssuers URLs (cache first). What
// could not be fetched is appended to `problems` (Portuguese).
std::vector<std::shared_ptr<X509>> issuersFromAia(X509* certificate, const Deadline& deadline, QStringList* problems);

// For a certificate that issuersFromAia gave in this run: where and when it came from.
std::optional<IssuerOrigin> aiaOrigin(X509* certificate);

}  // namespace norvane::pki

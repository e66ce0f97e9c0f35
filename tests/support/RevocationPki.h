#pragma once
// A test PKI whose certificates point at local stand-ins: the issuers (AIA caIssuers) and the
// LCRs (CRL distribution points) at the download server's plain http folder, and the OCSP
// responder at an `openssl ocsp` started here. The intermediate is served only through AIA.

#include <QByteArray>
#include <QDateTime>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <map>
#include <vector>

#include "support/DownloadServer.h"

namespace norvane::test {

enum class RevCert {
    Root,          // "AC Raiz Revogacao Teste": the trust anchor; its LCR raiz.crl covers the intermediate
    Intermediate,  // "AC Intermediaria AIA Teste": served as ac.cer, publishes ac.crl
    CrlSigner,     // end entity: AIA ac.cer, LCR ac.crl (good unless a test revokes it)
    OcspGood,      // end entity: OCSP only, good in the responder's index
    OcspRevoked,   // end entity: OCSP only, revoked (key compromise) in the index
    OcspUnknown,   // end entity: OCSP only, absent from the index
    LoopLeaf,      // issued by "AC Laco A", whose AIA names "AC Laco B", whose AIA names A
    StrangerLeaf,  // AIA names a root that is not trusted, which issued it
    OtherKey,      // an issuer-like certificate with another key (signs a list in the issuer's name)
};

struct RevEntry {
    QByteArray serialHex;
    QDateTime revokedAt;
    int reason = -1;  // -1: no reason extension
};

// A port that takes connections (the kernel completes them) and never answers.
class SilentListener {
public:
    explicit SilentListener(int port);
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

private:
    int fd_ = -1;
};

class RevocationPki {
public:
    explicit RevocationPki(const DownloadServer& server);
    ~RevocationPki();

    QString certPath(RevCert which) const;  // PEM
    QString keyPath(RevCert which) const;   // PEM
    QByteArray der(RevCert which) const;
    QString derPath(RevCert which) const;
    QByteArray serialHex(RevCert which) const;
    QString trustFile() const;  // PEM with the root only

    // An LCR of `issuer` with these entries, its dates relative to now (seconds).
    QByteArray crl(RevCert issuer, const std::vector<RevEntry>& entries, qint64 fromSeconds = -3600,
                   qint64 toSeconds = 86400) const;
    // Serves the lists and certificates that make every chain good: ac.cer, raiz.crl, ac.crl.
    void serveGood() const;
    // Starts `openssl ocsp` on the responder's port (stopped by the destructor).
    void startResponder();
    void stopResponder();
    int ocspPort() const { return ocspPort_; }
    // A file signed (CMS, the content enclosed) by the certificate, carrying it alone (or also
    // the intermediate).
    QByteArray signedBy(RevCert which, const QByteArray& content, bool withIntermediate = false) const;

private:
    const DownloadServer& server_;
    QTemporaryDir dir_;
    int ocspPort_ = 0;
    QProcess responder_;
};

}  // namespace norvane::test

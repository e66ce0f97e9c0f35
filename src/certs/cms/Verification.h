#pragma once
// Checks a CMS SignedData (.p7s): who signed it, when, whether the signature over the
// signed attributes holds, whether the content is the one signed, and whether the signer's
// certificate chains to a trust anchor, now and at the signing time, and whether a certificate
// of its chain is revoked today (OCSP or the AC's LCR; soft-fail: what cannot be fetched
// leaves the verdict of the other checks, saying that revocation was not checked and why).
// Each check is reported on its own.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace norvane::cms {

// Larger inputs are refused before they are read.
inline constexpr qint64 kMaxSignatureFileSize = 200LL * 1024 * 1024;

enum class Verdict {
    Valid,       // every check passed
    Invalid,     // read as a signature, and some check failed
    Unreadable,  // not read as a signature (not CMS, truncated, too large), or nothing to check it against
};

// One certificate of a chain, as it is shown.
struct ChainLink {
    QString subject;  // simple name
    QString issuer;   // simple name
    QDateTime validFrom, validTo;  // UTC
    bool selfSigned = false;
    QString fetchedFrom;  // an intermediate fetched through AIA: its address (empty otherwise)
};

// Where a trusted chain ends.
enum class Anchor { None, IcpBrasil, System };

// One verification of the signer's chain at one instant.
struct ChainStatus {
    bool trusted = false;
    Anchor anchor = Anchor::None;  // for a trusted chain: a bundled ICP-Brasil root, or one of the system's store
    QString problem;  // why not, in Portuguese (the certificate where it breaks and the reason)
};

// The revocation of the signer's chain today.
struct RevocationReport {
    enum class State { NotChecked, NotRevoked, Revoked } state = State::NotChecked;
    QDateTime checkedAt;     // NotRevoked: when (UTC)
    QString revokedWhat;     // Revoked: the reason line of the verdict
    QString why;             // NotChecked: why, in Portuguese
    QStringList lines;       // per certificate of the chain, as shown
};

struct SignedAttribute {
    QString oid;
    QString name;   // in Portuguese ("Data e hora da assinatura"), or OpenSSL's name
    QString value;  // what it says, where it is text or a time (empty otherwise)
};

struct SignerReport {
    bool certificateFound = false;  // the signer's certificate is among those the file carries
    QString name;                   // the subject's simple name, as the login names the user
    QString cpf;                    // 11 digits, "0" for a company certificate, empty when none
    QString policy;                 // the certificate-policy identifier
    QString identityProblem;        // the identity checks failed on the certificate (their message)
    std::optional<QDateTime> signingTime;  // the signed attribute (UTC)
    QString digestAlgorithm;        // "SHA-256", ...
    bool hasSignedAttributes = false;
    // Over the signed attributes (or over the content when there are none); none: not checked
    // (no certificate, or no content to check a signature without signed attributes).
    std::optional<bool> signatureValid;
    std::optional<bool> digestMatches;  // the content's digest against the signed one; none: no content to check
    std::optional<bool> signingCertificateMatches;  // ESS signing-certificate(-v2) names this certificate
    std::vector<ChainLink> chain;   // the certificate first, up to the anchor or the break
    ChainStatus now;
    std::optional<ChainStatus> atSigningTime;
    RevocationReport revocation;
    std::vector<SignedAttribute> signedAttributes;
    std::vector<SignedAttribute> unsignedAttributes;
};

struct VerificationResult {
    Verdict verdict = Verdict::Unreadable;
    QStringList reasons;  // why invalid or unreadable (Portuguese); empty when valid
    QString signaturePath;
    QString documentPath;  // empty when none was given
    bool detached = false;
    qint64 contentSize = -1;  // the enclosed content, in bytes (-1: detached or not read)
    std::optional<bool> documentMatches;  // the given document is byte for byte the enclosed content
    QStringList notes;  // what was seen that does not change the verdict (bytes after the message)
    std::vector<SignerReport> signers;
};

// Checks the signature in the file; with a document, also that it is the content signed
// (for a detached signature, the content checked). Never throws: whatever goes wrong is in
// the result.
VerificationResult verifySignatureFile(const QString& signaturePath, const QString& documentPath = QString());

// The same on bytes in memory (a DER or PEM message; the document, when given).
VerificationResult verifySignatureBytes(const QByteArray& signature,
                                        const std::optional<QByteArray>& document = std::nullopt);

// The verdict in one line, then the details, in Portuguese: shared by the command line and
// the window. Lines end in "\n".
QString verificationText(const VerificationResult& result);

// An instant in local time with its offset from UTC, and a day, as the texts show them.
QString whenText(const QDateTime& utc);
QString dayText(const QDateTime& utc);
// Only the first line of it.
QString verdictLine(const VerificationResult& result);

// 0 valid, 1 invalid, 2 not read as a signature.
int exitCodeOf(Verdict verdict);

}  // namespace norvane::cms

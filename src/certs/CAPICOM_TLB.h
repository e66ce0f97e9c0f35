#pragma once
// The certificate platform as the program's described code calls it: objects shaped like
// the CAPICOM ones, thin over the core that does the work (pki/ for the store and the
// certificates' fields, cms/ for signing, tokens/ for the keys). The store "My" holds every
// certificate of every token (see tokens/TokenAccess.h for when they are read again).
//
// Objects are reference-counted (std::shared_ptr); collections count from 1. A failing
// member throws CapicomError: a norvane::Error that also carries the platform's numeric code.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVariant>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "certs/pki/CertificateStore.h"
#include "core/Error.h"

namespace norvane::cms {
class Signer;
}

namespace CAPICOM_TLB {

// Error codes (the Windows HRESULTs of the same conditions).
constexpr long NTE_BAD_KEYSET = 0x80090016;       // the private key cannot be reached
constexpr long CRYPT_E_NOT_FOUND = 0x80092004;    // no such certificate
constexpr long E_INVALIDARG = 0x80070057;         // a bad argument (index, find type, criterion)
constexpr long ERROR_CANCELLED = 0x800704C7;      // the user cancelled (PIN prompt)
constexpr long SCARD_W_WRONG_CHV = 0x8010006B;    // wrong PIN
constexpr long SCARD_W_CHV_BLOCKED = 0x8010006C;  // PIN locked
constexpr long NTE_FAIL = 0x80090020;             // the token or the cryptography failed

class CapicomError : public norvane::Error {
public:
    CapicomError(long code, const QString& message);
    // The core's error under the code of its kind, its causes kept.
    explicit CapicomError(const norvane::Error& error);
    long code() const { return code_; }

private:
    long code_;
};

// Constants of the members' arguments.
enum : long {
    CAPICOM_CURRENT_USER_STORE = 2,
    CAPICOM_STORE_OPEN_READ_ONLY = 0,

    CAPICOM_CERTIFICATE_FIND_SHA1_HASH = 0,
    CAPICOM_CERTIFICATE_FIND_TIME_VALID = 9,
    CAPICOM_CERTIFICATE_FIND_KEY_USAGE = 12,

    CAPICOM_DIGITAL_SIGNATURE_KEY_USAGE = 128,
    CAPICOM_NON_REPUDIATION_KEY_USAGE = 64,

    CAPICOM_INFO_SUBJECT_SIMPLE_NAME = 0,
    CAPICOM_INFO_ISSUER_SIMPLE_NAME = 1,
    CAPICOM_INFO_SUBJECT_EMAIL_NAME = 2,
    CAPICOM_INFO_ISSUER_EMAIL_NAME = 3,

    CAPICOM_ENCODE_BASE64 = 0,
    CAPICOM_ENCODE_BINARY = 1,

    CAPICOM_AUTHENTICATED_ATTRIBUTE_SIGNING_TIME = 0,
    CAPICOM_AUTHENTICATED_ATTRIBUTE_DOCUMENT_NAME = 1,
    CAPICOM_AUTHENTICATED_ATTRIBUTE_DOCUMENT_DESCRIPTION = 2,
};

using TokenLocation = norvane::tokens::TokenLocation;

// The platform's binary string: one byte per position, held as the bytes themselves. A
// file's bytes pass between Utilities, SignedData and the caller shared, never converted.
using BinaryString = QByteArray;

// --- extensions -------------------------------------------------------------------------

class IOID {
public:
    explicit IOID(QString dotted) : value_(std::move(dotted)) {}
    QString Value() const { return value_; }

private:
    QString value_;
};

class IEncodedData {
public:
    explicit IEncodedData(QByteArray extensionDer) : der_(std::move(extensionDer)) {}
    // The value as text; multi-line with every line ended by CR LF when `multiline`.
    QString Format(bool multiline) const;

private:
    QByteArray der_;  // the whole X509_EXTENSION, DER
};

class IExtension {
public:
    explicit IExtension(QByteArray extensionDer);
    std::shared_ptr<IOID> OID() const { return oid_; }
    bool IsCritical() const { return critical_; }
    std::shared_ptr<IEncodedData> EncodedData() const { return data_; }

private:
    std::shared_ptr<IOID> oid_;
    bool critical_ = false;
    std::shared_ptr<IEncodedData> data_;
};

class IExtensions {
public:
    explicit IExtensions(std::vector<std::shared_ptr<IExtension>> items) : items_(std::move(items)) {}
    long Count() const { return static_cast<long>(items_.size()); }
    std::shared_ptr<IExtension> Item(long index) const;

private:
    std::vector<std::shared_ptr<IExtension>> items_;
};

// --- certificates -----------------------------------------------------------------------

class ICertificate2 {
public:
    explicit ICertificate2(norvane::pki::StoredCertificate stored);
    // A certificate read elsewhere: verified against the trust anchors alone.
    ICertificate2(std::shared_ptr<X509> certificate, TokenLocation location);

    QString GetInfo(long type) const;
    QString Thumbprint() const;    // SHA-1 of the DER, upper-case hex
    QString SerialNumber() const;  // upper-case hex
    QDateTime ValidFromDate() const;
    QDateTime ValidToDate() const;
    // Base64 (0: lines of 64 characters, each ended by CR LF) or the DER as text of one
    // character per byte (1; BinaryStringToByteArray gives its bytes back).
    QString Export(long encoding) const;
    std::shared_ptr<IExtensions> Extensions() const;

    // Not of the platform's interface.
    X509* x509() const { return stored_.certificate.get(); }
    QByteArray der() const;
    const TokenLocation& location() const { return stored_.token; }
    const norvane::pki::StoredCertificate& stored() const { return stored_; }
    // Inside its validity dates now and chaining to a trust anchor (checked once).
    bool isValid() const;
    // The issuers from the signer up to, not including, the self-signed root (best effort).
    std::vector<std::shared_ptr<X509>> chainWithoutRoot() const;
    // What signs with this certificate's key, on the token it was read from.
    std::shared_ptr<const norvane::cms::Signer> keySigner() const;

private:
    norvane::pki::StoredCertificate stored_;
    mutable std::atomic<int> validity_{-1};  // chain check: -1 not made yet, 0 failed, 1 passed
};
using ICertificate2Disp = ICertificate2;
using CertificatePtr = std::shared_ptr<ICertificate2>;

class ICertificates2 {
public:
    using Reread = std::function<std::vector<CertificatePtr>()>;
    ICertificates2() = default;
    explicit ICertificates2(std::vector<CertificatePtr> items, Reread reread = nullptr)
        : items_(std::move(items)), reread_(std::move(reread)) {}

    long Count() const { return static_cast<long>(items_.size()); }
    CertificatePtr Item(long index) const;  // 1 to Count
    // New collection of the matches. Criteria: 0 a thumbprint (any letter case); 1/2 a part
    // of the subject/issuer name; 9 a QDateTime (0 or none: now); 12 key-usage bits (a
    // certificate without the key-usage extension has every usage). A thumbprint that the
    // store's own collection does not hold makes the tokens be read anew once (a token
    // plugged in that its driver reports only after a reload).
    std::shared_ptr<ICertificates2> Find(long findType, const QVariant& criteria, bool findValidOnly) const;
    // The modal pick list; the collection of what was picked (empty on cancel). An empty
    // collection raises an error: there is nothing to pick.
    std::shared_ptr<ICertificates2> Select(const QString& title, const QString& displayString, bool multiSelect) const;

private:
    std::vector<CertificatePtr> items_;
    Reread reread_;  // the store's collection only: reads the tokens anew
};

class IStore3 {
public:
    // Takes the certificates of every token: read anew when a token was plugged in or pulled
    // out since the last Open (see TokenAccess.h); on the GUI thread the tokens are looked at
    // on a worker while the window keeps running (a slow reader can take seconds).
    void Open(long location, const QString& name, long mode);
    std::shared_ptr<ICertificates2> Certificates() const;

private:
    bool opened_ = false;
    std::vector<CertificatePtr> items_;
};

// --- signing ----------------------------------------------------------------------------

class IAttribute {
public:
    long Name() const { return name_; }
    void SetName(long name) { name_ = name; }
    // QDateTime for the signing time (0), QString for the document name (1) and description (2).
    QVariant Value() const { return value_; }
    void SetValue(const QVariant& value) { value_ = value; }

private:
    long name_ = 0;
    QVariant value_;
};

class IAttributes {
public:
    long Count() const { return static_cast<long>(items_.size()); }
    std::shared_ptr<IAttribute> Item(long index) const;
    void Add(std::shared_ptr<IAttribute> attribute);
    void Clear() { items_.clear(); }

private:
    std::vector<std::shared_ptr<IAttribute>> items_;
};

class ISigner2 {
public:
    ISigner2() : attributes_(std::make_shared<IAttributes>()) {}
    CertificatePtr Certificate() const { return certificate_; }
    void SetCertificate(CertificatePtr certificate) { certificate_ = std::move(certificate); }
    std::shared_ptr<IAttributes> AuthenticatedAttributes() const { return attributes_; }

    // Not of the platform's interface: what signs, when it is not the key of the certificate
    // (Certificate()->keySigner()), e.g. a key read from files.
    std::shared_ptr<const norvane::cms::Signer> KeySigner() const { return keySigner_; }
    void SetKeySigner(std::shared_ptr<const norvane::cms::Signer> keySigner) { keySigner_ = std::move(keySigner); }

private:
    CertificatePtr certificate_;
    std::shared_ptr<IAttributes> attributes_;
    std::shared_ptr<const norvane::cms::Signer> keySigner_;
};

class ISignedData {
public:
    // A text: the content signed is its UTF-16LE form (a wide text, as the platform signs it).
    void SetContent(const QString& text);
    // A binary string: those bytes, shared (no copy).
    void SetBinaryContent(const BinaryString& binaryString);
    // A binary string held as text (one character per byte, as Export(1) gives it): those
    // bytes; a character above 255 is an error.
    void SetBinaryContent(const QString& binaryString);
    QByteArray contentBytes() const { return content_; }

    // PKCS#7 SignedData with the content enclosed (`detached` must be false), as a binary
    // string: the Base64 text's characters (encoding 0, lines of 64 characters ended by
    // CR LF) or the DER (1).
    // The signer's KeySigner signs when it has one; else the private key is used on its token,
    // the PIN asked once per token and run. A key that cannot be reached raises NTE_BAD_KEYSET.
    // May be called off the GUI thread.
    BinaryString Sign(const std::shared_ptr<ISigner2>& signer, bool detached, long encoding);

private:
    QByteArray content_;
};

class IUtilities {
public:
    // Both ways the very bytes, shared: nothing is converted or copied.
    BinaryString ByteArrayToBinaryString(const QByteArray& bytes) const { return bytes; }
    QByteArray BinaryStringToByteArray(const BinaryString& binaryString) const { return binaryString; }
    // A binary string held as text (one character per byte): a character above 255 is an error.
    QByteArray BinaryStringToByteArray(const QString& binaryString) const;
};

// --- factories ----------------------------------------------------------------------------

struct CoStore {
    static std::shared_ptr<IStore3> Create() { return std::make_shared<IStore3>(); }
};
struct CoSigner {
    static std::shared_ptr<ISigner2> Create() { return std::make_shared<ISigner2>(); }
};
struct CoSignedData {
    static std::shared_ptr<ISignedData> Create() { return std::make_shared<ISignedData>(); }
};
struct CoAttribute {
    static std::shared_ptr<IAttribute> Create() { return std::make_shared<IAttribute>(); }
};
struct CoUtilities {
    static std::shared_ptr<IUtilities> Create() { return std::make_shared<IUtilities>(); }
};

// Base64 of bytes in lines of 64 characters, each ended by CR LF.
QString base64Lines(const QByteArray& bytes);
QByteArray base64LineBytes(const QByteArray& bytes);

}  // namespace CAPICOM_TLB

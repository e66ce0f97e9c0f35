#include "certs/CAPICOM_TLB.h"

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <QCryptographicHash>
#include <QTimeZone>
#include <algorithm>
#include <atomic>
#include <ctime>
#include <mutex>
#include <sys/stat.h>
#include <tuple>

#include "core/Background.h"
#include "core/Dialogs.h"
#include "certs/cms/CmsBuilder.h"
#include "certs/pki/ExtensionFormat.h"
#include "certs/tokens/TokenAccess.h"

namespace CAPICOM_TLB {

CapicomError::CapicomError(long code, const QString& message)
    : std::runtime_error(message.toUtf8().toStdString()), code_(code) {}

QByteArray base64LineBytes(const QByteArray& bytes) {
    const QByteArray text = bytes.toBase64();
    QByteArray out;
    out.reserve(text.size() + text.size() / 32 + 2);
    for (qsizetype i = 0; i < text.size(); i += 64)
        out.append(text.constData() + i, std::min<qsizetype>(64, text.size() - i)).append("\r\n");
    return out;
}

QString base64Lines(const QByteArray& bytes) { return QString::fromLatin1(base64LineBytes(bytes)); }

namespace {

// Latin-1 is exactly one character per byte value (binary strings held as text: Export and
// EncodedData.Value).
QString binaryString(const QByteArray& bytes) { return QString::fromLatin1(bytes); }

QByteArray bytesOf(const QString& binary) {
    QByteArray out(binary.size(), Qt::Uninitialized);
    char* p = out.data();
    for (const QChar c : binary) {
        if (c.unicode() > 0xFF)
            throw CapicomError(E_INVALIDARG, "O texto binário contém um caractere que não é um byte.");
        *p++ = static_cast<char>(c.unicode());
    }
    return out;
}

QString entryText(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return QString();
    return norvane::asn1StringText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
}

// The first e-mail of a certificate: in the alternative name, else in the subject.
QString emailOf(X509* cert, bool issuer) {
    const int nid = issuer ? NID_issuer_alt_name : NID_subject_alt_name;
    if (auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, nid, nullptr, nullptr))) {
        QString found;
        for (int i = 0; i < sk_GENERAL_NAME_num(names) && found.isEmpty(); ++i) {
            const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
            if (n->type == GEN_EMAIL)
                found = QString::fromUtf8(reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.rfc822Name)),
                                          ASN1_STRING_length(n->d.rfc822Name));
        }
        GENERAL_NAMES_free(names);
        if (!found.isEmpty()) return found;
    }
    return entryText(issuer ? X509_get_issuer_name(cert) : X509_get_subject_name(cert), NID_pkcs9_emailAddress);
}

// The simple display name: the common name, else the first of the usual fallbacks.
QString simpleName(const X509_NAME* name) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        const QString text = entryText(name, nid);
        if (!text.isEmpty()) return text;
    }
    return QString();
}

QDateTime dateOf(const ASN1_TIME* time) {
    struct tm t {};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1) return QDateTime();
    return QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec), Qt::UTC);
}

bool validAt(X509* cert, time_t when) {
    return X509_cmp_time(X509_get0_notBefore(cert), &when) < 0 && X509_cmp_time(X509_get0_notAfter(cert), &when) > 0;
}

bool selfSigned(X509* cert) { return (X509_get_extension_flags(cert) & EXFLAG_SS) != 0; }

const QString kNotFound =
    "O certificado digital não foi encontrado entre os certificados válidos. Verifique se o cartão ou "
    "token USB do certificado está conectado ao computador.";

}  // namespace

namespace {

// What the system's trust anchors are read from (SSL_CERT_FILE / SSL_CERT_DIR or OpenSSL's
// defaults) and how those files stand now: a change of either means new anchors.
QByteArray anchorsState() {
    QByteArray state;
    const auto add = [&state](const char* variable, const char* fallback) {
        const QByteArray path = qEnvironmentVariableIsSet(variable) ? qgetenv(variable) : QByteArray(fallback);
        struct stat entry {};
        const bool found = ::stat(path.constData(), &entry) == 0;
        state += path + '\n';
        if (found)
            state += QByteArray::number(qint64(entry.st_ino)) + ' ' + QByteArray::number(qint64(entry.st_size)) + ' ' +
                     QByteArray::number(qint64(entry.st_mtim.tv_sec)) + '.' +
                     QByteArray::number(qint64(entry.st_mtim.tv_nsec));
        state += '\n';
    };
    add(X509_get_default_cert_file_env(), X509_get_default_cert_file());
    add(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    return state;
}

// The system's trust anchors, read again only when their files change: the system bundle
// holds some 150 certificates and takes tens of milliseconds to read, and every certificate
// lookup of a batch verifies. A store serves any number of verifications at once.
std::shared_ptr<X509_STORE> trustAnchors() {
    static std::mutex mutex;
    static std::shared_ptr<X509_STORE> anchors;
    static QByteArray anchorsRead;
    const QByteArray state = anchorsState();
    const std::lock_guard lock(mutex);
    if (!anchors || state != anchorsRead) {
        std::shared_ptr<X509_STORE> fresh(X509_STORE_new(), X509_STORE_free);
        if (!fresh) throw CapicomError(NTE_FAIL, "Memória insuficiente.");
        // Nothing is fetched: the bundle file and the hashed folder only.
        X509_STORE_set_default_paths(fresh.get());
        anchors = std::move(fresh);
        anchorsRead = state;
    }
    return anchors;
}

}  // namespace

// The trust anchors of the system store and every certificate the tokens hold (the
// intermediates among them), as one Open found them.
struct TrustContext {
    std::shared_ptr<X509_STORE> store = trustAnchors();
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> untrusted{
        sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }};

    TrustContext() {
        if (!untrusted) throw CapicomError(NTE_FAIL, "Memória insuficiente.");
    }

    // Verifies now; `chain` receives the issuers found (also when the verification fails).
    bool verify(X509* cert, std::vector<std::shared_ptr<X509>>* chain) const {
        std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
        if (!ctx || X509_STORE_CTX_init(ctx.get(), store.get(), cert, untrusted.get()) != 1) return false;
        const bool ok = X509_verify_cert(ctx.get()) == 1;
        if (chain) {
            STACK_OF(X509)* found = X509_STORE_CTX_get0_chain(ctx.get());
            for (int i = 1; found && i < sk_X509_num(found); ++i) {
                X509* issuer = sk_X509_value(found, i);
                X509_up_ref(issuer);
                chain->emplace_back(issuer, X509_free);
            }
        }
        return ok;
    }
};

// --- extensions -----------------------------------------------------------------------------

QString IEncodedData::Format(bool multiline) const { return norvane::formatExtension(der_, multiline); }

IExtension::IExtension(QByteArray extensionDer) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(extensionDer.constData());
    std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> ext(
        d2i_X509_EXTENSION(nullptr, &p, extensionDer.size()), X509_EXTENSION_free);
    if (!ext) throw CapicomError(NTE_FAIL, "Extensão do certificado ilegível.");
    oid_ = std::make_shared<IOID>(norvane::oidText(X509_EXTENSION_get_object(ext.get())));
    critical_ = X509_EXTENSION_get_critical(ext.get()) != 0;
    data_ = std::make_shared<IEncodedData>(std::move(extensionDer));
}

std::shared_ptr<IExtension> IExtensions::Item(long index) const {
    if (index < 1 || index > Count()) throw CapicomError(E_INVALIDARG, "Índice de extensão fora do intervalo.");
    return items_[static_cast<size_t>(index - 1)];
}

// --- certificates --------------------------------------------------------------------------

ICertificate2::ICertificate2(std::shared_ptr<X509> certificate, TokenLocation location,
                             std::shared_ptr<TrustContext> trust)
    : cert_(std::move(certificate)), location_(std::move(location)), trust_(std::move(trust)) {}

QByteArray ICertificate2::der() const {
    unsigned char* data = nullptr;
    const int n = i2d_X509(cert_.get(), &data);
    if (n <= 0) throw CapicomError(NTE_FAIL, "Certificado ilegível.");
    QByteArray out(reinterpret_cast<const char*>(data), n);
    OPENSSL_free(data);
    return out;
}

QString ICertificate2::GetInfo(long type) const {
    switch (type) {
        case CAPICOM_INFO_SUBJECT_SIMPLE_NAME: {
            const QString name = simpleName(X509_get_subject_name(cert_.get()));
            return name.isEmpty() ? emailOf(cert_.get(), false) : name;
        }
        case CAPICOM_INFO_ISSUER_SIMPLE_NAME:
            return simpleName(X509_get_issuer_name(cert_.get()));
        case CAPICOM_INFO_SUBJECT_EMAIL_NAME:
            return emailOf(cert_.get(), false);
        case CAPICOM_INFO_ISSUER_EMAIL_NAME:
            return emailOf(cert_.get(), true);
        default:
            throw CapicomError(E_INVALIDARG, "Tipo de informação do certificado desconhecido.");
    }
}

QString ICertificate2::Thumbprint() const {
    return QString::fromLatin1(QCryptographicHash::hash(der(), QCryptographicHash::Sha1).toHex().toUpper());
}

QString ICertificate2::SerialNumber() const {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert_.get());
    // The content octets of the DER integer, so a leading 00 stays where the encoding has it.
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_INTEGER(serial, &der);
    QByteArray content;
    if (n > 2) {
        const unsigned char* p = der;
        long length = 0;
        int tag = 0, cls = 0;
        ASN1_get_object(&p, &length, &tag, &cls, n);
        content = QByteArray(reinterpret_cast<const char*>(p), static_cast<int>(length));
    }
    OPENSSL_free(der);
    return QString::fromLatin1(content.toHex().toUpper());
}

QDateTime ICertificate2::ValidFromDate() const { return dateOf(X509_get0_notBefore(cert_.get())); }
QDateTime ICertificate2::ValidToDate() const { return dateOf(X509_get0_notAfter(cert_.get())); }

QString ICertificate2::Export(long encoding) const {
    if (encoding == CAPICOM_ENCODE_BASE64) return base64Lines(der());
    if (encoding == CAPICOM_ENCODE_BINARY) return binaryString(der());
    throw CapicomError(E_INVALIDARG, "Codificação desconhecida.");
}

std::shared_ptr<IExtensions> ICertificate2::Extensions() const {
    std::vector<std::shared_ptr<IExtension>> items;
    for (int i = 0; i < X509_get_ext_count(cert_.get()); ++i) {
        unsigned char* data = nullptr;
        const int n = i2d_X509_EXTENSION(X509_get_ext(cert_.get(), i), &data);
        if (n <= 0) throw CapicomError(NTE_FAIL, "Extensão do certificado ilegível.");
        items.push_back(std::make_shared<IExtension>(QByteArray(reinterpret_cast<const char*>(data), n)));
        OPENSSL_free(data);
    }
    return std::make_shared<IExtensions>(std::move(items));
}

bool ICertificate2::isValid() const {
    if (!validAt(cert_.get(), std::time(nullptr))) return false;
    if (validity_ < 0) {
        std::shared_ptr<TrustContext> trust = trust_ ? trust_ : std::make_shared<TrustContext>();
        validity_ = trust->verify(cert_.get(), nullptr) ? 1 : 0;
    }
    return validity_ == 1;
}

std::vector<std::shared_ptr<X509>> ICertificate2::chainWithoutRoot() const {
    std::shared_ptr<TrustContext> trust = trust_ ? trust_ : std::make_shared<TrustContext>();
    std::vector<std::shared_ptr<X509>> chain;
    trust->verify(cert_.get(), &chain);
    while (!chain.empty() && selfSigned(chain.back().get())) chain.pop_back();
    return chain;
}

CertificatePtr ICertificates2::Item(long index) const {
    if (index < 1 || index > Count()) throw CapicomError(CRYPT_E_NOT_FOUND, kNotFound);
    return items_[static_cast<size_t>(index - 1)];
}

std::shared_ptr<ICertificates2> ICertificates2::Find(long findType, const QVariant& criteria,
                                                     bool findValidOnly) const {
    std::function<bool(const ICertificate2&)> matches;
    switch (findType) {
        case CAPICOM_CERTIFICATE_FIND_SHA1_HASH: {
            const QString wanted = criteria.toString().trimmed();
            matches = [wanted](const ICertificate2& c) {
                return !wanted.isEmpty() && c.Thumbprint().compare(wanted, Qt::CaseInsensitive) == 0;
            };
            break;
        }
        case CAPICOM_CERTIFICATE_FIND_TIME_VALID: {
            time_t when = std::time(nullptr);
            if (criteria.userType() == QMetaType::QDateTime && criteria.toDateTime().isValid())
                when = static_cast<time_t>(criteria.toDateTime().toSecsSinceEpoch());
            else if (criteria.isValid() && criteria.toLongLong() != 0)
                throw CapicomError(E_INVALIDARG, "Critério de data inválido.");
            matches = [when](const ICertificate2& c) { return validAt(c.x509(), when); };
            break;
        }
        case CAPICOM_CERTIFICATE_FIND_KEY_USAGE: {
            bool ok = false;
            const uint32_t bits = static_cast<uint32_t>(criteria.toLongLong(&ok));
            if (!ok) throw CapicomError(E_INVALIDARG, "Critério de uso de chave inválido.");
            // X509_get_key_usage gives every bit when the certificate has no key-usage extension.
            matches = [bits](const ICertificate2& c) { return (X509_get_key_usage(c.x509()) & bits) == bits; };
            break;
        }
        default:
            throw CapicomError(E_INVALIDARG, "Tipo de busca de certificado não suportado.");
    }
    std::vector<CertificatePtr> found;
    bool held = false;
    for (const CertificatePtr& c : items_) {
        if (!matches(*c)) continue;
        held = true;
        if (!findValidOnly || c->isValid()) found.push_back(c);
    }
    if (!held && reread_ && findType == CAPICOM_CERTIFICATE_FIND_SHA1_HASH && !criteria.toString().trimmed().isEmpty()) {
        for (const CertificatePtr& c : reread_())
            if (matches(*c) && (!findValidOnly || c->isValid())) found.push_back(c);
    }
    return std::make_shared<ICertificates2>(std::move(found));
}

std::shared_ptr<ICertificates2> ICertificates2::Select(const QString& title, const QString& displayString,
                                                       bool /*multiSelect*/) const {
    if (items_.empty())
        throw CapicomError(CRYPT_E_NOT_FOUND,
                           "Nenhum certificado digital válido foi encontrado. Verifique se o cartão ou token "
                           "USB do certificado está conectado ao computador.");
    std::vector<norvane::CertificateChoice> choices;
    for (const CertificatePtr& c : items_) {
        choices.push_back({c->GetInfo(CAPICOM_INFO_SUBJECT_SIMPLE_NAME), c->GetInfo(CAPICOM_INFO_ISSUER_SIMPLE_NAME),
                           c->ValidFromDate().toLocalTime().toString("dd/MM/yyyy"),
                           c->ValidToDate().toLocalTime().toString("dd/MM/yyyy")});
    }
    const std::optional<int> picked = norvane::dialogs().pickCertificate(title, displayString, choices);
    std::vector<CertificatePtr> out;
    if (picked && *picked >= 0 && *picked < static_cast<int>(items_.size()))
        out.push_back(items_[static_cast<size_t>(*picked)]);
    return std::make_shared<ICertificates2>(std::move(out));
}

void IStore3::Open(long location, const QString& name, long /*mode: always read-only here*/) {
    if (location != CAPICOM_CURRENT_USER_STORE || name.compare("My", Qt::CaseInsensitive) != 0)
        throw CapicomError(E_INVALIDARG, "Repositório de certificados desconhecido: " + name + ".");
    items_ = readStore(norvane::tokens::Look::IfChanged);
    opened_ = true;
}

std::vector<CertificatePtr> IStore3::readStore(norvane::tokens::Look look) {
    // Loading a token module waits on every reader: never on the GUI thread.
    std::vector<norvane::tokens::TokenCertificate> read =
        norvane::runInBackground([look] { return norvane::tokens::readCertificates(look); });
    auto trust = std::make_shared<TrustContext>();
    for (const auto& c : read) {
        X509_up_ref(c.certificate.get());
        sk_X509_push(trust->untrusted.get(), c.certificate.get());
    }
    std::vector<CertificatePtr> items;
    for (auto& c : read) items.push_back(std::make_shared<ICertificate2>(c.certificate, c.location, trust));
    // Tokens list their objects in no fixed order; the store (and so the pick list) keeps
    // one: by token, then by holder's name, then by expiry.
    const auto key = [](const CertificatePtr& c) {
        return std::make_tuple(c->location().label, c->location().serial, c->GetInfo(CAPICOM_INFO_SUBJECT_SIMPLE_NAME),
                               c->ValidToDate(), c->Thumbprint());
    };
    std::sort(items.begin(), items.end(), [&](const CertificatePtr& a, const CertificatePtr& b) { return key(a) < key(b); });
    return items;
}

std::shared_ptr<ICertificates2> IStore3::Certificates() const {
    if (!opened_) throw CapicomError(E_INVALIDARG, "O repositório de certificados não foi aberto.");
    return std::make_shared<ICertificates2>(items_, [] { return readStore(norvane::tokens::Look::Reload); });
}

// --- signing --------------------------------------------------------------------------------

std::shared_ptr<IAttribute> IAttributes::Item(long index) const {
    if (index < 1 || index > Count()) throw CapicomError(E_INVALIDARG, "Índice de atributo fora do intervalo.");
    return items_[static_cast<size_t>(index - 1)];
}

void IAttributes::Add(std::shared_ptr<IAttribute> attribute) {
    if (!attribute) throw CapicomError(E_INVALIDARG, "Atributo não informado.");
    items_.push_back(std::move(attribute));
}

void ISignedData::SetContent(const QString& text) {
    content_.clear();
    content_.reserve(text.size() * 2);
    for (const QChar c : text) {
        content_.append(static_cast<char>(c.unicode() & 0xFF));
        content_.append(static_cast<char>(c.unicode() >> 8));
    }
}

void ISignedData::SetBinaryContent(const BinaryString& binaryString) { content_ = binaryString; }
void ISignedData::SetBinaryContent(const QString& binaryString) { content_ = bytesOf(binaryString); }

BinaryString ISignedData::Sign(const std::shared_ptr<ISigner2>& signer, bool detached, long encoding) {
    if (!signer) throw CapicomError(E_INVALIDARG, "O assinante não foi informado.");
    const CertificatePtr cert = signer->Certificate();
    if (!cert) throw CapicomError(E_INVALIDARG, "O certificado do assinante não foi informado.");
    if (detached) throw CapicomError(E_INVALIDARG, "Assinatura destacada não é suportada.");
    if (encoding != CAPICOM_ENCODE_BASE64 && encoding != CAPICOM_ENCODE_BINARY)
        throw CapicomError(E_INVALIDARG, "Codificação desconhecida.");

    // The attributes of this signature: the latest of each kind that was added.
    norvane::SignedAttributeValues values;
    bool haveTime = false, haveName = false, haveDescription = false;
    const auto attributes = signer->AuthenticatedAttributes();
    for (long i = attributes->Count(); i >= 1; --i) {
        const auto a = attributes->Item(i);
        if (a->Name() == CAPICOM_AUTHENTICATED_ATTRIBUTE_SIGNING_TIME && !haveTime) {
            values.signingTime = a->Value().toDateTime();
            haveTime = true;
        } else if (a->Name() == CAPICOM_AUTHENTICATED_ATTRIBUTE_DOCUMENT_NAME && !haveName) {
            values.documentName = a->Value().toString();
            haveName = true;
        } else if (a->Name() == CAPICOM_AUTHENTICATED_ATTRIBUTE_DOCUMENT_DESCRIPTION && !haveDescription) {
            values.documentDescription = a->Value().toString();
            haveDescription = true;
        }
    }
    if (!values.signingTime.isValid()) values.signingTime = QDateTime::currentDateTime();

    const std::vector<std::shared_ptr<X509>> chain = cert->chainWithoutRoot();
    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> stack(sk_X509_new_null(),
                                                                     [](STACK_OF(X509) * s) { sk_X509_free(s); });
    for (const auto& c : chain) sk_X509_push(stack.get(), c.get());

    const QByteArray content = content_;
    const QByteArray der = norvane::tokens::withPrivateKey(cert->location(), [&](EVP_PKEY* key) {
        try {
            return norvane::buildSignedData(key, cert->x509(), stack.get(), content, values);
        } catch (const CapicomError&) {
            throw;
        } catch (const std::exception& e) {
            throw CapicomError(NTE_FAIL, QString::fromUtf8(e.what()));
        }
    });
    return encoding == CAPICOM_ENCODE_BASE64 ? base64LineBytes(der) : der;
}

QByteArray IUtilities::BinaryStringToByteArray(const QString& binaryString) const { return bytesOf(binaryString); }

}  // namespace CAPICOM_TLB

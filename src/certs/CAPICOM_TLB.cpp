#include "certs/CAPICOM_TLB.h"

#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>

#include "certs/cms/Signer.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/ExtensionFormat.h"
#include "core/Dialogs.h"

namespace CAPICOM_TLB {

namespace {

norvane::ErrorKind kindOfCode(long code) {
    using norvane::ErrorKind;
    switch (code) {
        case NTE_BAD_KEYSET: return ErrorKind::KeyUnreachable;
        case CRYPT_E_NOT_FOUND: return ErrorKind::NotFound;
        case E_INVALIDARG: return ErrorKind::InvalidArgument;
        case ERROR_CANCELLED: return ErrorKind::PinCancelled;
        case SCARD_W_WRONG_CHV: return ErrorKind::PinRefused;
        case SCARD_W_CHV_BLOCKED: return ErrorKind::PinLocked;
        default: return ErrorKind::TokenError;
    }
}

long codeOfKind(norvane::ErrorKind kind) {
    using norvane::ErrorKind;
    switch (kind) {
        case ErrorKind::KeyUnreachable: return NTE_BAD_KEYSET;
        case ErrorKind::NotFound: return CRYPT_E_NOT_FOUND;
        case ErrorKind::InvalidArgument: return E_INVALIDARG;
        case ErrorKind::PinCancelled: return ERROR_CANCELLED;
        case ErrorKind::PinRefused: return SCARD_W_WRONG_CHV;
        case ErrorKind::PinLocked: return SCARD_W_CHV_BLOCKED;
        default: return NTE_FAIL;
    }
}

}  // namespace

CapicomError::CapicomError(long code, const QString& message) : norvane::Error(kindOfCode(code), message), code_(code) {}

CapicomError::CapicomError(const norvane::Error& error)
    : norvane::Error(error.kind(), error.message(), error), code_(codeOfKind(error.kind())) {}

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

// The core's errors reach the platform's callers under the platform's codes.
template <class F>
auto platformCall(F&& work) -> decltype(work()) {
    try {
        return work();
    } catch (const CapicomError&) {
        throw;
    } catch (const norvane::Error& error) {
        throw CapicomError(error);
    }
}

const QString kNotFound =
    "O certificado digital não foi encontrado entre os certificados válidos. Verifique se o cartão ou "
    "token USB do certificado está conectado ao computador.";

}  // namespace

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

ICertificate2::ICertificate2(norvane::pki::StoredCertificate stored) : stored_(std::move(stored)) {}

ICertificate2::ICertificate2(std::shared_ptr<X509> certificate, TokenLocation location)
    : stored_{std::move(certificate), std::move(location), std::make_shared<norvane::pki::ChainVerifier>(), {}} {}

QByteArray ICertificate2::der() const { return platformCall([&] { return norvane::pki::derOf(x509()); }); }

QString ICertificate2::GetInfo(long type) const {
    switch (type) {
        case CAPICOM_INFO_SUBJECT_SIMPLE_NAME:
            return norvane::pki::subjectDisplayName(x509());
        case CAPICOM_INFO_ISSUER_SIMPLE_NAME:
            return norvane::pki::simpleName(X509_get_issuer_name(x509()));
        case CAPICOM_INFO_SUBJECT_EMAIL_NAME:
            return norvane::pki::emailOf(x509(), false);
        case CAPICOM_INFO_ISSUER_EMAIL_NAME:
            return norvane::pki::emailOf(x509(), true);
        default:
            throw CapicomError(E_INVALIDARG, "Tipo de informação do certificado desconhecido.");
    }
}

QString ICertificate2::Thumbprint() const { return platformCall([&] { return norvane::pki::thumbprintOf(x509()); }); }
QString ICertificate2::SerialNumber() const { return norvane::pki::serialNumberOf(x509()); }
QDateTime ICertificate2::ValidFromDate() const { return norvane::pki::validFrom(x509()); }
QDateTime ICertificate2::ValidToDate() const { return norvane::pki::validTo(x509()); }

QString ICertificate2::Export(long encoding) const {
    if (encoding == CAPICOM_ENCODE_BASE64) return base64Lines(der());
    if (encoding == CAPICOM_ENCODE_BINARY) return binaryString(der());
    throw CapicomError(E_INVALIDARG, "Codificação desconhecida.");
}

std::shared_ptr<IExtensions> ICertificate2::Extensions() const {
    std::vector<std::shared_ptr<IExtension>> items;
    for (int i = 0; i < X509_get_ext_count(x509()); ++i) {
        unsigned char* data = nullptr;
        const int n = i2d_X509_EXTENSION(X509_get_ext(x509(), i), &data);
        if (n <= 0) throw CapicomError(NTE_FAIL, "Extensão do certificado ilegível.");
        items.push_back(std::make_shared<IExtension>(QByteArray(reinterpret_cast<const char*>(data), n)));
        OPENSSL_free(data);
    }
    return std::make_shared<IExtensions>(std::move(items));
}

bool ICertificate2::isValid() const {
    if (!norvane::pki::validAt(x509(), std::time(nullptr))) return false;
    if (validity_ < 0) validity_ = stored_.chains->verify(x509()) && !stored_.revoked() ? 1 : 0;
    return validity_ == 1;
}

std::vector<std::shared_ptr<X509>> ICertificate2::chainWithoutRoot() const { return stored_.chainWithoutRoot(); }

std::shared_ptr<const norvane::cms::Signer> ICertificate2::keySigner() const {
    return std::make_shared<norvane::cms::TokenSigner>(stored_);
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
            matches = [when](const ICertificate2& c) { return norvane::pki::validAt(c.x509(), when); };
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

namespace {

std::vector<CertificatePtr> readStore(norvane::tokens::Look look) {
    std::vector<CertificatePtr> items;
    for (auto& stored : platformCall([look] { return norvane::pki::readCertificateStore(look); }))
        items.push_back(std::make_shared<ICertificate2>(std::move(stored)));
    return items;
}

}  // namespace

void IStore3::Open(long location, const QString& name, long /*mode: always read-only here*/) {
    if (location != CAPICOM_CURRENT_USER_STORE || name.compare("My", Qt::CaseInsensitive) != 0)
        throw CapicomError(E_INVALIDARG, "Repositório de certificados desconhecido: " + name + ".");
    items_ = readStore(norvane::tokens::Look::IfChanged);
    opened_ = true;
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

    const std::shared_ptr<const norvane::cms::Signer> keySigner =
        signer->KeySigner() ? signer->KeySigner() : cert->keySigner();
    const QByteArray der = platformCall([&] { return keySigner->sign(content_, values); });
    return encoding == CAPICOM_ENCODE_BASE64 ? base64LineBytes(der) : der;
}

QByteArray IUtilities::BinaryStringToByteArray(const QString& binaryString) const { return bytesOf(binaryString); }

}  // namespace CAPICOM_TLB

#include "certs/cms/CmsBuilder.h"

#include <limits>
#include <memory>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <stdexcept>
#include <string>

#include "core/Error.h"

namespace norvane {

namespace {

constexpr const char* kDocumentNameOid = "1.3.6.1.4.1.311.88.2.1";
constexpr const char* kDocumentDescriptionOid = "1.3.6.1.4.1.311.88.2.2";

// Throws with the given text followed by everything OpenSSL queued about the failure,
// which also stands as the error's causes.
[[noreturn]] void fail(const std::string& what) { throwWithOpenSslErrors(ErrorKind::CryptoError, QString::fromStdString(what)); }

struct CmsFree {
    void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
struct BioAllFree {
    void operator()(BIO* p) const { BIO_free_all(p); }
};
struct TimeFree {
    void operator()(ASN1_TIME* p) const { ASN1_TIME_free(p); }
};

void addOctetString(CMS_SignerInfo* signer, const char* oid, const QByteArray& value) {
    if (!CMS_signed_add1_attr_by_txt(signer, oid, V_ASN1_OCTET_STRING,
                                     reinterpret_cast<const unsigned char*>(value.constData()),
                                     static_cast<int>(value.size())))
        fail(std::string("Falha ao incluir o atributo ") + oid + " na assinatura");
}

}  // namespace

QByteArray utf16leWithNul(const QString& text) {
    QByteArray bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        bytes.append(static_cast<char>(unit & 0xff));
        bytes.append(static_cast<char>(unit >> 8));
    }
    bytes.append(2, '\0');
    return bytes;
}

QByteArray buildSignedData(EVP_PKEY* key, X509* signerCert, STACK_OF(X509)* chain,
                           const QByteArray& content, const SignedAttributeValues& attributes) {
    ERR_clear_error();
    if (!key || !signerCert) throw Error(ErrorKind::InvalidArgument, "Assinatura sem certificado ou sem chave privada.");
    if (!attributes.signingTime.isValid()) throw Error(ErrorKind::InvalidArgument, "Data e hora da assinatura inválidas.");
    if (content.size() > std::numeric_limits<int>::max())
        throw Error(ErrorKind::FileError, "Arquivo grande demais para ser assinado.");

    constexpr unsigned int flags = CMS_PARTIAL | CMS_BINARY;
    std::unique_ptr<CMS_ContentInfo, CmsFree> cms(CMS_sign(nullptr, nullptr, chain, nullptr, flags));
    if (!cms) fail("Falha ao criar a mensagem assinada");

    // No S/MIME capabilities: the signed attributes are content type, message digest, the
    // three of the document and the signing certificate reference (CAdES-BES).
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), signerCert, key, EVP_sha256(),
                                             flags | CMS_CADES | CMS_NOSMIMECAP);
    if (!signer) fail("Falha ao incluir o signatário");

    // UTCTime (or GeneralizedTime beyond 2049) of the true instant, whatever the local zone.
    std::unique_ptr<ASN1_TIME, TimeFree> when(
        ASN1_TIME_set(nullptr, static_cast<time_t>(attributes.signingTime.toSecsSinceEpoch())));
    if (!when) fail("Falha ao codificar a data e hora da assinatura");
    if (!CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, when->type, when.get(), -1))
        fail("Falha ao incluir a data e hora da assinatura");
    addOctetString(signer, kDocumentNameOid, utf16leWithNul(attributes.documentName));
    addOctetString(signer, kDocumentDescriptionOid, utf16leWithNul(attributes.documentDescription));

    // As CMS_final does, but the content goes through the digest into the message in one
    // write: CMS_final copies 4 KiB at a time into a buffer that grows step by step, which
    // costs several copies of a file of tens of megabytes.
    std::unique_ptr<BIO, BioAllFree> sink(CMS_dataInit(cms.get(), nullptr));
    if (!sink) fail("Falha ao preparar o conteúdo a assinar");
    if (!content.isEmpty() && BIO_write(sink.get(), content.constData(), static_cast<int>(content.size())) !=
                                  static_cast<int>(content.size()))
        fail("Falha ao copiar o conteúdo a assinar");
    (void)BIO_flush(sink.get());
    if (!CMS_dataFinal(cms.get(), sink.get())) fail("Falha ao assinar o conteúdo");

    const int length = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (length <= 0) fail("Falha ao codificar a mensagem assinada");
    QByteArray der(length, Qt::Uninitialized);
    auto* out = reinterpret_cast<unsigned char*>(der.data());
    if (i2d_CMS_ContentInfo(cms.get(), &out) != length) fail("Falha ao codificar a mensagem assinada");
    return der;
}

}  // namespace norvane

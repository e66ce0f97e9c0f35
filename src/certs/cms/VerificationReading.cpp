#include "certs/cms/VerificationReading.h"

#include <openssl/asn1.h>
#include <openssl/ess.h>
#include <openssl/objects.h>
#include <openssl/x509_vfy.h>

#include <QTimeZone>
#include <algorithm>

#include "certs/pki/BundledCertificates.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/ExtensionFormat.h"

namespace norvane::cms::verification {

namespace {

const QString kDocumentNameOid = QStringLiteral("1.3.6.1.4.1.311.88.2.1");
const QString kDocumentDescriptionOid = QStringLiteral("1.3.6.1.4.1.311.88.2.2");

}  // namespace

std::optional<QDateTime> timeOf(const ASN1_TIME* time) {
    struct tm t {};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1) return std::nullopt;
    const QDateTime when(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec),
                         QTimeZone::utc());
    if (!when.isValid()) return std::nullopt;
    return when;
}

QString quoted(const QString& name) { return QStringLiteral("«") + name + QStringLiteral("»"); }

QString certificateName(X509* certificate) {
    const QString name = pki::subjectDisplayName(certificate);
    return name.isEmpty() ? x509NameText(X509_get_subject_name(certificate)) : name;
}

// --- identity --------------------------------------------------------------------------------

namespace {

// --- attributes --------------------------------------------------------------------------------

QString attributeName(const QString& oid, const ASN1_OBJECT* object) {
    static const std::pair<const char*, const char*> names[] = {
        {"1.2.840.113549.1.9.3", "Tipo do conteúdo"},
        {"1.2.840.113549.1.9.4", "Resumo do conteúdo (message digest)"},
        {"1.2.840.113549.1.9.5", "Data e hora da assinatura"},
        {"1.2.840.113549.1.9.6", "Contra-assinatura"},
        {"1.2.840.113549.1.9.15", "Algoritmos preferidos (S/MIME capabilities)"},
        {"1.2.840.113549.1.9.52", "Proteção dos algoritmos (CMS algorithm protection)"},
        {"1.2.840.113549.1.9.16.2.12", "Certificado do signatário (ESS signing-certificate, CAdES-BES)"},
        {"1.2.840.113549.1.9.16.2.47", "Certificado do signatário (ESS signing-certificate-v2, CAdES-BES)"},
        {"1.2.840.113549.1.9.16.2.15", "Política de assinatura (CAdES-EPES)"},
        {"1.2.840.113549.1.9.16.2.16", "Tipo de compromisso (CAdES)"},
        {"1.2.840.113549.1.9.16.2.17", "Local da assinatura (CAdES)"},
        {"1.2.840.113549.1.9.16.2.18", "Atributos do signatário (CAdES)"},
        {"1.2.840.113549.1.9.16.2.20", "Carimbo do tempo do conteúdo (CAdES)"},
        {"1.2.840.113549.1.9.16.2.14", "Carimbo do tempo da assinatura (CAdES-T)"},
        {"1.2.840.113549.1.9.16.2.21", "Referências dos certificados (CAdES-C)"},
        {"1.2.840.113549.1.9.16.2.22", "Referências das revogações (CAdES-C)"},
        {"1.2.840.113549.1.9.16.2.23", "Valores dos certificados (CAdES-X)"},
        {"1.2.840.113549.1.9.16.2.24", "Valores das revogações (CAdES-X)"},
        {"1.2.840.113549.1.9.16.2.48", "Referência do arquivamento (CAdES-A)"},
        {"0.4.0.1733.2.5", "Carimbo do tempo de arquivamento (CAdES-A)"},
        {"1.3.6.1.4.1.311.88.2.1", "Nome do documento"},
        {"1.3.6.1.4.1.311.88.2.2", "Descrição do documento"},
    };
    for (const auto& [known, name] : names)
        if (oid == QLatin1String(known)) return QString::fromUtf8(name);
    const int nid = OBJ_obj2nid(object);
    return nid != NID_undef ? QString::fromLatin1(OBJ_nid2ln(nid)) : QStringLiteral("Atributo desconhecido");
}

// A text attribute of the document as the signer writes it: UTF-16LE, ended by NUL characters.
QString utf16Text(const ASN1_STRING* value) {
    const auto* data = ASN1_STRING_get0_data(value);
    const int length = ASN1_STRING_length(value);
    QString text;
    for (int i = 0; i + 1 < length; i += 2) text += QChar(char16_t(data[i] | (data[i + 1] << 8)));
    while (text.endsWith(QChar(u'\0'))) text.chop(1);
    return text;
}

QString attributeValue(const QString& oid, X509_ATTRIBUTE* attribute) {
    if (X509_ATTRIBUTE_count(attribute) != 1) return QString();
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (!value) return QString();
    if (oid == QLatin1String("1.2.840.113549.1.9.5") &&
        (value->type == V_ASN1_UTCTIME || value->type == V_ASN1_GENERALIZEDTIME)) {
        const auto when = timeOf(value->value.utctime);
        return when ? whenText(*when) : QStringLiteral("ilegível");
    }
    if (oid == QLatin1String("1.2.840.113549.1.9.3") && value->type == V_ASN1_OBJECT) {
        const int nid = OBJ_obj2nid(value->value.object);
        return nid == NID_pkcs7_data ? QStringLiteral("dados (id-data)") : oidText(value->value.object);
    }
    if ((oid == kDocumentNameOid || oid == kDocumentDescriptionOid) && value->type == V_ASN1_OCTET_STRING)
        return utf16Text(value->value.octet_string);
    return QString();
}

}  // namespace

std::vector<SignedAttribute> attributesOf(CMS_SignerInfo* signer, bool signedOnes) {
    std::vector<SignedAttribute> out;
    const int count = signedOnes ? CMS_signed_get_attr_count(signer) : CMS_unsigned_get_attr_count(signer);
    for (int i = 0; i < count; ++i) {
        X509_ATTRIBUTE* attribute = signedOnes ? CMS_signed_get_attr(signer, i) : CMS_unsigned_get_attr(signer, i);
        const ASN1_OBJECT* object = X509_ATTRIBUTE_get0_object(attribute);
        SignedAttribute item;
        item.oid = oidText(object);
        item.name = attributeName(item.oid, object);
        item.value = attributeValue(item.oid, attribute);
        out.push_back(item);
    }
    return out;
}

std::optional<QDateTime> signingTimeOf(CMS_SignerInfo* signer) {
    const int index = CMS_signed_get_attr_by_NID(signer, NID_pkcs9_signingTime, -1);
    if (index < 0) return std::nullopt;
    X509_ATTRIBUTE* attribute = CMS_signed_get_attr(signer, index);
    if (X509_ATTRIBUTE_count(attribute) != 1) return std::nullopt;
    const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (!value || (value->type != V_ASN1_UTCTIME && value->type != V_ASN1_GENERALIZEDTIME)) return std::nullopt;
    return timeOf(value->value.utctime);
}

// The ESS signing-certificate attributes against the signer's certificate; none when absent.
std::optional<bool> signingCertificateMatches(CMS_SignerInfo* signer, X509* certificate, STACK_OF(X509) * carried) {
    const auto sequence = [signer](int nid) -> const ASN1_STRING* {
        return static_cast<const ASN1_STRING*>(
            CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(nid), -3, V_ASN1_SEQUENCE));
    };
    const ASN1_STRING* v1 = sequence(NID_id_smime_aa_signingCertificate);
    const ASN1_STRING* v2 = sequence(NID_id_smime_aa_signingCertificateV2);
    const bool present = CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificate, -1) >= 0 ||
                         CMS_signed_get_attr_by_NID(signer, NID_id_smime_aa_signingCertificateV2, -1) >= 0;
    if (!present) return std::nullopt;
    if (!certificate) return false;
    std::unique_ptr<ESS_SIGNING_CERT, Deleter<ESS_SIGNING_CERT, ESS_SIGNING_CERT_free>> first;
    std::unique_ptr<ESS_SIGNING_CERT_V2, Deleter<ESS_SIGNING_CERT_V2, ESS_SIGNING_CERT_V2_free>> second;
    if (v1) {
        const unsigned char* p = ASN1_STRING_get0_data(v1);
        first.reset(d2i_ESS_SIGNING_CERT(nullptr, &p, ASN1_STRING_length(v1)));
        if (!first) return false;
    }
    if (v2) {
        const unsigned char* p = ASN1_STRING_get0_data(v2);
        second.reset(d2i_ESS_SIGNING_CERT_V2(nullptr, &p, ASN1_STRING_length(v2)));
        if (!second) return false;
    }
    if (!first && !second) return false;  // present, but not one readable value
    StackPtr chain(sk_X509_new_null());
    if (!chain || !sk_X509_push(chain.get(), certificate)) return false;
    for (int i = 0; carried && i < sk_X509_num(carried); ++i) sk_X509_push(chain.get(), sk_X509_value(carried, i));
    return OSSL_ESS_check_signing_certs(first.get(), second.get(), chain.get(), 1) == 1;
}
// --- chains ------------------------------------------------------------------------------------

namespace {

QString chainProblem(const pki::ChainReport& check, X509* signerCertificate) {
    X509* at = check.errorDepth >= 0 && check.errorDepth < int(check.links.size()) ? check.links[check.errorDepth].get()
                                                                                   : signerCertificate;
    const QString name = quoted(certificateName(at));
    switch (check.error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return QStringLiteral(
                       "a cadeia se interrompe em %1: seu emissor %2 não está na assinatura nem entre as "
                       "autoridades conhecidas")
                .arg(name, quoted(pki::simpleName(X509_get_issuer_name(at))));
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return QStringLiteral(
                       "a cadeia termina em %1, uma raiz que não está entre as confiáveis "
                       "(ICP-Brasil e repositório do sistema)")
                .arg(name);
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return QStringLiteral("o certificado %1 venceu em %2").arg(name, whenText(pki::validTo(at)));
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return QStringLiteral("o certificado %1 só é válido a partir de %2")
                .arg(name, whenText(pki::validFrom(at)));
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return QStringLiteral("a assinatura do emissor no certificado %1 não confere").arg(name);
        case X509_V_ERR_INVALID_CA:
            return QStringLiteral("%1 emitiu um certificado sem ser autoridade certificadora").arg(name);
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
            return QStringLiteral("a cadeia é mais longa do que %1 permite").arg(name);
        case X509_V_ERR_INVALID_PURPOSE:
            return QStringLiteral("o certificado %1 não serve a este uso").arg(name);
        case X509_V_ERR_CERT_REVOKED:
            return QStringLiteral("o certificado %1 foi revogado").arg(name);
        default:
            return QStringLiteral("certificado %1: %2 (erro %3 do OpenSSL)")
                .arg(name, check.breakText)
                .arg(check.error);
    }
}

}  // namespace

ChainStatus chainStatus(const pki::ChainReport& check, X509* signerCertificate) {
    ChainStatus status;
    status.trusted = check.trusted;
    if (!check.trusted) {
        status.problem = chainProblem(check, signerCertificate);
    } else if (!check.links.empty()) {
        X509* root = check.links.back().get();
        const auto& bundled = pki::bundledCertificates()->roots;
        const bool icpBrasil = std::any_of(bundled.begin(), bundled.end(), [root](const std::shared_ptr<X509>& r) {
            return X509_cmp(r.get(), root) == 0;
        });
        status.anchor = icpBrasil ? Anchor::IcpBrasil : Anchor::System;
    }
    return status;
}

}  // namespace norvane::cms::verification

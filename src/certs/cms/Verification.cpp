#include "certs/cms/Verification.h"

#include <openssl/pem.h>  // before cms.h, which then declares the CMS PEM functions
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/ess.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "certs/pki/BundledCertificates.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/ExtensionFormat.h"
#include "certs/pki/IdentityRules.h"
#include "certs/pki/IdentityValues.h"
#include "certs/pki/TrustStore.h"
#include "core/ErrorText.h"

namespace norvane::cms {

namespace {

constexpr qint64 kBlock = 1024 * 1024;
const QString kDocumentNameOid = QStringLiteral("1.3.6.1.4.1.311.88.2.1");
const QString kDocumentDescriptionOid = QStringLiteral("1.3.6.1.4.1.311.88.2.2");

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
void freeCertificates(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
void freeStack(STACK_OF(X509) * stack) { sk_X509_free(stack); }
using CertificatesPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeCertificates>>;
using StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeStack>>;

// The content to check, fed in blocks: the enclosed content, or a document in memory or
// in a file. False when it could not be read whole.
using Feed = std::function<bool(const std::function<void(const char*, qsizetype)>&)>;

Feed feedBytes(const char* data, qsizetype size) {
    return [data, size](const std::function<void(const char*, qsizetype)>& take) {
        for (qsizetype at = 0; at < size; at += kBlock) take(data + at, std::min(kBlock, size - at));
        return true;
    };
}

Feed feedFile(const QString& path) {
    return [path](const std::function<void(const char*, qsizetype)>& take) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return false;
        QByteArray block(kBlock, Qt::Uninitialized);
        for (;;) {
            const qint64 n = file.read(block.data(), kBlock);
            if (n < 0) return false;
            if (n == 0) return true;
            take(block.constData(), n);
        }
    };
}

// A document given with the signature: in memory, or in a file read as it is checked.
struct Document {
    const QByteArray* bytes = nullptr;
    QString path;

    Feed feed() const { return bytes ? feedBytes(bytes->constData(), bytes->size()) : feedFile(path); }
    // A new BIO that reads it (null when it cannot be opened).
    BIO* reader() const {
        if (bytes) return BIO_new_mem_buf(bytes->constData(), int(std::min<qsizetype>(bytes->size(), INT_MAX)));
        return BIO_new_file(QFile::encodeName(path).constData(), "rb");
    }
};

QString whenText(const QDateTime& utc) {
    if (!utc.isValid()) return QStringLiteral("(data ilegível)");
    const QDateTime local = utc.toLocalTime();
    const int offset = local.offsetFromUtc();
    const QString zone = offset == 0 ? QStringLiteral("UTC")
                                     : QStringLiteral("UTC%1%2:%3")
                                           .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
                                           .arg(std::abs(offset) / 3600, 2, 10, QLatin1Char('0'))
                                           .arg(std::abs(offset) % 3600 / 60, 2, 10, QLatin1Char('0'));
    return local.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss")) + QStringLiteral(" (") + zone + QLatin1Char(')');
}

QString dayText(const QDateTime& utc) {
    return utc.isValid() ? utc.toLocalTime().toString(QStringLiteral("dd/MM/yyyy")) : QStringLiteral("(data ilegível)");
}

std::optional<QDateTime> timeOf(const ASN1_TIME* time) {
    struct tm t {};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1) return std::nullopt;
    const QDateTime when(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec),
                         Qt::UTC);
    if (!when.isValid()) return std::nullopt;
    return when;
}

QString quoted(const QString& name) { return QStringLiteral("«") + name + QStringLiteral("»"); }

QString certificateName(X509* certificate) {
    const QString name = pki::subjectDisplayName(certificate);
    return name.isEmpty() ? x509NameText(X509_get_subject_name(certificate)) : name;
}

// --- identity --------------------------------------------------------------------------------

struct Identity {
    QString policy, cpf, problem;
};

// The login's identity checks on the certificate: its policy type and the holder's CPF.
Identity identityOf(X509* certificate) {
    Identity identity;
    const auto walk = [certificate](const char* oid, const std::function<void(const QString&)>& onText) {
        for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
            X509_EXTENSION* extension = X509_get_ext(certificate, i);
            if (oidText(X509_EXTENSION_get_object(extension)) != QLatin1String(oid)) continue;
            unsigned char* der = nullptr;
            const int n = i2d_X509_EXTENSION(extension, &der);
            const QByteArray bytes(reinterpret_cast<const char*>(der), std::max(n, 0));
            OPENSSL_free(der);
            onText(formatExtension(bytes, true));
        }
    };
    // The extensions' text read by the login's rules, which must agree with OpenSSL's decoding.
    try {
        checkPolicyType(certificate, [&](QString& read) {
            walk("2.5.29.32", [&](const QString& text) { applyPolicyTypeRule(text, read); });
        }, identity.policy);
    } catch (const std::exception& e) {
        identity.problem = errorText(e);
    }
    try {
        checkCpf(certificate, [&](QString& read) {
            walk("2.5.29.17", [&](const QString& text) { applyCpfRule(text, read); });
        }, identity.cpf);
    } catch (const std::exception& e) {
        if (identity.problem.isEmpty()) identity.problem = errorText(e);
    }
    return identity;
}

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

QString chainProblem(const pki::ChainReport& check, X509* signerCertificate) {
    X509* at = check.errorDepth >= 0 && check.errorDepth < int(check.links.size()) ? check.links[check.errorDepth].get()
                                                                                     : signerCertificate;
    const QString name = quoted(certificateName(at));
    switch (check.error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return QStringLiteral("a cadeia se interrompe em %1: seu emissor %2 não está na assinatura nem entre as "
                                  "autoridades conhecidas")
                .arg(name, quoted(pki::simpleName(X509_get_issuer_name(at))));
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return QStringLiteral("a cadeia termina em %1, uma raiz que não está entre as confiáveis "
                                  "(ICP-Brasil e repositório do sistema)")
                .arg(name);
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return QStringLiteral("o certificado %1 venceu em %2").arg(name, whenText(pki::validTo(at)));
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return QStringLiteral("o certificado %1 só é válido a partir de %2").arg(name, whenText(pki::validFrom(at)));
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
            return QStringLiteral("certificado %1: %2 (erro %3 do OpenSSL)").arg(name, check.breakText).arg(check.error);
    }
}

ChainStatus statusOf(const pki::ChainReport& check, X509* signerCertificate) {
    ChainStatus status;
    status.trusted = check.trusted;
    if (!check.trusted) {
        status.problem = chainProblem(check, signerCertificate);
    } else if (!check.links.empty()) {
        X509* root = check.links.back().get();
        const auto& bundled = pki::bundledCertificates()->roots;
        const bool icpBrasil = std::any_of(bundled.begin(), bundled.end(),
                                           [root](const std::shared_ptr<X509>& r) { return X509_cmp(r.get(), root) == 0; });
        status.anchor = icpBrasil ? Anchor::IcpBrasil : Anchor::System;
    }
    return status;
}

// --- the message -------------------------------------------------------------------------------

struct Parsed {
    CmsPtr cms;
    qint64 trailingBytes = 0;
    QString problem;  // why it is not read as a signature
};

Parsed parse(const QByteArray& bytes) {
    Parsed parsed;
    if (bytes.isEmpty()) {
        parsed.problem = QStringLiteral("o arquivo está vazio");
        return parsed;
    }
    if (bytes.startsWith("-----BEGIN")) {
        BioPtr bio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
        parsed.cms.reset(bio ? PEM_read_bio_CMS(bio.get(), nullptr, nullptr, nullptr) : nullptr);
        if (!parsed.cms) parsed.problem = QStringLiteral("o texto PEM do arquivo não é uma mensagem CMS/PKCS#7 legível");
        return parsed;
    }
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes.constData());
    const unsigned char* p = begin;
    parsed.cms.reset(d2i_CMS_ContentInfo(nullptr, &p, long(bytes.size())));
    if (parsed.cms) {
        parsed.trailingBytes = bytes.size() - (p - begin);
        return parsed;
    }
    // A DER sequence whose declared length runs past the end of the file was cut short.
    const unsigned char* header = begin;
    long length = 0;
    int tag = 0, xclass = 0;
    const int flags = ASN1_get_object(&header, &length, &tag, &xclass, long(bytes.size()));
    const qint64 declared = qint64(header - begin) + length;
    if (static_cast<unsigned char>(bytes[0]) == 0x30 && (flags & 0x80) && header > begin && declared > bytes.size())
        parsed.problem = QStringLiteral("o arquivo está incompleto (truncado): a assinatura declara %1 bytes e o "
                                        "arquivo tem %2")
                             .arg(declared)
                             .arg(bytes.size());
    else
        parsed.problem = QStringLiteral("o arquivo não é uma assinatura CMS/PKCS#7 (.p7s) legível, ou está corrompido");
    return parsed;
}

// The content read through a digest of each algorithm that the SignedData announces, as
// OpenSSL verifies: the chain that CMS_SignerInfo_verify_content takes. `source` is the
// document (taken), or null for the enclosed content. Null when an announced algorithm is
// unknown, or when the content could not be read (then `readProblem` says so).
BioPtr digestedContent(CMS_ContentInfo* cms, BIO* source, QString* readProblem) {
    BioPtr chain(CMS_dataInit(cms, source));
    if (!chain) {
        BIO_free(source);
        return nullptr;
    }
    QByteArray block(int(kBlock), Qt::Uninitialized);
    for (;;) {
        const int n = BIO_read(chain.get(), block.data(), int(block.size()));
        if (n > 0) continue;
        if (n < 0) {
            *readProblem = QStringLiteral("não foi possível ler o documento informado");
            return nullptr;
        }
        return chain;
    }
}

QString digestName(CMS_SignerInfo* signer) {
    X509_ALGOR* digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlgorithm, nullptr);
    const ASN1_OBJECT* oid = nullptr;
    if (digestAlgorithm) X509_ALGOR_get0(&oid, nullptr, nullptr, digestAlgorithm);
    const int nid = oid ? OBJ_obj2nid(oid) : NID_undef;
    if (nid == NID_undef) return oid ? oidText(oid) : QStringLiteral("?");
    return QString::fromLatin1(OBJ_nid2sn(nid)).toUpper();
}

QString signerIdText(CMS_SignerInfo* signer) {
    ASN1_OCTET_STRING* keyId = nullptr;
    X509_NAME* issuer = nullptr;
    ASN1_INTEGER* serial = nullptr;
    if (CMS_SignerInfo_get0_signer_id(signer, &keyId, &issuer, &serial) != 1) return QString();
    if (issuer && serial) {
        std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>> number(ASN1_INTEGER_to_BN(serial, nullptr));
        char* hex = number ? BN_bn2hex(number.get()) : nullptr;
        const QString text = QStringLiteral("emitido por %1, número de série %2")
                                 .arg(x509NameText(issuer), QString::fromLatin1(hex ? hex : "?"));
        OPENSSL_free(hex);
        return text;
    }
    if (keyId)
        return QStringLiteral("identificador de chave %1")
            .arg(QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(keyId)),
                                                ASN1_STRING_length(keyId))
                                         .toHex(':')
                                         .toUpper()));
    return QString();
}

// `digests`: the content read through its digests (null when there is none to check, with
// `haveContent` false, or when an announced digest algorithm is unknown).
void checkSigner(CMS_SignerInfo* signer, STACK_OF(X509) * carried, const pki::ChainVerifier& verifier,
                 bool haveContent, BIO* digests, bool contentIsDocument, SignerReport& report, QStringList& reasons) {
    X509* certificate = nullptr;
    CMS_SignerInfo_get0_algs(signer, nullptr, &certificate, nullptr, nullptr);
    report.certificateFound = certificate != nullptr;
    report.digestAlgorithm = digestName(signer);
    report.hasSignedAttributes = CMS_signed_get_attr_count(signer) >= 0;
    report.signingTime = signingTimeOf(signer);
    report.signedAttributes = attributesOf(signer, true);
    report.unsignedAttributes = attributesOf(signer, false);

    if (!certificate) {
        const QString id = signerIdText(signer);
        report.name = id.isEmpty() ? QStringLiteral("desconhecido") : QStringLiteral("desconhecido (") + id + ')';
        reasons << QStringLiteral("o certificado do signatário não está na assinatura");
    } else {
        report.name = certificateName(certificate);
        const Identity identity = identityOf(certificate);
        report.policy = identity.policy;
        report.cpf = identity.cpf;
        report.identityProblem = identity.problem;
    }

    // The signature over the signed attributes, and the content's digest against the signed one.
    // 1 matches, 0 differs, -1 could not be checked, -2 not made.
    int contentCheck = -2;
    if (haveContent && (report.hasSignedAttributes || certificate)) {
        const int r = digests ? CMS_SignerInfo_verify_content(signer, digests) : -1;
        contentCheck = r == 1 ? 1 : r == 0 ? 0 : -1;
    }
    if (report.hasSignedAttributes) {
        if (certificate) report.signatureValid = CMS_SignerInfo_verify(signer) == 1;
        if (contentCheck != -2) report.digestMatches = contentCheck == 1;
    } else if (contentCheck != -2) {
        // With no signed attributes the signature is over the content's digest itself.
        report.signatureValid = report.digestMatches = contentCheck == 1;
    }
    ERR_clear_error();
    const QString what = contentIsDocument ? QStringLiteral("o documento informado") : QStringLiteral("o conteúdo");
    if (report.signatureValid == false)
        reasons << (report.hasSignedAttributes ? QStringLiteral("a assinatura dos atributos assinados não confere")
                                               : QStringLiteral("a assinatura não confere com ") + what);
    if (report.hasSignedAttributes && contentCheck == 0)
        reasons << QStringLiteral("%1 não é o que foi assinado: seu resumo %2 difere do resumo assinado")
                       .arg(what, report.digestAlgorithm);
    if (report.hasSignedAttributes && contentCheck == -1)
        reasons << QStringLiteral("não foi possível conferir o resumo do conteúdo (um algoritmo de resumo "
                                  "desconhecido, %1 não anunciado na assinatura, ou sem o atributo do resumo assinado)")
                       .arg(report.digestAlgorithm);

    report.signingCertificateMatches = signingCertificateMatches(signer, certificate, carried);
    ERR_clear_error();
    if (report.signingCertificateMatches == false)
        reasons << QStringLiteral("o atributo de certificado do signatário (CAdES) não corresponde ao certificado");

    if (!certificate) return;
    const pki::ChainReport now = verifier.report(certificate);
    for (const auto& link : now.links) {
        ChainLink shown;
        shown.subject = certificateName(link.get());
        shown.issuer = pki::simpleName(X509_get_issuer_name(link.get()));
        shown.validFrom = pki::validFrom(link.get());
        shown.validTo = pki::validTo(link.get());
        shown.selfSigned = pki::selfSigned(link.get());
        report.chain.push_back(shown);
    }
    report.now = statusOf(now, certificate);
    if (report.signingTime)
        report.atSigningTime = statusOf(verifier.report(certificate, report.signingTime->toSecsSinceEpoch()), certificate);
    const bool brokenThen = report.atSigningTime && !report.atSigningTime->trusted;
    if (!report.now.trusted && brokenThen && report.atSigningTime->problem == report.now.problem) {
        reasons << QStringLiteral("hoje e na data da assinatura, ") + report.now.problem;
    } else {
        if (!report.now.trusted) reasons << QStringLiteral("hoje, ") + report.now.problem;
        if (brokenThen) reasons << QStringLiteral("na data da assinatura, ") + report.atSigningTime->problem;
    }
    ERR_clear_error();
}

// Compares the given document with the enclosed content, block by block.
std::optional<bool> sameBytes(const Feed& document, const char* content, qsizetype size, QString* readProblem) {
    qsizetype at = 0;
    bool same = true;
    const bool read = document([&](const char* data, qsizetype n) {
        if (!same) return;
        if (at + n > size || std::memcmp(content + at, data, size_t(n)) != 0) same = false;
        at += n;
    });
    if (!read) {
        *readProblem = QStringLiteral("não foi possível ler o documento informado");
        return std::nullopt;
    }
    return same && at == size;
}

VerificationResult verifyParsed(const QByteArray& bytes, const Document* document, VerificationResult result) {
    ERR_clear_error();
    const Parsed parsed = parse(bytes);
    ERR_clear_error();
    if (!parsed.cms) {
        result.verdict = Verdict::Unreadable;
        result.reasons << parsed.problem;
        return result;
    }
    CMS_ContentInfo* cms = parsed.cms.get();
    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed) {
        result.verdict = Verdict::Unreadable;
        result.reasons << QStringLiteral("o arquivo é uma mensagem CMS, mas não uma assinatura (SignedData)");
        return result;
    }
    if (parsed.trailingBytes > 0)
        result.notes << QStringLiteral("%1 byte(s) depois da assinatura foram ignorados").arg(parsed.trailingBytes);

    ASN1_OCTET_STRING** enclosed = CMS_get0_content(cms);
    result.detached = !enclosed || !*enclosed;
    const char* contentData = nullptr;
    qsizetype contentSize = 0;
    if (!result.detached) {
        contentData = reinterpret_cast<const char*>(ASN1_STRING_get0_data(*enclosed));
        contentSize = ASN1_STRING_length(*enclosed);
        result.contentSize = contentSize;
    }

    QString readProblem;
    if (!result.detached && document)
        result.documentMatches = sameBytes(document->feed(), contentData, contentSize, &readProblem);
    // The enclosed content, or for a detached signature the document, read once through the digests.
    const bool haveContent = !result.detached || document;
    BioPtr digests;
    if (haveContent && readProblem.isEmpty()) {
        BIO* source = result.detached ? document->reader() : nullptr;
        if (result.detached && !source)
            readProblem = QStringLiteral("não foi possível ler o documento informado");
        else
            digests = digestedContent(cms, source, &readProblem);
    }
    ERR_clear_error();

    QStringList invalid;
    CertificatesPtr carried(CMS_get1_certs(cms));
    std::vector<std::shared_ptr<X509>> intermediates;
    for (int i = 0; carried && i < sk_X509_num(carried.get()); ++i) {
        X509* certificate = sk_X509_value(carried.get(), i);
        X509_up_ref(certificate);
        intermediates.emplace_back(certificate, X509_free);
    }
    CMS_set1_signers_certs(cms, nullptr, 0);
    ERR_clear_error();
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    const int count = sk_CMS_SignerInfo_num(signers);
    if (count <= 0) invalid << QStringLiteral("a assinatura não tem signatário");
    try {
        const pki::ChainVerifier verifier(intermediates);
        for (int i = 0; i < count; ++i) {
            SignerReport report;
            QStringList reasons;
            checkSigner(sk_CMS_SignerInfo_value(signers, i), carried.get(), verifier,
                        haveContent && readProblem.isEmpty(), digests.get(), result.detached && document, report,
                        reasons);
            for (const QString& reason : reasons)
                invalid << (count > 1 ? QStringLiteral("signatário %1: ").arg(i + 1) + reason : reason);
            result.signers.push_back(std::move(report));
        }
    } catch (const std::exception& e) {
        // Only a failure to set up the trust anchors (out of memory) gets here.
        invalid << QStringLiteral("não foi possível verificar a cadeia: ") + errorText(e);
    }
    ERR_clear_error();

    if (result.documentMatches == false) invalid << QStringLiteral("o documento informado difere do conteúdo assinado");
    if (!readProblem.isEmpty()) {
        result.verdict = Verdict::Unreadable;
        result.reasons << readProblem;
    } else if (result.detached && !document) {
        result.verdict = Verdict::Unreadable;
        result.reasons << QStringLiteral("a assinatura é destacada (não contém o documento): informe também o "
                                         "documento assinado");
    } else if (!invalid.isEmpty()) {
        result.verdict = Verdict::Invalid;
        result.reasons = invalid;
    } else {
        result.verdict = Verdict::Valid;
    }
    if (result.verdict == Verdict::Unreadable) result.reasons += invalid;
    return result;
}

// Reads at most the bound (one byte more tells that the file is larger).
std::optional<QByteArray> readBounded(const QString& path, const QString& what, QStringList& reasons) {
    const QFileInfo info(path);
    if (!info.exists()) {
        reasons << QStringLiteral("%1 %2 não existe").arg(what, path);
        return std::nullopt;
    }
    if (info.isDir()) {
        reasons << QStringLiteral("%1 %2 é uma pasta").arg(what, path);
        return std::nullopt;
    }
    const auto tooLarge = [&] {
        reasons << QStringLiteral("%1 %2 tem mais de %3 MiB: grande demais para ser uma assinatura")
                       .arg(what, path)
                       .arg(kMaxSignatureFileSize / (1024 * 1024));
    };
    if (info.size() > kMaxSignatureFileSize) {
        tooLarge();
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        reasons << QStringLiteral("não foi possível abrir %1 %2: %3").arg(what, path, file.errorString());
        return std::nullopt;
    }
    QByteArray bytes;
    bytes.reserve(info.size());
    QByteArray block(kBlock, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), kBlock);
        if (n < 0) {
            reasons << QStringLiteral("não foi possível ler %1 %2: %3").arg(what, path, file.errorString());
            return std::nullopt;
        }
        if (n == 0) break;
        if (bytes.size() + n > kMaxSignatureFileSize) {
            tooLarge();
            return std::nullopt;
        }
        bytes.append(block.constData(), n);
    }
    return bytes;
}

}  // namespace

VerificationResult verifySignatureFile(const QString& signaturePath, const QString& documentPath) {
    VerificationResult result;
    result.signaturePath = signaturePath;
    result.documentPath = documentPath;
    const std::optional<QByteArray> bytes = readBounded(signaturePath, QStringLiteral("o arquivo"), result.reasons);
    if (!bytes) return result;
    Document document{nullptr, documentPath};
    if (!documentPath.isEmpty()) {
        const QFileInfo info(documentPath);
        QFile probe(documentPath);
        if (!info.exists() || info.isDir() || !probe.open(QIODevice::ReadOnly)) {
            result.reasons << QStringLiteral("não foi possível abrir o documento %1").arg(documentPath);
            return result;
        }
    }
    return verifyParsed(*bytes, documentPath.isEmpty() ? nullptr : &document, std::move(result));
}

VerificationResult verifySignatureBytes(const QByteArray& signature, const std::optional<QByteArray>& document) {
    VerificationResult result;
    if (signature.size() > kMaxSignatureFileSize) {
        result.reasons << QStringLiteral("a assinatura tem mais de %1 MiB").arg(kMaxSignatureFileSize / (1024 * 1024));
        return result;
    }
    const Document given{document ? &*document : nullptr, QString()};
    return verifyParsed(signature, document ? &given : nullptr, std::move(result));
}

int exitCodeOf(Verdict verdict) {
    switch (verdict) {
        case Verdict::Valid:
            return 0;
        case Verdict::Invalid:
            return 1;
        case Verdict::Unreadable:
            break;
    }
    return 2;
}

namespace {

QString cpfText(const SignerReport& signer) {
    if (signer.cpf == QLatin1String("0")) return QStringLiteral("não tem (certificado de pessoa jurídica, e-CNPJ)");
    if (signer.cpf.isEmpty()) return QStringLiteral("não encontrado no certificado");
    if (signer.cpf.size() == 11)
        return signer.cpf.left(3) + '.' + signer.cpf.mid(3, 3) + '.' + signer.cpf.mid(6, 3) + '-' + signer.cpf.mid(9);
    return signer.cpf;
}

QString policyText(const QString& policy) {
    if (policy.isEmpty()) return QStringLiteral("nenhuma política ICP-Brasil");
    if (policy.contains(QLatin1String("2.16.76.1.2.3"))) return policy + QStringLiteral(" (ICP-Brasil A3)");
    if (policy.contains(QLatin1String("2.16.76.1.2.1"))) return policy + QStringLiteral(" (ICP-Brasil A1)");
    return policy;
}

QString yesNo(const std::optional<bool>& value, const QString& yes, const QString& no, const QString& none) {
    return !value ? none : *value ? yes : no;
}

}  // namespace

QString verdictLine(const VerificationResult& result) {
    switch (result.verdict) {
        case Verdict::Valid:
            return QStringLiteral("Assinatura VÁLIDA (revogação não verificada)");
        case Verdict::Invalid:
            return QStringLiteral("Assinatura INVÁLIDA: ") + result.reasons.join(QStringLiteral("; "));
        case Verdict::Unreadable:
            break;
    }
    return QStringLiteral("Não foi possível verificar a assinatura: ") +
           (result.reasons.isEmpty() ? QStringLiteral("erro desconhecido") : result.reasons.constFirst());
}

QString verificationText(const VerificationResult& result) {
    QString out = verdictLine(result) + '\n';
    const auto line = [&out](const QString& text) { out += text + '\n'; };
    line(QString());
    if (!result.signaturePath.isEmpty()) line(QStringLiteral("Arquivo: ") + result.signaturePath);
    if (result.verdict == Verdict::Unreadable && result.reasons.size() > 1)
        for (qsizetype i = 1; i < result.reasons.size(); ++i) line(QStringLiteral("Também: ") + result.reasons[i]);
    if (result.signers.empty() && result.contentSize < 0 && !result.detached) return out;

    if (result.detached)
        line(QStringLiteral("Conteúdo: destacado (o documento não está dentro da assinatura)"));
    else
        line(QStringLiteral("Conteúdo: incluído na assinatura, %1 bytes").arg(result.contentSize));
    if (!result.documentPath.isEmpty()) {
        line(QStringLiteral("Documento informado: ") + result.documentPath);
        if (!result.detached)
            line(QStringLiteral("  idêntico, byte a byte, ao conteúdo assinado: ") +
                 yesNo(result.documentMatches, QStringLiteral("sim"), QStringLiteral("NÃO"),
                       QStringLiteral("não verificado")));
    }
    for (const QString& note : result.notes) line(QStringLiteral("Observação: ") + note);

    int index = 0;
    for (const SignerReport& signer : result.signers) {
        ++index;
        line(QString());
        line(result.signers.size() > 1 ? QStringLiteral("Signatário %1: ").arg(index) + signer.name
                                        : QStringLiteral("Signatário: ") + signer.name);
        if (signer.certificateFound) {
            line(QStringLiteral("  CPF: ") + cpfText(signer));
            line(QStringLiteral("  Política do certificado: ") + policyText(signer.policy));
            if (!signer.identityProblem.isEmpty())
                line(QStringLiteral("  Leitura da identidade: ") + signer.identityProblem);
        }
        line(QStringLiteral("  Data e hora da assinatura: ") +
             (signer.signingTime ? whenText(*signer.signingTime)
                                 : QStringLiteral("não informada (sem o atributo de data e hora)")));
        if (signer.hasSignedAttributes) {
            line(QStringLiteral("  Assinatura sobre os atributos assinados: ") +
                 yesNo(signer.signatureValid, QStringLiteral("válida"), QStringLiteral("INVÁLIDA"),
                       QStringLiteral("não verificada (sem o certificado do signatário)")));
            line(QStringLiteral("  Resumo %1 do conteúdo: ").arg(signer.digestAlgorithm) +
                 yesNo(signer.digestMatches, QStringLiteral("confere com o assinado"),
                       QStringLiteral("NÃO confere com o assinado"),
                       QStringLiteral("não verificado (sem o documento)")));
        } else {
            line(QStringLiteral("  Sem atributos assinados: a assinatura cobre o resumo %1 do conteúdo diretamente")
                     .arg(signer.digestAlgorithm));
            line(QStringLiteral("  Assinatura sobre o conteúdo: ") +
                 yesNo(signer.signatureValid, QStringLiteral("válida"), QStringLiteral("INVÁLIDA"),
                       QStringLiteral("não verificada")));
        }
        if (signer.signingCertificateMatches)
            line(QStringLiteral("  Atributo do certificado do signatário (CAdES): ") +
                 (*signer.signingCertificateMatches ? QStringLiteral("corresponde ao certificado")
                                                    : QStringLiteral("NÃO corresponde ao certificado")));
        if (signer.certificateFound) {
            line(QStringLiteral("  Certificado na data da assinatura: ") +
                 (!signer.atSigningTime            ? QStringLiteral("não verificado (a assinatura não tem data)")
                  : signer.atSigningTime->trusted ? QStringLiteral("válido, com cadeia confiável")
                                                   : QStringLiteral("INVÁLIDO: ") + signer.atSigningTime->problem));
            line(QStringLiteral("  Certificado hoje: ") +
                 (signer.now.trusted ? QStringLiteral("válido, com cadeia confiável")
                                     : QStringLiteral("INVÁLIDO: ") + signer.now.problem));
            line(QStringLiteral("  Cadeia de certificação:"));
            for (size_t i = 0; i < signer.chain.size(); ++i) {
                const ChainLink& link = signer.chain[i];
                QString text = QStringLiteral("    %1. %2, válido de %3 a %4")
                                   .arg(i + 1)
                                   .arg(link.subject, dayText(link.validFrom), dayText(link.validTo));
                if (signer.now.trusted && i + 1 == signer.chain.size())
                    text += signer.now.anchor == Anchor::IcpBrasil
                                ? QStringLiteral(" (raiz ICP-Brasil confiável, fornecida com o programa)")
                                : QStringLiteral(" (raiz confiável do repositório do sistema)");
                else if (link.selfSigned)
                    text += QStringLiteral(" (raiz)");
                line(text);
            }
            if (!signer.now.trusted) line(QStringLiteral("    interrompida: ") + signer.now.problem);
        }
        line(QStringLiteral("  Atributos assinados:") + (signer.signedAttributes.empty() ? QStringLiteral(" nenhum")
                                                                                       : QString()));
        for (const SignedAttribute& attribute : signer.signedAttributes)
            line(QStringLiteral("    %1 (%2)%3")
                     .arg(attribute.name, attribute.oid,
                          attribute.value.isEmpty() ? QString() : QStringLiteral(": ") + attribute.value));
        line(QStringLiteral("  Atributos não assinados:") +
             (signer.unsignedAttributes.empty() ? QStringLiteral(" nenhum") : QString()));
        for (const SignedAttribute& attribute : signer.unsignedAttributes)
            line(QStringLiteral("    %1 (%2)").arg(attribute.name, attribute.oid));
    }
    line(QString());
    line(QStringLiteral("Revogação: não verificada. O programa não consulta a rede: as listas de certificados "
                        "revogados (LCR) e o OCSP das autoridades certificadoras não foram consultados."));
    return out;
}

}  // namespace norvane::cms

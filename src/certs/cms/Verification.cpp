#include "certs/cms/Verification.h"

#include "core/SystemErrors.h"

#include <cerrno>

// clang-format off
#include <openssl/pem.h>  // before cms.h, which then declares the CMS PEM functions
// clang-format on
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>

#include "certs/cms/VerificationReading.h"
#include "certs/pki/AiaIssuers.h"
#include "certs/pki/BundledCertificates.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/ExtensionFormat.h"
#include "certs/pki/IdentityValues.h"
#include "certs/pki/TrustStore.h"
#include "core/ErrorText.h"

namespace norvane::cms {

using namespace verification;

namespace {

constexpr qint64 kBlock = 1024 * 1024;

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
        if (!parsed.cms)
            parsed.problem = QStringLiteral("o texto PEM do arquivo não é uma mensagem CMS/PKCS#7 legível");
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
        parsed.problem = QStringLiteral(
                             "o arquivo está incompleto (truncado): a assinatura declara %1 bytes e o "
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
            .arg(QString::fromLatin1(
                QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(keyId)), ASN1_STRING_length(keyId))
                    .toHex(':')
                    .toUpper()));
    return QString();
}

// The chain as shown, link by link from the signer's certificate.
std::vector<ChainLink> chainLinks(const pki::ChainReport& chain) {
    std::vector<ChainLink> links;
    for (const auto& link : chain.links) {
        ChainLink shown;
        shown.subject = certificateName(link.get());
        shown.issuer = pki::simpleName(X509_get_issuer_name(link.get()));
        shown.validFrom = pki::validFrom(link.get());
        shown.validTo = pki::validTo(link.get());
        shown.selfSigned = pki::selfSigned(link.get());
        if (const auto origin = pki::aiaOrigin(link.get())) shown.fetchedFrom = origin->url;
        links.push_back(shown);
    }
    return links;
}

// `digests`: the content read through its digests (null when there is none to check, with
// `haveContent` false, or when an announced digest algorithm is unknown).
void checkSigner(CMS_SignerInfo* signer, STACK_OF(X509) * carried, pki::ChainVerifier& verifier, bool haveContent,
                 BIO* digests, bool contentIsDocument, SignerReport& report, QStringList& reasons) {
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
        const CertificateIdentity identity = readCertificateIdentity(certificate);
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
        reasons << QStringLiteral(
                       "não foi possível conferir o resumo do conteúdo (um algoritmo de resumo "
                       "desconhecido, %1 não anunciado na assinatura, ou sem o atributo do resumo assinado)")
                       .arg(report.digestAlgorithm);

    report.signingCertificateMatches = signingCertificateMatches(signer, certificate, carried);
    ERR_clear_error();
    if (report.signingCertificateMatches == false)
        reasons << QStringLiteral("o atributo de certificado do signatário (CAdES) não corresponde ao certificado");

    if (!certificate) return;
    const pki::Deadline deadline(pki::kReportBudgetMs);
    verifier.completeWithAia(certificate, deadline);
    const pki::ChainReport now = verifier.report(certificate);
    report.chain = chainLinks(now);
    report.now = chainStatus(now, certificate);
    if (report.now.trusted) report.revocation = revocationOf(now, deadline, reasons);
    else report.revocation.why = QStringLiteral("a cadeia não chega a uma raiz confiável");
    if (report.signingTime)
        report.atSigningTime =
            chainStatus(verifier.report(certificate, report.signingTime->toSecsSinceEpoch()), certificate);
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

// The certificates of the stack, each shared with its own reference.
std::vector<std::shared_ptr<X509>> sharedCertificates(STACK_OF(X509) * certificates) {
    std::vector<std::shared_ptr<X509>> shared;
    for (int i = 0; certificates && i < sk_X509_num(certificates); ++i) {
        X509* certificate = sk_X509_value(certificates, i);
        X509_up_ref(certificate);
        shared.emplace_back(certificate, X509_free);
    }
    return shared;
}

void settleVerdict(VerificationResult& result, const QString& readProblem, bool haveDocument,
                   const QStringList& invalid);

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
    const std::vector<std::shared_ptr<X509>> intermediates = sharedCertificates(carried.get());
    CMS_set1_signers_certs(cms, nullptr, 0);
    ERR_clear_error();
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    const int count = sk_CMS_SignerInfo_num(signers);
    if (count <= 0) invalid << QStringLiteral("a assinatura não tem signatário");
    try {
        pki::ChainVerifier verifier(intermediates);
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
    settleVerdict(result, readProblem, document != nullptr, invalid);
    return result;
}

// The verdict once every check was made: a document that could not be read, or a detached
// signature without its document, leaves it unreadable (with what was found invalid as well).
void settleVerdict(VerificationResult& result, const QString& readProblem, bool haveDocument,
                   const QStringList& invalid) {
    if (!readProblem.isEmpty()) {
        result.verdict = Verdict::Unreadable;
        result.reasons << readProblem;
    } else if (result.detached && !haveDocument) {
        result.verdict = Verdict::Unreadable;
        result.reasons << QStringLiteral(
            "a assinatura é destacada (não contém o documento): informe também o "
            "documento assinado");
    } else if (!invalid.isEmpty()) {
        result.verdict = Verdict::Invalid;
        result.reasons = invalid;
    } else {
        result.verdict = Verdict::Valid;
    }
    if (result.verdict == Verdict::Unreadable) result.reasons += invalid;
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
        reasons << QStringLiteral("não foi possível abrir %1 %2: %3").arg(what, path, fileErrorText(file, errno));
        return std::nullopt;
    }
    QByteArray bytes;
    bytes.reserve(info.size());
    QByteArray block(kBlock, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(block.data(), kBlock);
        if (n < 0) {
            reasons << QStringLiteral("não foi possível ler %1 %2: %3").arg(what, path, fileErrorText(file, errno));
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

}  // namespace norvane::cms

#include "certs/pki/PkiReaders.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <QFile>
#include <climits>

namespace norvane::pki {

namespace {

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

BioPtr memoryBio(const char* data, qsizetype size) {
    return BioPtr(size >= 0 && size <= INT_MAX ? BIO_new_mem_buf(data, int(size)) : nullptr, BIO_free);
}

bool looksPem(const char* data, qsizetype size) {
    return QByteArray::fromRawData(data, std::min<qsizetype>(size, 4096)).contains("-----BEGIN ");
}

void take(X509* certificate, std::vector<std::shared_ptr<X509>>& out) {
    if (certificate && int(out.size()) < kMaxCertificatesRead)
        out.emplace_back(certificate, X509_free);
    else
        X509_free(certificate);
}

// The certificates of a PKCS#7 SignedData (certs-only or not).
void takeFromPkcs7(PKCS7* p7, std::vector<std::shared_ptr<X509>>& out) {
    if (!p7 || OBJ_obj2nid(p7->type) != NID_pkcs7_signed || !p7->d.sign) return;
    STACK_OF(X509)* certificates = p7->d.sign->cert;
    for (int i = 0; certificates && i < sk_X509_num(certificates); ++i) {
        X509* certificate = sk_X509_value(certificates, i);
        X509_up_ref(certificate);
        take(certificate, out);
    }
}

}  // namespace

std::vector<std::shared_ptr<X509>> readCertificates(const QByteArray& bytes) {
    std::vector<std::shared_ptr<X509>> out;
    if (bytes.isEmpty()) return out;
    if (looksPem(bytes.constData(), bytes.size())) {
        BioPtr bio = memoryBio(bytes.constData(), bytes.size());
        while (bio && int(out.size()) < kMaxCertificatesRead) {
            X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
            if (!certificate) break;
            take(certificate, out);
        }
        if (out.empty()) {
            bio = memoryBio(bytes.constData(), bytes.size());
            PKCS7* p7 = bio ? PEM_read_bio_PKCS7(bio.get(), nullptr, nullptr, nullptr) : nullptr;
            takeFromPkcs7(p7, out);
            PKCS7_free(p7);
        }
    } else {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
        if (X509* certificate = d2i_X509(nullptr, &p, long(bytes.size()))) {
            take(certificate, out);
        } else {
            p = reinterpret_cast<const unsigned char*>(bytes.constData());
            PKCS7* p7 = d2i_PKCS7(nullptr, &p, long(bytes.size()));
            takeFromPkcs7(p7, out);
            PKCS7_free(p7);
        }
    }
    ERR_clear_error();
    return out;
}

std::shared_ptr<X509_CRL> readCrl(const char* data, qsizetype size) {
    X509_CRL* crl = nullptr;
    if (size <= 0) return nullptr;
    if (looksPem(data, size)) {
        BioPtr bio = memoryBio(data, size);
        crl = bio ? PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr) : nullptr;
    } else {
        const auto* p = reinterpret_cast<const unsigned char*>(data);
        crl = d2i_X509_CRL(nullptr, &p, long(size));
    }
    ERR_clear_error();
    return crl ? std::shared_ptr<X509_CRL>(crl, X509_CRL_free) : nullptr;
}

std::shared_ptr<X509_CRL> readCrlFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= 0) return nullptr;
    uchar* mapped = file.map(0, file.size());
    if (!mapped) return nullptr;
    std::shared_ptr<X509_CRL> crl = readCrl(reinterpret_cast<const char*>(mapped), file.size());
    file.unmap(mapped);
    return crl;
}

std::shared_ptr<OCSP_RESPONSE> readOcspResponse(const QByteArray& bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    OCSP_RESPONSE* response = bytes.isEmpty() ? nullptr : d2i_OCSP_RESPONSE(nullptr, &p, long(bytes.size()));
    ERR_clear_error();
    return response ? std::shared_ptr<OCSP_RESPONSE>(response, OCSP_RESPONSE_free) : nullptr;
}

}  // namespace norvane::pki

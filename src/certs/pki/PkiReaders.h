#pragma once
// Readers of what the network brings for a chain: issuer certificates (DER, PEM, or a
// certs-only PKCS#7 in DER or PEM), LCRs (DER or PEM) and OCSP answers. They take any bytes
// and give nothing (an empty list, a null) for what they cannot read; they never throw.

#include <QByteArray>
#include <QString>
#include <memory>
#include <vector>

typedef struct x509_st X509;
typedef struct X509_crl_st X509_CRL;
typedef struct ocsp_response_st OCSP_RESPONSE;

namespace norvane::pki {

// At most this many certificates are taken from one answer.
inline constexpr int kMaxCertificatesRead = 16;

std::vector<std::shared_ptr<X509>> readCertificates(const QByteArray& bytes);
std::shared_ptr<X509_CRL> readCrl(const char* data, qsizetype size);
// The LCR in a file, read through a mapping of the file (no copy of its bytes in memory).
std::shared_ptr<X509_CRL> readCrlFile(const QString& path);
std::shared_ptr<OCSP_RESPONSE> readOcspResponse(const QByteArray& bytes);

}  // namespace norvane::pki

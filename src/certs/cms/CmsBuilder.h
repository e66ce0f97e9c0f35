#pragma once
// CMS SignedData (PKCS#7) with the signed document enclosed, as the certificate
// platform's SignedData::Sign produces it.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace norvane {

struct SignedAttributeValues {
    QDateTime signingTime;        // the instant of signing; encoded in UTC
    QString documentName;         // e.g. "a.pdf" or "temp.txt"
    QString documentDescription;  // "Assinado com Assinador Norvane"
};

// DER CMS SignedData with the content enclosed, SHA-256, one signer, certificates = the signer's
// certificate + the given chain (callers pass it without the root), signed attributes: content type,
// message digest, signing time (1.2.840.113549.1.9.5), document name (1.3.6.1.4.1.311.88.2.1) and
// description (1.3.6.1.4.1.311.88.2.2), each an OCTET STRING of the text in UTF-16LE + two NUL bytes,
// and ESS signing-certificate-v2 (CAdES-BES). `key` may be a token key (libp11 EVP_PKEY).
// Throws norvane::Error on failure: OpenSSL's errors stand as its causes and follow in its message.
QByteArray buildSignedData(EVP_PKEY* key, X509* signerCert, STACK_OF(X509)* chain,
                           const QByteArray& content, const SignedAttributeValues& attributes);

// The value of the document name and description attributes: UTF-16LE text + two NUL bytes.
QByteArray utf16leWithNul(const QString& text);

}  // namespace norvane

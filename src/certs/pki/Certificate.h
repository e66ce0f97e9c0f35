#pragma once
// What a certificate says, read with OpenSSL: names, thumbprint, serial, validity.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <ctime>

typedef struct x509_st X509;
typedef struct X509_name_st X509_NAME;

namespace norvane::pki {

QByteArray derOf(X509* certificate);
// SHA-1 of the DER, upper-case hex.
QString thumbprintOf(X509* certificate);
// The content octets of the DER serial number, upper-case hex (a leading 00 kept).
QString serialNumberOf(X509* certificate);
// The simple display name: the common name, else the first of the usual fallbacks.
QString simpleName(const X509_NAME* name);
// The first e-mail of the certificate (or of its issuer): in the alternative name, else in the name.
QString emailOf(X509* certificate, bool issuer);
QDateTime validFrom(X509* certificate);
QDateTime validTo(X509* certificate);
// Inside its validity dates at that instant.
bool validAt(X509* certificate, std::time_t when);
bool selfSigned(X509* certificate);

}  // namespace norvane::pki

namespace norvane::pki {
// The subject's simple name, else its e-mail (the name a pick list shows).
QString subjectDisplayName(X509* certificate);
}  // namespace norvane::pki

#pragma once
// The text of a certificate extension as the platform's EncodedData.Format gives it:
// certificate policies and subject alternative names laid out as the Windows platform
// lays them out (the identity checks read those lines); other extensions as OpenSSL
// prints them.

#include <QByteArray>
#include <QString>
#include <openssl/types.h>

namespace norvane {

// `extensionDer`: the whole extension (X509_EXTENSION), DER. Multi-line text has every
// line ended by CR LF; single-line text joins the same items with ", ".
QString formatExtension(const QByteArray& extensionDer, bool multiline);

// An ASN.1 string of a certificate as text (any string type; empty when null or unreadable).
QString asn1StringText(const ASN1_STRING* s);

// Text that stays on its line wherever it is shown: control characters and line
// separators (a certificate may carry them in a name) are written as \xHH.
QString lineSafeText(QString text);

// An object identifier in dotted form, whole however long (empty when null).
QString oidText(const ASN1_OBJECT* object);

// A distinguished name on one line, RFC 2253 order, UTF-8 kept.
QString x509NameText(const X509_NAME* name);

}  // namespace norvane

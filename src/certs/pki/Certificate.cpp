#include "certs/pki/Certificate.h"

#include <openssl/asn1.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QTimeZone>
#include <QCryptographicHash>

#include "certs/pki/ExtensionFormat.h"
#include "core/Error.h"

namespace norvane::pki {

namespace {

QString entryText(const X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) return QString();
    return lineSafeText(asn1StringText(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index))));
}

QDateTime dateOf(const ASN1_TIME* time) {
    struct tm t {};
    if (!time || ASN1_TIME_to_tm(time, &t) != 1) return QDateTime();
    return QDateTime(QDate(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday), QTime(t.tm_hour, t.tm_min, t.tm_sec),
                     QTimeZone::utc());
}

}  // namespace

QByteArray derOf(X509* certificate) {
    unsigned char* data = nullptr;
    const int n = i2d_X509(certificate, &data);
    if (n <= 0) throw Error(ErrorKind::CryptoError, "Certificado ilegível.");
    QByteArray out(reinterpret_cast<const char*>(data), n);
    OPENSSL_free(data);
    return out;
}

QString thumbprintOf(X509* certificate) {
    return QString::fromLatin1(QCryptographicHash::hash(derOf(certificate), QCryptographicHash::Sha1).toHex().toUpper());
}

QString serialNumberOf(X509* certificate) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_INTEGER(serial, &der);
    QByteArray content;
    if (n > 2) {
        const unsigned char* p = der;
        long length = 0;
        int tag = 0, cls = 0;
        ASN1_get_object(&p, &length, &tag, &cls, n);
        content = QByteArray(reinterpret_cast<const char*>(p), static_cast<int>(length));
    }
    OPENSSL_free(der);
    return QString::fromLatin1(content.toHex().toUpper());
}

QString simpleName(const X509_NAME* name) {
    for (int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
        const QString text = entryText(name, nid);
        if (!text.isEmpty()) return text;
    }
    return QString();
}

QString emailOf(X509* certificate, bool issuer) {
    const int nid = issuer ? NID_issuer_alt_name : NID_subject_alt_name;
    if (auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, nid, nullptr, nullptr))) {
        QString found;
        for (int i = 0; i < sk_GENERAL_NAME_num(names) && found.isEmpty(); ++i) {
            const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
            if (n->type == GEN_EMAIL)
                found = lineSafeText(asn1StringText(n->d.rfc822Name));
        }
        GENERAL_NAMES_free(names);
        if (!found.isEmpty()) return found;
    }
    return entryText(issuer ? X509_get_issuer_name(certificate) : X509_get_subject_name(certificate),
                     NID_pkcs9_emailAddress);
}

QDateTime validFrom(X509* certificate) { return dateOf(X509_get0_notBefore(certificate)); }
QDateTime validTo(X509* certificate) { return dateOf(X509_get0_notAfter(certificate)); }

bool validAt(X509* certificate, std::time_t when) {
    return X509_cmp_time(X509_get0_notBefore(certificate), &when) < 0 &&
           X509_cmp_time(X509_get0_notAfter(certificate), &when) > 0;
}

bool selfSigned(X509* certificate) { return (X509_get_extension_flags(certificate) & EXFLAG_SS) != 0; }

}  // namespace norvane::pki

namespace norvane::pki {
QString subjectDisplayName(X509* certificate) {
    const QString name = simpleName(X509_get_subject_name(certificate));
    return name.isEmpty() ? emailOf(certificate, false) : name;
}
}  // namespace norvane::pki

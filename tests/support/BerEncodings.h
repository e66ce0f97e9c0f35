#pragma once
// Certificates whose subject alternative names and policies are written byte by byte, in
// any valid BER or DER form: long-form lengths of any size (also where DER wants the short
// form), indefinite lengths, strings in constructed pieces. Shared by the tests and the
// fuzzing harnesses; needs only Qt Core and OpenSSL.

#include <QByteArray>
#include <QString>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace norvane::test::ber {

// How a length is written: the minimal DER form (0), the long form in at least that many
// bytes (1-4, also for lengths under 128; more when the length needs them), or the indefinite
// form (constructed encodings only).
constexpr int kIndefinite = -1;

inline QByteArray length(size_t n, int form) {
    if (form == 0 && n < 128) return QByteArray(1, char(n));
    const int needed = n < 0x100 ? 1 : n < 0x10000 ? 2 : n < 0x1000000 ? 3 : 4;
    form = std::max(form, needed);
    QByteArray out(1, char(0x80 | form));
    for (int i = form - 1; i >= 0; --i) out += char(i >= int(sizeof(size_t)) ? 0 : (n >> (8 * i)) & 0xFF);
    return out;
}

// Tag, length in the given form, content; an indefinite length ends with the two NUL bytes.
inline QByteArray tlv(unsigned char tag, const QByteArray& content, int form = 0) {
    if (form == kIndefinite) {
        if (!(tag & 0x20)) throw std::logic_error("indefinite length of a primitive encoding");
        return QByteArray(1, char(tag)) + char(0x80) + content + QByteArray(2, '\0');
    }
    return QByteArray(1, char(tag)) + length(size_t(content.size()), form) + content;
}

// The form of a string value: its universal tag, primitive or cut into constructed pieces,
// and the length forms of the whole and of the pieces.
struct StringForm {
    StringForm(unsigned char tag = 0x04, int lengthForm = 0, std::vector<qsizetype> pieces = {},
               int pieceLengthForm = 0)
        : tag(tag), lengthForm(lengthForm), pieces(std::move(pieces)), pieceLengthForm(pieceLengthForm) {}
    unsigned char tag;                // 0x04 OCTET STRING, 0x13 PrintableString, 0x0C UTF8String ...
    int lengthForm;                   // of the whole (kIndefinite only when constructed)
    std::vector<qsizetype> pieces;    // constructed when not empty: the pieces' sizes, the rest last
    int pieceLengthForm;
};

// The content bytes of a string in the form. The pieces of a constructed string are OCTET
// STRINGs, whatever the string's own type.
inline QByteArray stringValue(const QByteArray& content, const StringForm& form) {
    if (form.pieces.empty()) return tlv(form.tag, content, form.lengthForm);
    QByteArray inner;
    qsizetype at = 0;
    for (const qsizetype size : form.pieces) {
        const qsizetype take = std::min(size, content.size() - at);
        inner += tlv(0x04, content.mid(at, take), form.pieceLengthForm);
        at += take;
    }
    inner += tlv(0x04, content.mid(at), form.pieceLengthForm);
    return tlv(form.tag | 0x20, inner, form.lengthForm);
}

// DER of an object identifier in dotted form.
inline QByteArray oid(const char* dotted) {
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(OBJ_txt2obj(dotted, 1), ASN1_OBJECT_free);
    if (!object) throw std::logic_error("bad OID");
    unsigned char* der = nullptr;
    const int n = i2d_ASN1_OBJECT(object.get(), &der);
    QByteArray out(reinterpret_cast<const char*>(der), n);
    OPENSSL_free(der);
    return out;
}

// The length forms of the constructed wrappers around a value.
struct WrapperForms {
    WrapperForms(int outer = 0, int explicit0 = 0) : outer(outer), explicit0(explicit0) {}
    int outer;      // the other-name itself ([0] IMPLICIT SEQUENCE) or the policy's SEQUENCE
    int explicit0;  // the [0] EXPLICIT around an other-name's value
};

// A GeneralName otherName: { type-id, [0] EXPLICIT value }.
inline QByteArray otherName(const char* type, const QByteArray& value, WrapperForms forms = {}) {
    return tlv(0xA0, oid(type) + tlv(0xA0, value, forms.explicit0), forms.outer);
}
inline QByteArray email(const QByteArray& address) { return tlv(0x81, address); }
inline QByteArray dnsName(const QByteArray& name) { return tlv(0x82, name); }

// A PolicyInformation: { policyIdentifier [, qualifiers with one CPS URI] }.
inline QByteArray policy(const char* dotted, const QByteArray& cps = {}, WrapperForms forms = {}) {
    QByteArray content = oid(dotted);
    if (!cps.isEmpty()) content += tlv(0x30, tlv(0x30, oid("1.3.6.1.5.5.7.2.1") + tlv(0x16, cps)));
    return tlv(0x30, content, forms.outer);
}

// The SEQUENCE OF that makes the value of an alternative-names or policies extension.
inline QByteArray sequenceOf(const std::vector<QByteArray>& items, int form = 0) {
    QByteArray content;
    for (const QByteArray& item : items) content += item;
    return tlv(0x30, content, form);
}

// A key for the certificates of a run (EC P-256: quick to make and to sign with).
inline std::shared_ptr<EVP_PKEY> signingKey() {
    return std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

// A self-signed certificate holding these extensions (NID and value bytes, as given), read
// back from its DER as a certificate from a token is.
inline std::shared_ptr<X509> certificateWith(const std::vector<std::pair<int, QByteArray>>& extensions,
                                             EVP_PKEY* key) {
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("TESTE:12345678909"),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24 * 30);
    X509_set_pubkey(cert.get(), key);
    for (const auto& [nid, value] : extensions) {
        std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> data(ASN1_OCTET_STRING_new(),
                                                                                   ASN1_OCTET_STRING_free);
        ASN1_OCTET_STRING_set(data.get(), reinterpret_cast<const unsigned char*>(value.constData()), int(value.size()));
        std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> extension(
            X509_EXTENSION_create_by_NID(nullptr, nid, 0, data.get()), X509_EXTENSION_free);
        X509_add_ext(cert.get(), extension.get(), -1);
    }
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) throw std::runtime_error("cannot sign the test certificate");
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert.get(), &der);
    const unsigned char* p = der;
    X509* read = d2i_X509(nullptr, &p, n);
    OPENSSL_free(der);
    if (!read) throw std::runtime_error("cannot read the test certificate back");
    return std::shared_ptr<X509>(read, X509_free);
}

}  // namespace norvane::test::ber

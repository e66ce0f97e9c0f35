// Extension text from DER and both identity checks on it, against OpenSSL's own
// decoding of the same DER. First byte: 0 alternative names, 1 policies, else the
// rest is a whole X509_EXTENSION.
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QByteArray>
#include <QStringList>
#include <memory>
#include <optional>

#include "FuzzCheck.h"
#include "certs/pki/ExtensionFormat.h"
#include "certs/pki/IdentityRules.h"
#include "core/Error.h"

using namespace norvane;

namespace {

QByteArray extensionDer(int nid, const QByteArray& value) {
    std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> octets(ASN1_OCTET_STRING_new(),
                                                                                 ASN1_OCTET_STRING_free);
    ASN1_OCTET_STRING_set(octets.get(), reinterpret_cast<const unsigned char*>(value.constData()), int(value.size()));
    std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> ext(
        X509_EXTENSION_create_by_NID(nullptr, nid, 0, octets.get()), X509_EXTENSION_free);
    unsigned char* der = nullptr;
    const int n = i2d_X509_EXTENSION(ext.get(), &der);
    QByteArray out(reinterpret_cast<const char*>(der), std::max(n, 0));
    OPENSSL_free(der);
    return out;
}

std::string oid(const ASN1_OBJECT* object) {
    std::string buffer(8192, '\0');
    const int n = OBJ_obj2txt(buffer.data(), int(buffer.size()), object, 1);
    buffer.resize(size_t(std::clamp(n, 0, int(buffer.size()) - 1)));
    return buffer;
}

// The CPF rule straight from the decoded names.
QString expectedCpf(const QByteArray& value) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(value.constData());
    std::unique_ptr<GENERAL_NAMES, decltype(&GENERAL_NAMES_free)> names(d2i_GENERAL_NAMES(nullptr, &p, value.size()),
                                                                        GENERAL_NAMES_free);
    QString result;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type != GEN_OTHERNAME) continue;
        const std::string type = oid(name->d.otherName->type_id);
        if (type == "2.16.76.1.3.1") {
            unsigned char* der = nullptr;
            const int n = i2d_ASN1_TYPE(name->d.otherName->value, &der);
            result = QString::fromLatin1(reinterpret_cast<const char*>(der), std::max(n, 0)).mid(10, 11);
            OPENSSL_free(der);
        } else if (type == "2.16.76.1.3.3") {
            result = QStringLiteral("0");
        }
    }
    return result;
}

QString expectedPolicy(const QByteArray& value) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(value.constData());
    std::unique_ptr<CERTIFICATEPOLICIES, decltype(&CERTIFICATEPOLICIES_free)> policies(
        d2i_CERTIFICATEPOLICIES(nullptr, &p, value.size()), CERTIFICATEPOLICIES_free);
    const int n = policies ? sk_POLICYINFO_num(policies.get()) : 0;
    return n ? QString::fromStdString(oid(sk_POLICYINFO_value(policies.get(), n - 1)->policyid)) : QString();
}

// The text is whole lines, each ended by CR LF, with no other line break.
void checkLines(const QString& text) {
    if (text.isEmpty()) return;
    FUZZ_CHECK(text.endsWith("\r\n"), "text not ended by CR LF");
    const QStringList lines = text.chopped(2).split(QStringLiteral("\r\n"));
    for (const QString& line : lines) FUZZ_CHECK(!line.contains('\r') && !line.contains('\n'), "line break inside a value");
}

template <class Rule>
std::optional<QString> apply(Rule rule, const QString& text) {
    QString result;
    try {
        rule(text, result);
    } catch (const Error& error) {
        FUZZ_CHECK(error.kind() == ErrorKind::IdentityUnreadable, "a rule's error of another kind");
        return std::nullopt;  // shown to the user as an error; the login goes no further
    }
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const QByteArray value(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    if (data[0] == 0 || data[0] == 1) {
        const bool san = data[0] == 0;
        const QByteArray der = extensionDer(san ? NID_subject_alt_name : NID_certificate_policies, value);
        const QString text = formatExtension(der, true);
        formatExtension(der, false);
        checkLines(text);
        if (san) {
            const auto cpf = apply(applyCpfRule, text);
            if (cpf) FUZZ_CHECK(*cpf == expectedCpf(value), "CPF differs from the decoded other-names");
        } else {
            const auto policy = apply(applyPolicyTypeRule, text);
            if (policy) FUZZ_CHECK(*policy == expectedPolicy(value), "policy differs from the decoded policies");
        }
    } else {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(value.constData());
        std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> ext(
            d2i_X509_EXTENSION(nullptr, &p, value.size()), X509_EXTENSION_free);
        const QString text = formatExtension(value, true);
        formatExtension(value, false);
        if (ext) {
            const std::string full = oid(X509_EXTENSION_get_object(ext.get()));
            if (full.size() < 8000)
                FUZZ_CHECK(oidText(X509_EXTENSION_get_object(ext.get())).toStdString() == full, "OID cut short");
        }
    }
    return 0;
}

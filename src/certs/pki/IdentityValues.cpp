#include "certs/pki/IdentityValues.h"

#include "certs/pki/ExtensionFormat.h"
#include "certs/pki/IdentityRules.h"
#include "core/Error.h"

#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <exception>
#include <memory>

namespace norvane {

namespace {

using Object = std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)>;

Object object(const char* dotted) { return Object(OBJ_txt2obj(dotted, 1), ASN1_OBJECT_free); }

[[noreturn]] void unreadable(const QString& message) {
    ERR_clear_error();
    throw Error(ErrorKind::IdentityUnreadable, message);
}

// A value in a message: control characters as \xHH, so that every character can be seen.
QString visible(const QString& text) {
    QString out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u < 0xA0))
            out += QStringLiteral("\\x") + QString::number(unsigned(u), 16).rightJustified(2, QLatin1Char('0')).toUpper();
        else
            out += c;
    }
    return out;
}

// Decodes the whole value of each extension of that kind, in the certificate's order. A value
// with bytes after its end was not written by a CA: it is refused like one that does not decode.
template <class Value, class Decode, class Free, class Each>
void eachExtension(const X509* certificate, int nid, Decode decode, Free free, const QString& unreadableText,
                   Each each) {
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        const X509_EXTENSION* extension = X509_get_ext(certificate, i);
        if (OBJ_obj2nid(X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(extension))) != nid) continue;
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(extension));
        const unsigned char* p = ASN1_STRING_get0_data(data);
        const unsigned char* end = p + ASN1_STRING_length(data);
        std::unique_ptr<Value, Free> value(decode(nullptr, &p, long(end - p)), free);
        if (!value || p != end) unreadable(unreadableText);
        each(*value);
    }
}

void requireCertificate(const X509* certificate) {
    if (!certificate) throw Error(ErrorKind::InvalidArgument, QStringLiteral("Nenhum certificado foi informado."));
}

void check(const X509* certificate, const std::function<void(QString&)>& textRule, QString& result,
           QString (*decode)(const X509*), const QString& mismatchText) {
    result.clear();
    QString read;
    std::exception_ptr textFailure;
    try {
        textRule(read);
    } catch (const std::exception&) {
        textFailure = std::current_exception();
    }
    if (!certificate && textFailure) std::rethrow_exception(textFailure);
    const QString decoded = decode(certificate);
    if (read != decoded) {
        if (textFailure) std::rethrow_exception(textFailure);
        throw Error(ErrorKind::IdentityUnreadable, mismatchText.arg(visible(read), visible(decoded)));
    }
    result = decoded;
    if (textFailure) std::rethrow_exception(textFailure);
}

}  // namespace

QString otherNameText(const ASN1_TYPE* value) {
    const int type = value ? value->type : V_ASN1_UNDEF;
    switch (type) {
        case V_ASN1_OCTET_STRING: {
            const ASN1_STRING* bytes = value->value.octet_string;
            return QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(bytes)),
                                       ASN1_STRING_length(bytes));
        }
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_VISIBLESTRING:
        case V_ASN1_NUMERICSTRING:
        case V_ASN1_T61STRING:
        case V_ASN1_UTF8STRING:
        case V_ASN1_BMPSTRING:
        case V_ASN1_UNIVERSALSTRING: {
            unsigned char* utf8 = nullptr;
            const int n = ASN1_STRING_to_UTF8(&utf8, value->value.asn1_string);
            if (n < 0) unreadable(QStringLiteral("O valor dos dados do titular (2.16.76.1.3.1) no certificado não é um texto válido."));
            const QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), n);
            OPENSSL_free(utf8);
            return text;
        }
        default:
            unreadable(QStringLiteral("O valor dos dados do titular (2.16.76.1.3.1) no certificado não é um texto."));
    }
}

QString decodedCpf(const X509* certificate) {
    requireCertificate(certificate);
    const Object person = object("2.16.76.1.3.1");
    const Object company = object("2.16.76.1.3.3");
    QString result;
    eachExtension<GENERAL_NAMES>(
        certificate, NID_subject_alt_name, d2i_GENERAL_NAMES, GENERAL_NAMES_free,
        QStringLiteral("A extensão de nomes alternativos do certificado (2.5.29.17) não pôde ser decodificada."),
        [&](const GENERAL_NAMES& names) {
            for (int i = 0; i < sk_GENERAL_NAME_num(&names); ++i) {
                const GENERAL_NAME* name = sk_GENERAL_NAME_value(&names, i);
                if (name->type != GEN_OTHERNAME) continue;
                const OTHERNAME* other = name->d.otherName;
                if (OBJ_cmp(other->type_id, person.get()) == 0)
                    result = otherNameText(other->value).mid(8, 11);  // after the birth date
                else if (OBJ_cmp(other->type_id, company.get()) == 0)
                    result = QStringLiteral("0");
            }
        });
    return result;
}

QString decodedPolicyType(const X509* certificate) {
    requireCertificate(certificate);
    QString result;
    eachExtension<CERTIFICATEPOLICIES>(
        certificate, NID_certificate_policies, d2i_CERTIFICATEPOLICIES, CERTIFICATEPOLICIES_free,
        QStringLiteral("A extensão de políticas do certificado (2.5.29.32) não pôde ser decodificada."),
        [&](const CERTIFICATEPOLICIES& policies) {
            const int count = sk_POLICYINFO_num(&policies);
            if (count > 0) result = oidText(sk_POLICYINFO_value(&policies, count - 1)->policyid);
        });
    return result;
}

void checkCpf(const X509* certificate, const std::function<void(QString&)>& textRule, QString& result) {
    check(certificate, textRule, result, decodedCpf,
          QStringLiteral("O CPF do certificado não pôde ser lido com segurança: o texto da extensão dá \"%1\" e a "
                         "decodificação do valor dá \"%2\". O certificado não pode ser usado."));
}

void checkPolicyType(const X509* certificate, const std::function<void(QString&)>& textRule, QString& result) {
    check(certificate, textRule, result, decodedPolicyType,
          QStringLiteral("A política do certificado não pôde ser lida com segurança: o texto da extensão dá \"%1\" e "
                         "a decodificação dá \"%2\". O certificado não pode ser usado."));
}

CertificateIdentity readCertificateIdentity(X509* certificate) {
    CertificateIdentity identity;
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
        identity.problem = QString::fromUtf8(e.what());
    }
    try {
        checkCpf(certificate, [&](QString& read) {
            walk("2.5.29.17", [&](const QString& text) { applyCpfRule(text, read); });
        }, identity.cpf);
    } catch (const std::exception& e) {
        if (identity.problem.isEmpty()) identity.problem = QString::fromUtf8(e.what());
    }
    return identity;
}

}  // namespace norvane

#include "certs/pki/ExtensionFormat.h"

#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QStringList>
#include <algorithm>
#include <memory>

namespace norvane {

namespace {

const QString kIndent = QStringLiteral("     ");  // one level: five blanks

// A value on a line of its own.
QString stringText(const ASN1_STRING* s) { return lineSafeText(asn1StringText(s)); }

QString hexBytes(const unsigned char* data, int length) {
    QStringList bytes;
    for (int i = 0; i < length; ++i) bytes << QString("%1").arg(data[i], 2, 16, QChar('0'));
    return bytes.join(' ');
}

// One item of the text: its indentation level and its words.
struct Line {
    int level;
    QString text;
};

void policyLines(const CERTIFICATEPOLICIES* policies, std::vector<Line>& out) {
    for (int i = 0; i < sk_POLICYINFO_num(policies); ++i) {
        const POLICYINFO* info = sk_POLICYINFO_value(policies, i);
        const int n = i + 1;
        out.push_back({0, QString("[%1]Certificate Policy:").arg(n)});
        out.push_back({1, "Policy Identifier=" + oidText(info->policyid)});
        for (int q = 0; q < sk_POLICYQUALINFO_num(info->qualifiers); ++q) {
            const POLICYQUALINFO* qualifier = sk_POLICYQUALINFO_value(info->qualifiers, q);
            out.push_back({1, QString("[%1,%2]Policy Qualifier Info:").arg(n).arg(q + 1)});
            switch (OBJ_obj2nid(qualifier->pqualid)) {
                case NID_id_qt_cps:
                    out.push_back({2, "Policy Qualifier Id=CPS"});
                    out.push_back({2, "Qualifier:"});
                    out.push_back({3, stringText(qualifier->d.cpsuri)});
                    break;
                case NID_id_qt_unotice: {
                    out.push_back({2, "Policy Qualifier Id=User Notice"});
                    out.push_back({2, "Qualifier:"});
                    const USERNOTICE* notice = qualifier->d.usernotice;
                    if (notice && notice->noticeref) {
                        out.push_back({3, "Notice Reference:"});
                        out.push_back({4, "Organization=" + stringText(notice->noticeref->organization)});
                        QStringList numbers;
                        for (int k = 0; k < sk_ASN1_INTEGER_num(notice->noticeref->noticenos); ++k)
                            numbers << QString::number(
                                ASN1_INTEGER_get(sk_ASN1_INTEGER_value(notice->noticeref->noticenos, k)));
                        out.push_back({4, "Notice Number=" + numbers.join(", ")});
                    }
                    if (notice && notice->exptext) out.push_back({3, "Notice Text=" + stringText(notice->exptext)});
                    break;
                }
                default: {
                    out.push_back({2, "Policy Qualifier Id=" + oidText(qualifier->pqualid)});
                    out.push_back({2, "Qualifier:"});
                    unsigned char* der = nullptr;
                    const int length = qualifier->d.other ? i2d_ASN1_TYPE(qualifier->d.other, &der) : 0;
                    out.push_back({3, length > 0 ? hexBytes(der, length) : QString()});
                    OPENSSL_free(der);
                }
            }
        }
    }
}

QString ipText(const ASN1_OCTET_STRING* ip) {
    const unsigned char* d = ASN1_STRING_get0_data(ip);
    const int n = ASN1_STRING_length(ip);
    if (n == 4) return QString("%1.%2.%3.%4").arg(d[0]).arg(d[1]).arg(d[2]).arg(d[3]);
    QStringList groups;
    for (int i = 0; i + 1 < n; i += 2) groups << QString::number((d[i] << 8) | d[i + 1], 16);
    return groups.join(':');
}


void alternativeNameLines(const GENERAL_NAMES* names, std::vector<Line>& out) {
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        switch (name->type) {
            case GEN_OTHERNAME: {
                // The value as it stands in the certificate: tag, length and content.
                unsigned char* der = nullptr;
                const int length = i2d_ASN1_TYPE(name->d.otherName->value, &der);
                out.push_back({0, "Other Name:"});
                out.push_back(
                    {1, oidText(name->d.otherName->type_id) + "=" + (length > 0 ? hexBytes(der, length) : QString())});
                OPENSSL_free(der);
                break;
            }
            case GEN_EMAIL:
                out.push_back({0, "RFC822 Name=" + stringText(name->d.rfc822Name)});
                break;
            case GEN_DNS:
                out.push_back({0, "DNS Name=" + stringText(name->d.dNSName)});
                break;
            case GEN_URI:
                out.push_back({0, "URL=" + stringText(name->d.uniformResourceIdentifier)});
                break;
            case GEN_IPADD:
                out.push_back({0, "IP Address=" + ipText(name->d.iPAddress)});
                break;
            case GEN_RID:
                out.push_back({0, "Registered ID=" + oidText(name->d.registeredID)});
                break;
            case GEN_DIRNAME:
                out.push_back({0, "Directory Address:"});
                out.push_back({1, x509NameText(name->d.directoryName)});
                break;
            default: {
                unsigned char* der = nullptr;
                const int length = i2d_GENERAL_NAME(name, &der);
                out.push_back({0, "Unknown Name=" + (length > 0 ? hexBytes(der, length) : QString())});
                OPENSSL_free(der);
            }
        }
    }
}

// Any other extension: OpenSSL's own text of it, one item per line.
void otherLines(X509_EXTENSION* extension, std::vector<Line>& out) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (X509V3_EXT_print(bio.get(), extension, 0, 0) <= 0) {
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(extension);
        out.push_back({0, hexBytes(ASN1_STRING_get0_data(value), ASN1_STRING_length(value))});
        return;
    }
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    for (const QString& piece : QString::fromUtf8(data, static_cast<int>(n)).split('\n', Qt::SkipEmptyParts)) {
        const QString trimmed = piece.trimmed();
        if (!trimmed.isEmpty()) out.push_back({0, trimmed});
    }
}

}  // namespace

QString formatExtension(const QByteArray& extensionDer, bool multiline) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(extensionDer.constData());
    std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)> extension(
        d2i_X509_EXTENSION(nullptr, &p, extensionDer.size()), X509_EXTENSION_free);
    if (!extension) return QString();

    std::vector<Line> lines;
    const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(extension.get()));
    void* decoded = (nid == NID_certificate_policies || nid == NID_subject_alt_name || nid == NID_issuer_alt_name)
                        ? X509V3_EXT_d2i(extension.get())
                        : nullptr;
    if (nid == NID_certificate_policies && decoded) {
        policyLines(static_cast<CERTIFICATEPOLICIES*>(decoded), lines);
        CERTIFICATEPOLICIES_free(static_cast<CERTIFICATEPOLICIES*>(decoded));
    } else if ((nid == NID_subject_alt_name || nid == NID_issuer_alt_name) && decoded) {
        alternativeNameLines(static_cast<GENERAL_NAMES*>(decoded), lines);
        GENERAL_NAMES_free(static_cast<GENERAL_NAMES*>(decoded));
    } else {
        otherLines(extension.get(), lines);
    }

    QString out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (multiline) {
            out += kIndent.repeated(lines[i].level) + lines[i].text + "\r\n";
        } else {
            if (i > 0) out += lines[i - 1].text.endsWith(':') ? "" : ", ";
            out += lines[i].text;
        }
    }
    return out;
}

}  // namespace norvane

QString norvane::asn1StringText(const ASN1_STRING* s) {
    if (!s) return QString();
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, s);
    if (n < 0) return QString();
    QString out = QString::fromUtf8(reinterpret_cast<const char*>(utf8), n);
    OPENSSL_free(utf8);
    return out;
}

QString norvane::lineSafeText(QString text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == 0x2028 || c == 0x2029) {
            const QString escaped = "\\x" + QString::number(c, 16).rightJustified(2, '0').toUpper();
            text.replace(i, 1, escaped);
            i += escaped.size() - 1;
        }
    }
    return text;
}

QString norvane::oidText(const ASN1_OBJECT* object) {
    if (!object) return QString();
    const int n = OBJ_obj2txt(nullptr, 0, object, 1);
    if (n <= 0) return QString();
    QByteArray buffer(n + 1, '\0');
    const int written = OBJ_obj2txt(buffer.data(), n + 1, object, 1);
    return QString::fromLatin1(buffer.constData(), std::clamp(written, 0, n));
}

QString norvane::x509NameText(const X509_NAME* name) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return QString::fromUtf8(data, static_cast<int>(n));
}

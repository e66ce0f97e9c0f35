// The identity values of certificates built from the input: other-names (person data,
// company marker, other ICP-Brasil fields, e-mail, DNS) and policies, each written in a
// valid BER or DER form chosen by the input (string type, primitive or in constructed
// pieces, short, long-form or indefinite lengths, of the value and of its wrappers). The
// identity checks (the extension text's reading against the decoding) must give what
// OpenSSL's parse of each value alone gives, and must answer without an error for every
// value a CA may write; where the two readings can part, they may refuse, never differ.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>
#include <optional>
#include <stdexcept>

#include "FuzzCheck.h"
#include "certs/pki/ExtensionFormat.h"
#include "certs/pki/IdentityRules.h"
#include "certs/pki/IdentityValues.h"
#include "support/BerEncodings.h"

namespace ber = norvane::test::ber;

namespace {

QByteArray digits(FuzzedDataProvider& in, int count) {
    QByteArray out;
    for (int i = 0; i < count; ++i) out += char('0' + in.ConsumeIntegralInRange(0, 9));
    return out;
}

int lengthForm(FuzzedDataProvider& in, bool constructed) {
    const int form = in.ConsumeIntegralInRange(constructed ? -1 : 0, 4);
    return form < 0 ? ber::kIndefinite : form;
}

ber::WrapperForms wrappers(FuzzedDataProvider& in) { return {lengthForm(in, true), lengthForm(in, true)}; }

// A string value: its characters, its type, and the form of its encoding.
struct StringValue {
    QString text;      // the characters meant
    QByteArray der;    // the encoding
};

// The content bytes of `text` in the string type `tag`.
QByteArray contentBytes(const QString& text, unsigned char tag) {
    switch (tag) {
        case 0x0C:  // UTF8String
            return text.toUtf8();
        case 0x1E: {  // BMPString: UTF-16 big-endian
            QByteArray out;
            for (const QChar c : text) out += char(c.unicode() >> 8), out += char(c.unicode() & 0xFF);
            return out;
        }
        case 0x1C: {  // UniversalString: UCS-4 big-endian
            QByteArray out;
            for (const char32_t c : text.toUcs4())
                for (int shift = 24; shift >= 0; shift -= 8) out += char((c >> shift) & 0xFF);
            return out;
        }
        default:  // one byte a character
            return text.toLatin1();
    }
}

StringValue encode(FuzzedDataProvider& in, const QString& text, unsigned char tag) {
    const QByteArray content = contentBytes(text, tag);
    ber::StringForm form(tag);
    if (in.ConsumeBool()) {  // in constructed pieces
        const int pieces = in.ConsumeIntegralInRange(0, 4);
        for (int i = 0; i < pieces; ++i) form.pieces.push_back(in.ConsumeIntegralInRange<qsizetype>(0, content.size()));
        form.lengthForm = lengthForm(in, true);
        form.pieceLengthForm = lengthForm(in, false);
        if (form.pieces.empty()) form.pieces.push_back(content.size());
    } else {
        form.lengthForm = lengthForm(in, false);
    }
    return {text, ber::stringValue(content, form)};
}

// OpenSSL's parse of the value alone: its characters, or nothing when it is not a string.
std::optional<QString> parsedAlone(const QByteArray& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<ASN1_TYPE, decltype(&ASN1_TYPE_free)> value(d2i_ASN1_TYPE(nullptr, &p, der.size()), ASN1_TYPE_free);
    FUZZ_CHECK(value && p == reinterpret_cast<const unsigned char*>(der.constData()) + der.size(),
               "OpenSSL does not parse a value the harness wrote");
    if (value->type == V_ASN1_OCTET_STRING)
        return QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value->value.octet_string)),
                                   ASN1_STRING_length(value->value.octet_string));
    if (value->type == V_ASN1_BOOLEAN || value->type == V_ASN1_NULL || value->type == V_ASN1_OBJECT ||
        value->type == V_ASN1_SEQUENCE || value->type == V_ASN1_INTEGER || value->type < 0)
        return std::nullopt;
    unsigned char* utf8 = nullptr;
    const int n = ASN1_STRING_to_UTF8(&utf8, value->value.asn1_string);
    FUZZ_CHECK(n >= 0, "OpenSSL cannot read a string the harness wrote");
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), n);
    OPENSSL_free(utf8);
    return text;
}

// What one person or company name gives, and whether a CA may write it so.
struct Winner {
    QString cpf;
    bool legal = true;
};

// Person data: birth date, CPF, then the optional fields; or shorter; or out of what a CA
// may write (two or four bytes a character, a character beyond Latin-1, 128 characters or more).
QByteArray personValue(FuzzedDataProvider& in, std::optional<Winner>& winner, bool& anyNotString) {
    QString text = QString::fromLatin1(digits(in, 8) + digits(in, 11));
    const int shape = in.ConsumeIntegralInRange(0, 9);
    bool legal = true;
    if (shape == 0) text = text.left(in.ConsumeIntegralInRange(0, 18));  // shorter
    if (shape >= 1 && shape <= 6) {
        if (in.ConsumeBool()) text += QString::fromLatin1(digits(in, 11));                 // NIS
        if (in.ConsumeBool()) text += QString::fromLatin1(digits(in, 15));                 // RG
        const int issuer = in.ConsumeIntegralInRange(0, 10);                               // issuer and state
        for (int i = 0; i < issuer; ++i)
            text += QChar("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"[in.ConsumeIntegralInRange(0, 35)]);
    }
    if (shape == 7) {  // too long for the field: DER writes a two-byte length
        text += QString(in.ConsumeIntegralInRange(109, 300), QChar('0' + in.ConsumeIntegralInRange(0, 9)));
        legal = false;
    }
    if (shape == 8) {  // a character beyond ASCII somewhere
        text.insert(in.ConsumeIntegralInRange<qsizetype>(0, text.size()),
                    QChar(in.ConsumeIntegralInRange<char16_t>(0x80, 0xD7FF)));
        legal = false;
    }
    if (shape == 9) {  // not a string
        const QByteArray forms[] = {ber::tlv(0x02, "\x01\x02"), ber::tlv(0x05, ""), ber::tlv(0x01, "\xff"),
                                    ber::tlv(0x30, ber::tlv(0x04, text.toLatin1())), ber::oid("2.16.76.1.3.1")};
        const QByteArray der = forms[in.ConsumeIntegralInRange(0, 4)];
        FUZZ_CHECK(!parsedAlone(der), "a value that is not a string read as one");
        anyNotString = true;
        winner = Winner{QString(), false};
        return der;
    }
    bool ascii = true;
    for (const QChar c : text) ascii = ascii && c.unicode() < 0x80;
    bool numeric = true;
    for (const QChar c : text) numeric = numeric && c.isDigit();
    // The types ICP-Brasil names (OCTET STRING, PrintableString) most often; others of one byte a
    // character where the text fits them; two and four bytes a character.
    static const unsigned char kTypes[] = {0x04, 0x13, 0x04, 0x13, 0x0C, 0x16, 0x1A, 0x14, 0x12, 0x1E, 0x1C};
    unsigned char tag = kTypes[in.ConsumeIntegralInRange(0, 10)];
    if (tag == 0x12 && !numeric) tag = 0x13;
    if (!ascii && tag != 0x0C && tag != 0x1E && tag != 0x1C) tag = 0x0C;
    if (tag == 0x1E || tag == 0x1C) legal = false;
    const StringValue value = encode(in, text, tag);
    const std::optional<QString> alone = parsedAlone(value.der);
    FUZZ_CHECK(alone && *alone == value.text, "OpenSSL reads another text than the harness wrote");
    winner = Winner{alone->mid(8, 11), legal};
    return value.der;
}

QByteArray generalName(FuzzedDataProvider& in, std::optional<Winner>& winner, bool& anyNotString) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
        case 0:
        case 1: {
            const QByteArray value = personValue(in, winner, anyNotString);
            return ber::otherName("2.16.76.1.3.1", value, wrappers(in));
        }
        case 2:
            winner = Winner{QStringLiteral("0"), true};
            return ber::otherName("2.16.76.1.3.3",
                                  encode(in, QString::fromLatin1(digits(in, 14)), in.ConsumeBool() ? 0x04 : 0x13).der,
                                  wrappers(in));
        case 3: {
            static const char* kOthers[] = {"2.16.76.1.3.2", "2.16.76.1.3.4", "2.16.76.1.3.5", "2.16.76.1.3.6",
                                            "2.16.76.1.3.7", "2.16.76.1.3.10", "2.16.76.1.3.11"};
            return ber::otherName(kOthers[in.ConsumeIntegralInRange(0, 6)],
                                  encode(in, QString::fromLatin1(digits(in, in.ConsumeIntegralInRange(0, 60))), 0x04).der,
                                  wrappers(in));
        }
        case 4:
            return ber::email("titular" + digits(in, 3) + "@exemplo.com.br");
        default:
            return ber::dnsName("host" + digits(in, 2) + ".exemplo.br");
    }
}

QByteArray policyOid(FuzzedDataProvider& in) {
    static const char* kArcs[] = {"2.16.76.1.2.3", "2.16.76.1.2.1", "2.16.76.1.2.4", "2.16.76.1.2.2", "1.3.6.1.4.1.99"};
    QString dotted = QString::fromLatin1(kArcs[in.ConsumeIntegralInRange(0, 4)]);
    const int more = in.ConsumeIntegralInRange(1, 3);
    for (int i = 0; i < more; ++i) dotted += '.' + QString::number(in.ConsumeIntegralInRange(0, 100000));
    return dotted.toLatin1();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::shared_ptr<EVP_PKEY> key = ber::signingKey();
    FuzzedDataProvider in(data, size);

    // Each extension with what its names give (the last person or company name of it).
    struct Extension {
        int nid;
        QByteArray value;
        std::optional<Winner> winner;
    };
    std::vector<Extension> extensions;
    bool anyNotString = false;
    const int sanCount = in.ConsumeIntegralInRange(0, 2);
    const int policiesCount = in.ConsumeIntegralInRange(0, 2);
    for (int e = 0; e < sanCount + policiesCount; ++e) {
        if (e < sanCount) {
            std::vector<QByteArray> names;
            std::optional<Winner> winner;
            const int count = in.ConsumeIntegralInRange(1, 5);
            for (int i = 0; i < count; ++i) names.push_back(generalName(in, winner, anyNotString));
            extensions.push_back({NID_subject_alt_name, ber::sequenceOf(names, lengthForm(in, true)), winner});
        } else {
            std::vector<QByteArray> policies;
            const int count = in.ConsumeIntegralInRange(1, 3);
            for (int i = 0; i < count; ++i)
                policies.push_back(ber::policy(policyOid(in).constData(), in.ConsumeBool() ? "http://exemplo.br/dpc" : "",
                                               wrappers(in)));
            extensions.push_back({NID_certificate_policies, ber::sequenceOf(policies, lengthForm(in, true)), {}});
        }
    }
    if (in.ConsumeBool()) std::reverse(extensions.begin(), extensions.end());
    std::vector<std::pair<int, QByteArray>> written;
    std::optional<Winner> winner;  // of the last extension that has one
    for (const Extension& extension : extensions) {
        written.emplace_back(extension.nid, extension.value);
        if (extension.winner) winner = extension.winner;
    }
    const std::shared_ptr<X509> certificate = ber::certificateWith(written, key.get());

    // The text rules over the extension texts, as the checks walk them.
    const auto textRule = [&](const char* oid, void (*rule)(const QString&, QString&)) {
        return [&, oid, rule](QString& read) {
            for (int i = 0; i < X509_get_ext_count(certificate.get()); ++i) {
                X509_EXTENSION* extension = X509_get_ext(certificate.get(), i);
                if (norvane::oidText(X509_EXTENSION_get_object(extension)) != QLatin1String(oid)) continue;
                unsigned char* der = nullptr;
                const int n = i2d_X509_EXTENSION(extension, &der);
                const QByteArray bytes(reinterpret_cast<const char*>(der), n);
                OPENSSL_free(der);
                rule(norvane::formatExtension(bytes, true), read);
            }
        };
    };

    QString cpf = QStringLiteral("antes");
    bool refused = false;
    try {
        norvane::checkCpf(certificate.get(), textRule("2.5.29.17", norvane::applyCpfRule), cpf);
    } catch (const std::exception& error) {
        refused = true;
        if (std::getenv("FUZZ_VERBOSE")) {  // why, and the extensions as written
            std::fprintf(stderr, "refused: %s\n", error.what());
            for (const auto& [nid, value] : written) std::fprintf(stderr, "  %d: %s\n", nid, value.toHex(' ').constData());
        }
    }
    if (anyNotString) {
        FUZZ_CHECK(refused && cpf.isEmpty(), "a person value that is not a string was not refused");
    } else if (refused) {
        FUZZ_CHECK(winner && !winner->legal, "a value a CA may write was refused");
        FUZZ_CHECK(cpf.isEmpty() || cpf == winner->cpf, "a refused check kept another CPF");
    } else {
        FUZZ_CHECK(cpf == (winner ? winner->cpf : QString()), "the CPF differs from OpenSSL's decoding");
    }

    // The policy: the last of the last extension, in the order the certificate holds them.
    QString lastPolicy;
    for (const auto& [nid, value] : written) {
        if (nid != NID_certificate_policies) continue;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(value.constData());
        std::unique_ptr<CERTIFICATEPOLICIES, decltype(&CERTIFICATEPOLICIES_free)> policies(
            d2i_CERTIFICATEPOLICIES(nullptr, &p, value.size()), CERTIFICATEPOLICIES_free);
        FUZZ_CHECK(policies != nullptr, "OpenSSL does not parse the policies the harness wrote");
        const int n = sk_POLICYINFO_num(policies.get());
        if (n > 0) {
            char buffer[512];
            const int length = OBJ_obj2txt(buffer, sizeof buffer, sk_POLICYINFO_value(policies.get(), n - 1)->policyid, 1);
            lastPolicy = QString::fromLatin1(buffer, std::min<int>(length, int(sizeof buffer) - 1));
        }
    }
    QString type = QStringLiteral("antes");
    try {
        norvane::checkPolicyType(certificate.get(), textRule("2.5.29.32", norvane::applyPolicyTypeRule), type);
    } catch (const std::exception&) {
        FUZZ_CHECK(false, "a policy a CA may write was refused");
    }
    FUZZ_CHECK(type == lastPolicy, "the policy differs from OpenSSL's decoding");
    return 0;
}

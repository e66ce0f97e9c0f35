// Form encoding: pure ASCII of the unreserved set and %XX out, and decoding gives the
// input's UTF-8 back; the field list keeps its rules.
#include <QByteArray>
#include <cctype>
#include <cstring>

#include "FuzzCheck.h"
#include "service/Form.h"

namespace {

bool allowed(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("*-._+%", c);
}

QByteArray formDecode(QByteArray encoded) { return QByteArray::fromPercentEncoding(encoded.replace('+', ' ')); }

void checkEncoding(const QByteArray& encoded, const QByteArray& utf8) {
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        FUZZ_CHECK(encoded[i] != '\0' && allowed(encoded[i]), "character outside the form alphabet");
        if (encoded[i] == '%')
            FUZZ_CHECK(i + 2 < encoded.size() && std::isxdigit(uchar(encoded[i + 1])) &&
                           std::isxdigit(uchar(encoded[i + 2])) && !std::islower(uchar(encoded[i + 1])) &&
                           !std::islower(uchar(encoded[i + 2])),
                       "% not followed by two upper-case hex digits");
    }
    FUZZ_CHECK(formDecode(encoded) == utf8, "decoding does not give the input back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Raw bytes as UTF-8, and the text they decode to.
    QByteArray raw;
    norvane::appendPercentEncodedUtf8(raw, bytes);
    checkEncoding(raw, bytes);
    const QString text = QString::fromUtf8(bytes);
    checkEncoding(norvane::percentEncode(text), text.toUtf8());

    // Fields: the first "=" of the input splits name and value.
    const qsizetype eq = text.indexOf('=');
    norvane::FieldList fields;
    fields.set(QStringLiteral("servico"), QStringLiteral("login"));
    const QString name = eq > 0 ? text.left(eq).remove('=') : QStringLiteral("doc");
    const QString value = eq > 0 ? text.mid(eq + 1) : text;
    fields.set(name, value);
    const QByteArray body = norvane::encodeForm(fields);
    for (const char c : body) FUZZ_CHECK(c != '\0' && (allowed(c) || c == '=' || c == '&'), "body not pure form");
    if (value.isEmpty() && name != QStringLiteral("servico")) {
        FUZZ_CHECK(body == "servico=login", "an empty field was sent");
    }
    return 0;
}

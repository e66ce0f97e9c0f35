#include "service/Form.h"

#include <array>
#include <cstring>


namespace norvane {

void FieldList::set(const QString& name, const QString& value) { setUtf8(name, value.toUtf8()); }

void FieldList::set(const QString& name, const QByteArray& singleByteValue) {
    unsigned char high = 0;
    for (const char c : singleByteValue) high |= static_cast<unsigned char>(c);
    const bool ascii = high < 0x80;
    setUtf8(name, ascii ? singleByteValue : QString::fromLatin1(singleByteValue).toUtf8());
}

void FieldList::setUtf8(const QString& name, QByteArray value) {
    const qsizetype at = indexOf(name);
    if (value.isEmpty()) {
        if (at >= 0) fields_.removeAt(at);
    } else if (at >= 0) {
        fields_[at].value = std::move(value);
    } else {
        fields_.append({name, std::move(value)});
    }
}

QString FieldList::value(const QString& name) const {
    const qsizetype at = indexOf(name);
    return at >= 0 ? QString::fromUtf8(fields_[at].value) : QString();
}

qsizetype FieldList::indexOf(const QString& name) const {
    for (qsizetype i = 0; i < fields_.size(); ++i)
        if (fields_[i].name == name) return i;
    return -1;
}

namespace {

// Per byte: what is written (up to three characters, little-endian) and how many.
struct Codes {
    std::array<quint32, 256> text{};
    std::array<unsigned char, 256> length{};
};

constexpr Codes kCodes = [] {
    constexpr char hex[] = "0123456789ABCDEF";
    Codes codes;
    for (int c = 0; c < 256; ++c) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '*' || c == '-' || c == '.' || c == '_';
        if (unreserved) {
            codes.text[c] = quint32(c);
            codes.length[c] = 1;
        } else if (c == ' ') {
            codes.text[c] = quint32('+');
            codes.length[c] = 1;
        } else {
            codes.text[c] = quint32('%') | quint32(hex[c >> 4]) << 8 | quint32(hex[c & 0xF]) << 16;
            codes.length[c] = 3;
        }
    }
    return codes;
}();

}  // namespace

void appendPercentEncodedUtf8(QByteArray& out, const QByteArray& utf8) {
    static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
    // Room for the worst case; each byte writes its four code bytes and advances by its length.
    const qsizetype start = out.size();
    out.resize(start + 3 * utf8.size() + 1);
    char* p = out.data() + start;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        std::memcpy(p, &kCodes.text[byte], 4);
        p += kCodes.length[byte];
    }
    out.truncate(p - out.constData());
}

QByteArray percentEncode(QStringView text) {
    QByteArray out;
    appendPercentEncodedUtf8(out, text.toUtf8());
    out.squeeze();
    return out;
}

QByteArray encodeForm(const FieldList& fields) {
    QByteArray body;
    bool first = true;
    for (const auto& field : fields.fields()) {
        if (!first) body += '&';
        first = false;
        appendPercentEncodedUtf8(body, field.name.toUtf8());
        body += '=';
        appendPercentEncodedUtf8(body, field.value);
    }
    body.squeeze();
    return body;
}

}  // namespace norvane

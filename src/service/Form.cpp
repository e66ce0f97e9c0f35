#include "service/Form.h"

#include <array>

namespace norvane {

void FieldList::set(const QString& name, const QString& value) {
    const qsizetype at = indexOf(name);
    if (value.isEmpty()) {
        if (at >= 0) fields_.removeAt(at);
    } else if (at >= 0) {
        fields_[at].second = value;
    } else {
        fields_.append({name, value});
    }
}

QString FieldList::value(const QString& name) const {
    const qsizetype at = indexOf(name);
    return at >= 0 ? fields_[at].second : QString();
}

qsizetype FieldList::indexOf(const QString& name) const {
    for (qsizetype i = 0; i < fields_.size(); ++i)
        if (fields_[i].first == name) return i;
    return -1;
}

namespace {

constexpr std::array<bool, 128> kUnreserved = [] {
    std::array<bool, 128> table{};
    for (char c = 'A'; c <= 'Z'; ++c) table[static_cast<unsigned char>(c)] = true;
    for (char c = 'a'; c <= 'z'; ++c) table[static_cast<unsigned char>(c)] = true;
    for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = true;
    for (char c : {'*', '-', '.', '_'}) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

constexpr char kHex[] = "0123456789ABCDEF";

inline char* putByte(char* out, unsigned byte) {
    out[0] = '%';
    out[1] = kHex[byte >> 4];
    out[2] = kHex[byte & 0xF];
    return out + 3;
}

}  // namespace

void appendPercentEncoded(QByteArray& out, QStringView text) {
    const char16_t* s = text.utf16();
    const char16_t* end = s + text.size();
    // First pass: the exact length, so that a large value is not over-allocated.
    qsizetype length = 0;
    for (const char16_t* q = s; q < end; ++q) {
        const char16_t c = *q;
        if (c < 0x80)
            length += (kUnreserved[c] || c == ' ') ? 1 : 3;
        else if (c < 0x800)
            length += 6;
        else if (c >= 0xD800 && c < 0xDC00 && q + 1 < end && q[1] >= 0xDC00 && q[1] < 0xE000)
            length += 12, ++q;
        else
            length += 9;
    }
    const qsizetype start = out.size();
    out.resize(start + length);
    char* p = out.data() + start;
    while (s < end) {
        char32_t c = *s++;
        if (c < 0x80) {
            if (kUnreserved[c])
                *p++ = static_cast<char>(c);
            else if (c == ' ')
                *p++ = '+';
            else
                p = putByte(p, c);
            continue;
        }
        if (c >= 0xD800 && c < 0xDC00 && s < end && *s >= 0xDC00 && *s < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (*s++ - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;  // a lone surrogate has no UTF-8 form
        if (c < 0x800) {
            p = putByte(p, 0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            p = putByte(p, 0xE0 | (c >> 12));
            p = putByte(p, 0x80 | ((c >> 6) & 0x3F));
        } else {
            p = putByte(p, 0xF0 | (c >> 18));
            p = putByte(p, 0x80 | ((c >> 12) & 0x3F));
            p = putByte(p, 0x80 | ((c >> 6) & 0x3F));
        }
        p = putByte(p, 0x80 | (c & 0x3F));
    }
    Q_ASSERT(p == out.constData() + out.size());
}

QByteArray percentEncode(QStringView text) {
    QByteArray out;
    appendPercentEncoded(out, text);
    return out;
}

QByteArray encodeForm(const FieldList& fields) {
    QByteArray body;
    bool first = true;
    for (const auto& [name, value] : fields.fields()) {
        if (!first) body += '&';
        first = false;
        appendPercentEncoded(body, name);
        body += '=';
        appendPercentEncoded(body, value);
    }
    return body;
}

}  // namespace norvane

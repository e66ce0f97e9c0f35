#include "service/Form.h"

#include <array>
#include <cstring>

#include "service/LargeBuffer.h"
#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

namespace {

// 1 for the characters written as they are: A-Z a-z 0-9 * - . _
constexpr std::array<unsigned char, 256> kPlain = [] {
    std::array<unsigned char, 256> plain{};
    for (int c = 0; c < 256; ++c) plain[c] = kCodes.length[c] == 1 && c != ' ';
    return plain;
}();

}  // namespace

void appendPercentEncodedUtf8(QByteArray& out, const QByteArray& utf8) {
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.constData());
    const qsizetype n = utf8.size();
    // Room for the worst case, allocated once; pages that are never written cost
    // nothing. Every byte writes four characters and advances by its length.
    const qsizetype start = out.size();
    out.resize(start + 3 * n + 1);
    adviseLargeBuffer(out.data() + start, 3 * n + 1);
    char* p = out.data() + start;
    qsizetype i = 0;
    // Runs of characters that are all written as they are (most of a Base64 text) are
    // copied at once: sixteen at a time where the processor has SSE2, else eight.
#ifdef __SSE2__
    const __m128i upperBias = _mm_set1_epi8(char(0x80 - 'A'));  // shift a range to start at -128
    const __m128i lowerBias = _mm_set1_epi8(char(0x80 - 'a'));
    const __m128i digitBias = _mm_set1_epi8(char(0x80 - '0'));
    const __m128i below26 = _mm_set1_epi8(char(-128 + 26));
    const __m128i below10 = _mm_set1_epi8(char(-128 + 10));
    for (; i + 16 <= n; i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        __m128i plain = _mm_cmplt_epi8(_mm_add_epi8(c, upperBias), below26);
        plain = _mm_or_si128(plain, _mm_cmplt_epi8(_mm_add_epi8(c, lowerBias), below26));
        plain = _mm_or_si128(plain, _mm_cmplt_epi8(_mm_add_epi8(c, digitBias), below10));
        for (const char extra : {'*', '-', '.', '_'})
            plain = _mm_or_si128(plain, _mm_cmpeq_epi8(c, _mm_set1_epi8(extra)));
        if (_mm_movemask_epi8(plain) == 0xFFFF) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(p), c);
            p += 16;
            continue;
        }
        for (int k = 0; k < 16; ++k) {
            std::memcpy(p, &kCodes.text[s[i + k]], 4);
            p += kCodes.length[s[i + k]];
        }
    }
#endif
    for (; i + 8 <= n; i += 8) {
        unsigned plain = 1;
        for (int k = 0; k < 8; ++k) plain &= kPlain[s[i + k]];
        if (plain) {
            std::memcpy(p, s + i, 8);
            p += 8;
            continue;
        }
        for (int k = 0; k < 8; ++k) {
            std::memcpy(p, &kCodes.text[s[i + k]], 4);
            p += kCodes.length[s[i + k]];
        }
    }
    for (; i < n; ++i) {
        static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
        std::memcpy(p, &kCodes.text[s[i]], 4);
        p += kCodes.length[s[i]];
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

#pragma once
// The encoders as they were before they were made plain: an SSE2 percent-encoder, a
// 4096-entry Base64 pair table and huge-page advice for large buffers. Kept here only so
// that the benchmark shows what the plain code costs beside them.

#include <sys/mman.h>

#include <QByteArray>
#include <array>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace fast {

inline void adviseHugePages(char* data, qsizetype size) {
#ifdef MADV_HUGEPAGE
    constexpr quintptr kHuge = 2 * 1024 * 1024;
    if (size < qsizetype(4 * kHuge)) return;
    const quintptr begin = (quintptr(data) + kHuge - 1) & ~(kHuge - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(kHuge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
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

void appendPercentEncodedFast(QByteArray& out, const QByteArray& utf8) {
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.constData());
    const qsizetype n = utf8.size();
    // Room for the worst case, allocated once; pages that are never written cost
    // nothing. Every byte writes four characters and advances by its length.
    const qsizetype start = out.size();
    out.resize(start + 3 * n + 1);
    adviseHugePages(out.data() + start, 3 * n + 1);
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


namespace {

// Two Base64 characters for every 12 bits, little-endian.
const std::array<quint16, 4096> kPairs = [] {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::array<quint16, 4096> pairs{};
    for (int v = 0; v < 4096; ++v) pairs[v] = quint16(uchar(alphabet[v >> 6]) | uchar(alphabet[v & 63]) << 8);
    return pairs;
}();

inline unsigned char* encodeTriplets(unsigned char* out, const unsigned char* in, qsizetype triplets) {
    for (qsizetype i = 0; i < triplets; ++i, in += 3, out += 4) {
        const quint32 bits = quint32(in[0]) << 16 | quint32(in[1]) << 8 | in[2];
        std::memcpy(out, &kPairs[bits >> 12], 2);
        std::memcpy(out + 2, &kPairs[bits & 0xFFF], 2);
    }
    return out;
}

}  // namespace

namespace {

constexpr qsizetype kLineBytes = 57;
constexpr qsizetype kLineChars = 76;

qsizetype encodedLength(qsizetype size) {
    return size / kLineBytes * (kLineChars + 2) + (size % kLineBytes + 2) / 3 * 4;
}

// Encodes whole lines, and a last partial one when `last`; returns the end of the text.
unsigned char* encodeLines(unsigned char* target, const unsigned char* source, qsizetype size, bool last) {
    const qsizetype lines = size / kLineBytes;
    for (qsizetype i = 0; i < lines; ++i, source += kLineBytes) {
        target = encodeTriplets(target, source, kLineBytes / 3);
        *target++ = '\r';
        *target++ = '\n';
    }
    const qsizetype rest = size % kLineBytes;
    if (!last || rest == 0) return target;
    target = encodeTriplets(target, source, rest / 3);
    source += rest / 3 * 3;
    if (rest % 3) {
        // The last group of one or two bytes, padded with "=".
        const unsigned char tail[3] = {source[0], rest % 3 == 2 ? source[1] : uchar(0), 0};
        encodeTriplets(target, tail, 1);
        target[3] = '=';
        if (rest % 3 == 1) target[2] = '=';
        target += 4;
    }
    return target;
}


}  // namespace

inline QByteArray encodeBase64LinesFast(const QByteArray& data) {
    QByteArray out(encodedLength(data.size()), Qt::Uninitialized);
    adviseHugePages(out.data(), out.size());
    encodeLines(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(data.constData()),
                data.size(), true);
    return out;
}

}  // namespace fast

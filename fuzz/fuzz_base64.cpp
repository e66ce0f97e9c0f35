// Base64 both ways against OpenSSL's EVP encoder and decoder on the same bytes.
#include <openssl/evp.h>

#include <QByteArray>
#include <vector>

#include "FuzzCheck.h"
#include "packaging/Packaging.h"

namespace {

QByteArray evpEncode(const QByteArray& data) {
    std::vector<unsigned char> out(size_t(data.size()) / 3 * 4 + 8);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(data.constData()), int(data.size()));
    return QByteArray(reinterpret_cast<const char*>(out.data()), n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    // Encoding: OpenSSL's text, with CR LF after every 76th character (also when the last
    // group's padding is the 76th).
    const QByteArray lines = EncodeBase64Lines(bytes);
    const QByteArray plain = evpEncode(bytes);
    QByteArray expected;
    for (qsizetype at = 0; at < plain.size(); at += 76) {
        expected += plain.mid(at, 76);
        if (plain.size() - at >= 76) expected += "\r\n";
    }
    FUZZ_CHECK(lines == expected, "encoding differs from EVP_EncodeBlock in lines of 76");
    FUZZ_CHECK(DecodeBase64Lenient(lines) == bytes, "decoding of the encoding is not the input");

    // Lenient decoding of any text: the alphabet's characters only, decoded as OpenSSL
    // decodes them once padded; a lone last character gives nothing.
    QByteArray alphabet;
    for (const char c : bytes)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/')
            alphabet += c;
    if (alphabet.size() % 4 == 1) alphabet.chop(1);
    const int padding = alphabet.size() % 4 == 0 ? 0 : 4 - int(alphabet.size() % 4);
    QByteArray padded = alphabet + QByteArray(padding, '=');
    std::vector<unsigned char> out(size_t(padded.size()) / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(padded.constData()), int(padded.size()));
    FUZZ_CHECK(n >= 0, "EVP_DecodeBlock refused the alphabet's characters");
    const QByteArray reference(reinterpret_cast<const char*>(out.data()), n - padding);
    FUZZ_CHECK(DecodeBase64Lenient(bytes) == reference, "lenient decoding differs from EVP_DecodeBlock");
    return 0;
}

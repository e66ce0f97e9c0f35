// Hex decoding of the identity checks: pairs of hex digits give characters 0-255,
// an odd last digit is ignored, anything else raises.
#include <QByteArray>
#include <cctype>

#include "FuzzCheck.h"
#include "certs/pki/IdentityRules.h"
#include "core/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString input = latin1(data, size);
    const size_t even = size / 2 * 2;
    bool allHex = true;
    for (size_t i = 0; i < even; ++i) allHex = allHex && std::isxdigit(data[i]);
    try {
        const QString out = norvane::hexToString(input);
        FUZZ_CHECK(allHex, "non-hex pair accepted");
        const QByteArray expected = QByteArray::fromHex(QByteArray(reinterpret_cast<const char*>(data), qsizetype(even)));
        FUZZ_CHECK(out == QString::fromLatin1(expected), "decoding differs from QByteArray::fromHex");
    } catch (const norvane::Error& error) {
        FUZZ_CHECK(!allHex, "valid hex refused");
        FUZZ_CHECK(error.kind() == norvane::ErrorKind::IdentityUnreadable, "refused with another kind");
    }
    return 0;
}

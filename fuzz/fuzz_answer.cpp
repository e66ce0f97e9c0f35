// Answer preparation: decoding by Content-Type and charset, the environment prefix and
// the wrapping rules. Input: the Content-Type up to the first LF, then the body.
#include <QByteArray>
#include <QStringEncoder>

#include "FuzzCheck.h"
#include "service/Answer.h"
#include "service/Json.h"

using namespace norvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype lf = input.indexOf('\n');
    const QByteArray contentType = lf < 0 ? QByteArray() : input.left(lf);
    const QByteArray body = lf < 0 ? input : input.mid(lf + 1);

    const QString text = decodeAnswerBody(body, contentType);
    // Parameter names and media types are case-insensitive ("charSet=utf-8" names a charset).
    const QByteArray type = contentType.toLower();
    if (!type.contains("charset") && !type.contains("xml"))
        FUZZ_CHECK(text == QString::fromLatin1(body), "no charset must be one byte, one character");

    FUZZ_CHECK(prepareAnswer(text, "P", Wrapping::N) == text, "production rule N changed the text");
    FUZZ_CHECK(prepareAnswer(text, "H", Wrapping::N) == text.mid(3), "homologation must drop three characters");
    FUZZ_CHECK(prepareAnswer(text, "P", Wrapping::R) == "{\"root\":" + text + "}", "rule R");
    FUZZ_CHECK(prepareAnswer(text, "H", Wrapping::A) == "{\"root\":[" + text.mid(3) + "]}", "rule A");

    // The body's text as UTF-16 with a mark of either order, or none: the text back.
    const QString original = QString::fromLatin1(body);
    for (const auto& [order, mark] : {std::pair{QStringConverter::Utf16BE, QByteArray("\xfe\xff")},
                                      std::pair{QStringConverter::Utf16LE, QByteArray("\xff\xfe")},
                                      std::pair{QStringConverter::Utf16BE, QByteArray()}}) {
        QStringEncoder encoder(order);
        const QByteArray encoded = mark + QByteArray(encoder.encode(original));
        FUZZ_CHECK(decodeAnswerBody(encoded, "application/json; charset=utf-16") == original,
                   "UTF-16 with its byte-order mark does not decode to the text");
    }

    // Every prepared form reaches the parser; only objects are accepted.
    for (Wrapping w : {Wrapping::R, Wrapping::A, Wrapping::N}) {
        try {
            const auto object = parseAnswerObject(prepareAnswer(text, "H", w));
            FUZZ_CHECK(!object || object->is_object(), "accepted answer is no object");
        } catch (const JsonError&) {
        }
    }
    return 0;
}

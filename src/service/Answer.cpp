#include "service/Answer.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <optional>

#include "core/Environment.h"

namespace norvane {

namespace {

QByteArray unquote(QByteArray value) {
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    return value.trimmed();
}

bool isXmlType(const QByteArray& mime) {
    return mime == "text/xml" || mime == "application/xml" || mime.endsWith("+xml");
}

// encoding="..." of a leading XML declaration; empty when there is none.
QByteArray xmlDeclarationEncoding(const QByteArray& body) {
    static const QRegularExpression declaration(
        QStringLiteral("^(?:\\xEF\\xBB\\xBF)?\\s*<\\?xml\\s[^>]*?encoding\\s*=\\s*[\"']([A-Za-z0-9._:-]+)[\"']"));
    const qsizetype end = body.indexOf("?>");
    if (end < 0) return {};
    const QString head = QString::fromLatin1(body.left(end + 2));
    const auto match = declaration.match(head);
    return match.hasMatch() ? match.captured(1).toLatin1() : QByteArray();
}

// UTF-16 and UTF-32 without a stated byte order: a leading byte-order mark gives the
// order and is no character; without one the text is big-endian.
std::optional<QString> decodeUnmarkedOrder(const QByteArray& body, const QByteArray& charset) {
    using E = QStringConverter::Encoding;
    struct Mark {
        QByteArray bytes;
        E encoding;
    };
    std::array<Mark, 2> marks;
    E plain = E::Utf16BE;
    if (charset == "utf-16" || charset == "utf16") {
        marks = {Mark{"\xFE\xFF", E::Utf16BE}, Mark{"\xFF\xFE", E::Utf16LE}};
        plain = E::Utf16BE;
    } else if (charset == "utf-32" || charset == "utf32") {
        marks = {Mark{QByteArray("\0\0\xFE\xFF", 4), E::Utf32BE}, Mark{QByteArray("\xFF\xFE\0\0", 4), E::Utf32LE}};
        plain = E::Utf32BE;
    } else {
        return std::nullopt;
    }
    for (const Mark& mark : marks)
        if (body.startsWith(mark.bytes)) {
            QStringDecoder decoder(mark.encoding, QStringConverter::Flag::ConvertInitialBom);
            return decoder.decode(body.mid(mark.bytes.size()));
        }
    QStringDecoder decoder(plain, QStringConverter::Flag::ConvertInitialBom);
    return QString(decoder.decode(body));
}

// The charset named for the body, lower-case; empty when none is.
QByteArray answerCharset(const QByteArray& body, const QByteArray& contentType) {
    const QList<QByteArray> parts = contentType.split(';');
    const QByteArray mime = parts.value(0).trimmed().toLower();
    QByteArray charset;
    if (isXmlType(mime)) {
        charset = xmlDeclarationEncoding(body);
    } else {
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const qsizetype eq = parts[i].indexOf('=');
            if (eq > 0 && parts[i].left(eq).trimmed().toLower() == "charset") charset = unquote(parts[i].mid(eq + 1));
        }
    }
    return charset.toLower();
}

bool isLatin1(const QByteArray& charset) {
    return charset.isEmpty() || charset == "iso-8859-1" || charset == "latin1" || charset == "l1";
}

// The length of the UTF-8 sequence at `at` when it is valid (shortest form, no
// surrogate, at most U+10FFFF); 0 otherwise.
int utf8SequenceAt(QByteArrayView bytes, qsizetype at) {
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes[i]) : 0u; };
    const uint lead = byte(at);
    const auto continuation = [&](qsizetype i) { return (byte(i) & 0xC0) == 0x80; };
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(at + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const uint second = byte(at + 1);
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F)) return 0;
        return continuation(at + 1) && continuation(at + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const uint second = byte(at + 1);
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) return 0;
        return continuation(at + 1) && continuation(at + 2) && continuation(at + 3) ? 4 : 0;
    }
    return 0;
}

bool validUtf8(QByteArrayView bytes) {
    for (qsizetype at = 0; at < bytes.size();) {
        if (uchar(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        const int length = utf8SequenceAt(bytes, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

bool plainAscii(QByteArrayView bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; });
}

}  // namespace

std::optional<QByteArrayView> preparedUtf8(const QByteArray& body, const QByteArray& contentType,
                                           const QString& ambiente) {
    const QByteArray charset = answerCharset(body, contentType);
    QByteArrayView view(body);
    if (isLatin1(charset)) {
        // One byte, one character: the prefix is three bytes; the rest must be ASCII to be UTF-8.
        if (!isProducao(ambiente)) view = view.sliced(std::min<qsizetype>(3, view.size()));
        return plainAscii(view) ? std::optional(view) : std::nullopt;
    }
    if (charset != "utf-8") return std::nullopt;
    if (!validUtf8(view)) return std::nullopt;
    if (!isProducao(ambiente)) {
        // Three UTF-16 units, as QString::mid(3) drops them; a pair cut in two is left to the slow way.
        qsizetype at = 0;
        for (int units = 0; units < 3 && at < view.size();) {
            const int length = utf8SequenceAt(view, at);
            units += length == 4 ? 2 : 1;
            if (units > 3) return std::nullopt;
            at += length;
        }
        view = view.sliced(at);
    }
    return view;
}

QString decodeAnswerBody(const QByteArray& body, const QByteArray& contentType) {
    const QByteArray charset = answerCharset(body, contentType);
    if (isLatin1(charset)) return QString::fromLatin1(body);
    if (const auto text = decodeUnmarkedOrder(body, charset)) return *text;
    QStringDecoder decoder(charset.constData(), QStringConverter::Flag::ConvertInitialBom);
    if (!decoder.isValid()) return QString::fromLatin1(body);
    return decoder.decode(body);
}

QString prepareAnswer(const QString& text, const QString& ambiente, Wrapping wrapping) {
    const QString answer = isProducao(ambiente) ? text : text.mid(3);
    switch (wrapping) {
        case Wrapping::R:
            return QStringLiteral("{\"root\":") + answer + QStringLiteral("}");
        case Wrapping::A:
            return QStringLiteral("{\"root\":[") + answer + QStringLiteral("]}");
        case Wrapping::N:
            break;
    }
    return answer;
}

}  // namespace norvane

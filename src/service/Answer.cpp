#include "service/Answer.h"

#include <QRegularExpression>
#include <QStringDecoder>
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

}  // namespace

QString decodeAnswerBody(const QByteArray& body, const QByteArray& contentType) {
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
    charset = charset.toLower();
    if (charset.isEmpty() || charset == "iso-8859-1" || charset == "latin1" || charset == "l1")
        return QString::fromLatin1(body);
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

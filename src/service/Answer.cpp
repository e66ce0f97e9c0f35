#include "service/Answer.h"

#include <QRegularExpression>
#include <QStringDecoder>

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

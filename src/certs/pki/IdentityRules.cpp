#include "certs/pki/IdentityRules.h"

#include <QStringList>

#include "core/Error.h"

namespace norvane {

namespace {

const QString kIndent = QStringLiteral("     ");  // one level of the extension text
const QString kPersonOid = QStringLiteral("2.16.76.1.3.1");
const QString kCompanyOid = QStringLiteral("2.16.76.1.3.3");

// Cut at every occurrence of one character; a trailing empty piece is dropped.
QStringList split(QChar delimiter, const QString& text) {
    QStringList pieces = text.split(delimiter);
    if (!pieces.isEmpty() && pieces.last().isEmpty()) pieces.removeLast();
    return pieces;
}

// The text between the first "=" of a line and the next "=" or the end.
QString secondPiece(const QString& line) {
    const QStringList pieces = split('=', line);
    if (pieces.size() < 2)
        throw Error(ErrorKind::IdentityUnreadable, "A linha \"" + line.trimmed() + "\" da extensão não tem valor.");
    return pieces[1];
}

// The lines of the text cut at CR, each without the LF that follows the CR.
QStringList lines(const QString& text) {
    QStringList out = split('\r', text);
    for (QString& line : out)
        if (line.startsWith('\n')) line.remove(0, 1);
    return out;
}

// An item one level in that begins with `label`. Values in the text never hold a line
// break, so no value can pose as such an item.
bool isItemOfFirstLevel(const QString& line, const QString& label) { return line.startsWith(kIndent + label); }

}  // namespace

void applyPolicyTypeRule(const QString& extensionText, QString& result) {
    const QStringList all = lines(extensionText);
    for (qsizetype i = 0; i < all.size(); ++i) {
        const QString& line = all[i];
        if (!line.contains(QStringLiteral("Identif"))) continue;
        const QString value = secondPiece(line);
        const bool identifierLine = i > 0 && all[i - 1].endsWith(QStringLiteral("]Certificate Policy:")) &&
                                    isItemOfFirstLevel(line, QStringLiteral("Policy Identifier="));
        if (identifierLine) result = value;
    }
}

void applyCpfRule(const QString& extensionText, QString& result) {
    const QStringList all = lines(extensionText);
    for (qsizetype i = 0; i < all.size(); ++i) {
        const QString& line = all[i];
        const bool otherName = i > 0 && all[i - 1] == QStringLiteral("Other Name:");
        if (line.contains(kPersonOid)) {
            // Tag and length, date of birth (8), then the CPF: characters 11 to 21.
            const QString decoded = hexToString(secondPiece(line).remove(' '));
            if (otherName && isItemOfFirstLevel(line, kPersonOid + '=')) result = decoded.mid(10, 11);
        } else if (line.contains(kCompanyOid)) {
            if (otherName && isItemOfFirstLevel(line, kCompanyOid + '=')) result = QStringLiteral("0");
        }
    }
}

QString hexToString(const QString& hex) {
    const auto digit = [](QChar c) -> int {
        const char16_t u = c.unicode();
        if (u >= '0' && u <= '9') return u - '0';
        if (u >= 'a' && u <= 'f') return u - 'a' + 10;
        if (u >= 'A' && u <= 'F') return u - 'A' + 10;
        return -1;
    };
    QString result;
    for (qsizetype i = 0; i + 1 < hex.size(); i += 2) {
        const int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            throw Error(ErrorKind::IdentityUnreadable, "\"" + hex.mid(i, 2) + "\" não é um valor hexadecimal válido.");
        result += QChar(static_cast<char16_t>(high * 16 + low));
    }
    return result;
}

}  // namespace norvane

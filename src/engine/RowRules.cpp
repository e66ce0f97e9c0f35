#include "engine/RowRules.h"

#include <QFile>
#include <QLocale>
#include <sys/stat.h>

namespace norvane {

namespace {

// Wide enough for any file size times 100.
__extension__ using Wide = __int128;

// num / den rounded to the nearest whole number, an exact half away from zero (num >= 0).
Wide roundedQuotient(Wide num, Wide den) { return (2 * num + den) / (2 * den); }

int digitCount(Wide value) {
    int digits = 1;
    while (value >= 10) {
        value /= 10;
        ++digits;
    }
    return digits;
}

}  // namespace

QString sizeText(qint64 bytes) {
    // Exact arithmetic in hundredths of a kilobyte: bytes * 100 / 1024.
    const bool negative = bytes < 0;
    const Wide num = static_cast<Wide>(negative ? -static_cast<Wide>(bytes) : bytes) * 100;
    Wide hundredths = roundedQuotient(num, 1024);
    if (const int digits = digitCount(hundredths); digits > 8) {
        Wide unit = 1;
        for (int i = 8; i < digits; ++i) unit *= 10;
        hundredths = roundedQuotient(num, 1024 * unit) * unit;
    }
    const auto whole = static_cast<qint64>(hundredths / 100);
    const auto cents = static_cast<int>(hundredths % 100);
    const QString sign = negative && hundredths != 0 ? QStringLiteral("-") : QString();
    return sign + QString::number(whole) + QLocale().decimalPoint() +
           QStringLiteral("%1").arg(cents, 2, 10, QLatin1Char('0')) + QStringLiteral(" Kb.");
}

QString alreadySentText(const QDateTime& when, const QString& folderWord) {
    return QStringLiteral("Já enviado em %1 às %2 (diário da %3); para reenviar, escolha outra %3")
        .arg(when.toString(QStringLiteral("dd/MM/yyyy")), when.toString(QStringLiteral("HH:mm:ss")), folderWord);
}

qint64 FileSize2(const QString& fileName) {
    const QByteArray path = QFile::encodeName(fileName);
    struct stat entry {};
    if (::stat(path.constData(), &entry) != 0 && ::lstat(path.constData(), &entry) != 0) return -1;
    return entry.st_size;
}

}  // namespace norvane

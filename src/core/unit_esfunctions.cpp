#include "core/unit_esfunctions.h"

#include <QDir>
#include <QFileInfo>
#include <sys/stat.h>

QStringList SplitByChar(const QString& delimiter, const QString& text) {
    QStringList pieces;
    QString current;
    for (const QChar c : text) {
        if (QString(c) == delimiter) {
            pieces.append(current);
            current.clear();
        } else {
            current.append(c);
        }
    }
    if (!current.isEmpty()) pieces.append(current);
    return pieces;
}

QString GetFileSizeText(const QString& fileName, bool inKilobytes) {
    const QString full = QDir::current().absoluteFilePath(fileName);
    struct stat info {};
    if (fileName.isEmpty() || ::stat(QFile::encodeName(full).constData(), &info) != 0) return QStringLiteral("-1");
    // A folder is found too; like the platform's file search, it has no size of its own.
    const qint64 bytes = S_ISDIR(info.st_mode) ? 0 : static_cast<qint64>(info.st_size);
    const qint64 value = inKilobytes ? static_cast<qint64>(static_cast<double>(bytes) / 1024.0) : bytes;
    return QString::number(value);
}

#include "engine/RowRules.h"

#include <QFile>
#include <sys/stat.h>

namespace norvane {

QString alreadySentText(const QDateTime& when, const QString& folderWord) {
    return QStringLiteral("Já enviado em %1 às %2 (diário da %3)")
        .arg(when.toString(QStringLiteral("dd/MM/yyyy")), when.toString(QStringLiteral("HH:mm:ss")), folderWord);
}

qint64 FileSize2(const QString& fileName) {
    const QByteArray path = QFile::encodeName(fileName);
    struct stat entry {};
    if (::stat(path.constData(), &entry) != 0 && ::lstat(path.constData(), &entry) != 0) return -1;
    return entry.st_size;
}

}  // namespace norvane

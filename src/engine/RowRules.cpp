#include "engine/RowRules.h"

#include <QFile>
#include <sys/stat.h>

namespace norvane {

qint64 FileSize2(const QString& fileName) {
    const QByteArray path = QFile::encodeName(fileName);
    struct stat entry {};
    if (::stat(path.constData(), &entry) != 0 && ::lstat(path.constData(), &entry) != 0) return -1;
    return entry.st_size;
}

}  // namespace norvane

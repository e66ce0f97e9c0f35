#include "certs/SigningSession.h"

#include <QSaveFile>
#include <stdexcept>

// A .p7s appears whole or not at all: QSaveFile writes a temporary file beside the target
// and renames it over the target only once every byte is on disk, so a failed write
// leaves an earlier file of that name as it was.
void norvane::SigningSession::SaveBinFile(const QString& FileName, const QByteArray& BinArray) {
    QSaveFile file(FileName);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        throw std::runtime_error(QStringLiteral("Não foi possível criar o arquivo %1: %2")
                                     .arg(FileName, file.errorString())
                                     .toStdString());
    if (file.write(BinArray) != BinArray.size() || !file.commit())
        throw std::runtime_error(QStringLiteral("Não foi possível gravar o arquivo %1: %2")
                                     .arg(FileName, file.errorString())
                                     .toStdString());
}

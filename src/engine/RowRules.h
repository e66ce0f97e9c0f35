#pragma once
// What the rows of both grids share: the size limit of a signature, the texts a row shows
// about its upload, and the size of a file as its directory entry gives it.

#include <QDateTime>
#include <QString>

namespace norvane {

// A signature larger than this is not sent; the row says so. And what a row says of its upload.
constexpr qint64 kSignedFileLimit = 200 * 1024;
inline const QString kSignedFileTooLarge = QStringLiteral("Arquivo assinado maior que 200 Kb.");
inline const QString kSentText = QStringLiteral("Enviado pra Norvane");
inline const QString kNotSentText = QStringLiteral("Erro ao enviar pra Norvane");

// The Observação of a row left alone because the folder's journal records it as sent, and how
// to send it again: "Já enviado em DD/MM/AAAA às HH:MM:SS (diário da <folderWord>); para
// reenviar, escolha outra <folderWord>".
QString alreadySentText(const QDateTime& when, const QString& folderWord);

// Bytes as kilobytes with two decimals (an exact half away from zero, at most 8 significant
// digits, further digits written as zero), the locale's decimal separator, then " Kb.".
QString sizeText(qint64 bytes);

// Size in bytes of the named file (or folder) from its directory entry; -1 when there is none.
qint64 FileSize2(const QString& fileName);

}  // namespace norvane

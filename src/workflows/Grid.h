#pragma once
// What the batch and manual tabs share: the folder choice, the size text of a file, the
// row statuses and the grids' look.

#include <QLabel>
#include <QString>
#include <QStringList>
#include <QTableWidget>

namespace norvane {

// Row statuses of both grids; the words are shown and are also the state a run reads back.
inline const QString kStatusAssinando = QStringLiteral("Assinando");
inline const QString kStatusAssinado = QStringLiteral("Assinado");
inline const QString kStatusEnviado = QStringLiteral("Enviado");
inline const QString kStatusErro = QStringLiteral("Erro");

// A signature larger than this is not sent; the row says so. And what a row says of its upload.
constexpr qint64 kSignedFileLimit = 200 * 1024;
inline const QString kSignedFileTooLarge = QStringLiteral("Arquivo assinado maior que 200 Kb.");
inline const QString kSentText = QStringLiteral("Enviado pra Norvane");
inline const QString kNotSentText = QStringLiteral("Erro ao enviar pra Norvane");

// The folder dialog ("Selecione uma pasta", button "Selecionar"): the chosen folder replaces
// the label's caption; a cancel keeps it. True when a folder was chosen.
bool chooseFolderInto(QLabel* label);

// Size in bytes of the named file (or folder) from its directory entry; -1 when there is none.
qint64 FileSize2(const QString& fileName);

// Bytes as kilobytes with two decimals (an exact half away from zero, at most 8 significant
// digits, further digits written as zero), the locale's decimal separator, then " Kb.".
QString sizeText(qint64 bytes);

// A read-only report grid with these column captions; every row painted on the palette's
// light colour (ListView1CustomDrawItem), whatever its status.
void setupGrid(QTableWidget* grid, const QStringList& captions);
void ListView1CustomDrawItem(QTableWidget* grid);

// Writes a cell, making it when the row does not have it yet.
void setCell(QTableWidget* grid, int row, int column, const QString& text);
// The cell's text; empty when the row does not have that cell.
QString cellText(const QTableWidget* grid, int row, int column);

}  // namespace norvane

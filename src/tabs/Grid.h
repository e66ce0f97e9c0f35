#pragma once
// What the batch and manual tabs share: the folder choice, the size text of a file, the
// row statuses and the grids' look. The grids are views of the engine's row models.

#include "engine/RowModel.h"
#include "engine/RowRules.h"

#include <QLabel>
#include <QString>
#include <QTableView>

namespace norvane {

// The folder dialog ("Selecione uma pasta", button "Selecionar"): the chosen folder replaces
// the label's caption; a cancel keeps it. True when a folder was chosen.
bool chooseFolderInto(QLabel* label);

// A read-only report grid over the rows: grid lines, whole-row selection, every row painted
// on the palette's light colour (ListView1CustomDrawItem), whatever its status. A status wider
// than its column widens it, up to 100 pixels.
void setupGrid(QTableView* grid, RowModel* rows);
void ListView1CustomDrawItem(QTableView* grid);

// The cell's text; empty when the row does not have that cell.
QString cellText(const QTableView* grid, int row, int column);
// Whether the row has that cell (a row whose intake ended early has no status).
bool hasCell(const QTableView* grid, int row, int column);

}  // namespace norvane

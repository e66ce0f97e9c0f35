#pragma once
// The status of a row of either grid: what a run reads back to decide, and, through
// statusText, the word the grid, the report and the command line show for it.

#include <QString>

namespace norvane {

enum class RowStatus {
    Waiting,  // accepted, not taken up yet: the cell is empty
    Signing,  // "Assinando"
    Signed,   // "Assinado"
    Sent,     // "Enviado"
    Error,    // "Erro"
};

// The word shown for the status (empty for Waiting).
QString statusText(RowStatus status);

}  // namespace norvane

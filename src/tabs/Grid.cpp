#include "tabs/Grid.h"

#include "core/Dialogs.h"

#include <QAccessible>
#include <QDir>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLocale>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <algorithm>

namespace norvane {

bool chooseFolderInto(QLabel* label) {
    const QString chosen = dialogs().chooseFolder(QStringLiteral("Selecione uma pasta"));
    if (chosen.isEmpty()) return false;
    label->setText(QDir::toNativeSeparators(chosen));
    return true;
}

namespace {

class LightRows final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        painter->fillRect(option.rect, option.palette.color(QPalette::Light));
        QStyledItemDelegate::paint(painter, option, index);
    }
};

}  // namespace

void ListView1CustomDrawItem(QTableView* grid) {
    if (!dynamic_cast<LightRows*>(grid->itemDelegate())) grid->setItemDelegate(new LightRows(grid));
}

namespace {

// A status wider than its column widens it, up to its bound: measured on the changed cells
// only (fitting the whole column at every change would cost a run of n rows n² texts).
void widenWithStatuses(QTableView* grid, RowModel* rows) {
    const int column = rows->columnOf(RowColumn::Status);
    if (column < 0) return;
    QObject::connect(rows, &QAbstractItemModel::dataChanged, grid,
                     [grid, rows, column](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                         if (topLeft.column() > column || bottomRight.column() < column) return;
                         const int margin =
                             2 * (grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1) + 2;
                         const QFontMetrics metrics(grid->font());
                         int wanted = 0;
                         for (int r = topLeft.row(); r <= bottomRight.row(); ++r)
                             wanted = std::max(wanted, metrics.horizontalAdvance(
                                                           rows->index(r, column).data().toString()) + margin);
                         wanted = std::min(100, wanted);
                         if (wanted > grid->columnWidth(column)) grid->setColumnWidth(column, wanted);
                     });
}

// Qt's item views tell a screen reader nothing when a cell's text changes: each changed cell
// announces its new text (a status "Assinando", "Enviado", ..., and its Observação).
void announceChangedCells(QTableView* grid, RowModel* rows) {
    QObject::connect(rows, &QAbstractItemModel::dataChanged, grid,
                     [grid](const QModelIndex& topLeft, const QModelIndex& bottomRight) {
                         if (!QAccessible::isActive() || !topLeft.isValid() || !bottomRight.isValid()) return;
                         QAccessibleInterface* view = QAccessible::queryAccessibleInterface(grid);
                         QAccessibleTableInterface* table = view ? view->tableInterface() : nullptr;
                         if (!table) return;
                         // Many cells changed at once (the grid refilled) are not read out one by one.
                         constexpr int kMostCells = 64;
                         if ((bottomRight.row() - topLeft.row() + 1) * (bottomRight.column() - topLeft.column() + 1) >
                             kMostCells)
                             return;
                         const int rowCount = grid->model()->rowCount();
                         const int columnCount = grid->model()->columnCount();
                         for (int r = topLeft.row(); r <= std::min(bottomRight.row(), rowCount - 1); ++r)
                             for (int c = topLeft.column(); c <= std::min(bottomRight.column(), columnCount - 1); ++c)
                                 if (QAccessibleInterface* cell = table->cellAt(r, c)) {
                                     QAccessibleEvent changed(cell, QAccessible::NameChanged);
                                     QAccessible::updateAccessibility(&changed);
                                 }
                     });
}

}  // namespace

void setupGrid(QTableView* grid, RowModel* rows) {
    grid->setModel(rows);
    grid->verticalHeader()->setVisible(false);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setShowGrid(true);
    grid->setWordWrap(false);
    // Tab leaves the grid for the next control (the arrows move between rows).
    grid->setTabKeyNavigation(false);
    ListView1CustomDrawItem(grid);
    widenWithStatuses(grid, rows);
    announceChangedCells(grid, rows);
}

QString cellText(const QTableView* grid, int row, int column) {
    return grid->model()->index(row, column).data().toString();
}

bool hasCell(const QTableView* grid, int row, int column) {
    return grid->model()->index(row, column).data().isValid();
}

}  // namespace norvane

#include "workflows/Grid.h"

#include "core/Dialogs.h"

#include <QDir>
#include <QHeaderView>
#include <QLocale>
#include <QPainter>
#include <QStyledItemDelegate>
#include <sys/stat.h>

namespace norvane {

bool chooseFolderInto(QLabel* label) {
    const QString chosen = dialogs().chooseFolder(QStringLiteral("Selecione uma pasta"));
    if (chosen.isEmpty()) return false;
    label->setText(QDir::toNativeSeparators(chosen));
    return true;
}

qint64 FileSize2(const QString& fileName) {
    const QByteArray path = QFile::encodeName(fileName);
    struct stat entry {};
    if (::stat(path.constData(), &entry) != 0 && ::lstat(path.constData(), &entry) != 0) return -1;
    return entry.st_size;
}

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

void ListView1CustomDrawItem(QTableWidget* grid) {
    if (!dynamic_cast<LightRows*>(grid->itemDelegate())) grid->setItemDelegate(new LightRows(grid));
}

void setupGrid(QTableWidget* grid, const QStringList& captions) {
    grid->setColumnCount(static_cast<int>(captions.size()));
    grid->setHorizontalHeaderLabels(captions);
    grid->verticalHeader()->setVisible(false);
    grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid->setSelectionMode(QAbstractItemView::SingleSelection);
    grid->setShowGrid(true);
    grid->setWordWrap(false);
    ListView1CustomDrawItem(grid);
}

void setCell(QTableWidget* grid, int row, int column, const QString& text) {
    if (QTableWidgetItem* item = grid->item(row, column)) {
        item->setText(text);
        return;
    }
    grid->setItem(row, column, new QTableWidgetItem(text));
}

QString cellText(const QTableWidget* grid, int row, int column) {
    const QTableWidgetItem* item = grid->item(row, column);
    return item ? item->text() : QString();
}

}  // namespace norvane

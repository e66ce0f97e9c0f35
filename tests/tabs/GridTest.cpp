// Pieces shared by the batch and manual tabs: the size text, FileSize2 and the folder choice.

#include "support/ScriptedDialogs.h"
#include "tabs/Grid.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QImage>
#include <QPalette>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

struct DefaultLocale {
    explicit DefaultLocale(const QLocale& locale) : saved(QLocale()) { QLocale::setDefault(locale); }
    ~DefaultLocale() { QLocale::setDefault(saved); }
    QLocale saved;
};

TEST(GridSizeText, TwoDecimalsHalfAwayFromZeroEightDigitsLocaleSeparator) {
    {
        const DefaultLocale brazil(QLocale(QLocale::Portuguese, QLocale::Brazil));
        EXPECT_EQ(norvane::sizeText(15000), QStringLiteral("14,65 Kb."));
        EXPECT_EQ(norvane::sizeText(128), QStringLiteral("0,13 Kb."));  // 0.125: an exact half
        EXPECT_EQ(norvane::sizeText(0), QStringLiteral("0,00 Kb."));
        EXPECT_EQ(norvane::sizeText(1023), QStringLiteral("1,00 Kb."));
        EXPECT_EQ(norvane::sizeText(3584), QStringLiteral("3,50 Kb."));
        // No thousands separator; beyond 8 significant digits the rest is written as zero.
        EXPECT_EQ(norvane::sizeText(1264197520), QStringLiteral("1234567,90 Kb."));       // 1234567.890625
        EXPECT_EQ(norvane::sizeText(126419751936LL), QStringLiteral("123456790,00 Kb."));  // 123456789.0
        EXPECT_EQ(norvane::sizeText(1000000000512LL), QStringLiteral("976562500,00 Kb."));  // 976562500.5
    }
    const DefaultLocale us(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(norvane::sizeText(15000), QStringLiteral("14.65 Kb."));
    EXPECT_EQ(norvane::sizeText(1264197520), QStringLiteral("1234567.90 Kb."));
}

TEST(GridFiles, SizeFromTheEntryAndTheFolderChoiceKeepsTheCaptionOnCancel) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.pdf"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1500, 'x'));
    file.close();
    EXPECT_EQ(norvane::FileSize2(path), 1500);
    EXPECT_EQ(norvane::FileSize2(dir.filePath(QStringLiteral("nada.pdf"))), -1);

    norvane::test::ScriptedDialogs dialogs;
    QLabel label;
    dialogs.folderAnswers = {dir.path()};
    EXPECT_TRUE(norvane::chooseFolderInto(&label));
    EXPECT_EQ(label.text(), QDir::toNativeSeparators(dir.path()));
    EXPECT_FALSE(norvane::chooseFolderInto(&label));  // cancelled
    EXPECT_EQ(label.text(), QDir::toNativeSeparators(dir.path()));
    EXPECT_EQ(dialogs.folderTitles, (std::vector<QString>(2, QStringLiteral("Selecione uma pasta"))));
}

}  // namespace

TEST(GridLook, EveryRowIsPaintedOnTheLightColourWhateverItsStatus) {
    QTableView grid;
    QPalette palette = grid.palette();
    palette.setColor(QPalette::Base, Qt::red);
    palette.setColor(QPalette::AlternateBase, Qt::red);
    palette.setColor(QPalette::Light, QColor(0, 200, 0));
    grid.setPalette(palette);
    auto* rows = new norvane::RowModel(norvane::RowModel::Kind::Batch, &grid);
    norvane::setupGrid(&grid, rows);
    grid.resize(700, 200);
    for (int column = 0; column < 4; ++column) grid.setColumnWidth(column, 150);
    const norvane::RowStatus statuses[] = {norvane::RowStatus::Waiting, norvane::RowStatus::Error,
                                           norvane::RowStatus::Sent};
    for (const norvane::RowStatus status : statuses) {
        norvane::RowRecord record;
        record.file = QStringLiteral("a.pdf");
        record.status = status;
        record.observation = QString();
        rows->append(record);
    }
    grid.clearSelection();
    const QImage image = grid.viewport()->grab().toImage();
    for (int row = 0; row < rows->rowCount(); ++row) {
        // Right of the texts, inside each cell.
        const QRect cell = grid.visualRect(rows->index(row, 2));
        EXPECT_EQ(image.pixelColor(cell.right() - 3, cell.center().y()), QColor(0, 200, 0)) << row;
    }
}

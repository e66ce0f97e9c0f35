// A row's status as both grids show it: the word of each status, an empty cell for a row
// accepted but not taken up, and no cell for a row the intake never tested.

#include "engine/RowModel.h"
#include "engine/RowStatus.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

using namespace norvane;

TEST(RowStatus, EachStatusShowsItsWordInTheStatusColumnOfBothGrids) {
    const std::vector<std::pair<std::optional<RowStatus>, QVariant>> shown{
        {std::nullopt, QVariant()},
        {RowStatus::Waiting, QString()},
        {RowStatus::Signing, QStringLiteral("Assinando")},
        {RowStatus::Signed, QStringLiteral("Assinado")},
        {RowStatus::Sent, QStringLiteral("Enviado")},
        {RowStatus::Error, QStringLiteral("Erro")},
    };
    for (const RowModel::Kind kind : {RowModel::Kind::Batch, RowModel::Kind::Manual}) {
        RowModel model(kind);
        for (const auto& [status, word] : shown) {
            RowRecord record;
            record.status = status;
            model.append(record);
        }
        const int column = model.columnOf(RowColumn::Status);
        for (int r = 0; r < model.rowCount(); ++r) {
            const QVariant cell = model.index(r, column).data();
            EXPECT_EQ(cell.isValid(), shown[size_t(r)].second.isValid()) << r;
            EXPECT_EQ(cell.toString(), shown[size_t(r)].second.toString()) << r;
        }
    }
}

TEST(RowStatus, AChangedStatusIsShownAndOnlyItsCellIsRepainted) {
    RowModel model(RowModel::Kind::Manual);
    model.append(RowRecord());
    model.append(RowRecord());
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    const int column = model.columnOf(RowColumn::Status);
    ASSERT_FALSE(model.index(1, column).data().isValid());
    model.setStatus(1, RowStatus::Signing);
    model.setStatus(1, RowStatus::Error);
    EXPECT_EQ(model.row(1).status, RowStatus::Error);
    EXPECT_EQ(model.index(1, column).data().toString(), QStringLiteral("Erro"));
    EXPECT_FALSE(model.index(0, column).data().isValid());
    ASSERT_EQ(changed.size(), 2);
    for (const QList<QVariant>& signal : changed) {
        EXPECT_EQ(signal[0].toModelIndex(), model.index(1, column));
        EXPECT_EQ(signal[1].toModelIndex(), model.index(1, column));
    }
}

#pragma once
// What a batch run from the command line prints as it goes: one line per file on the
// standard error, in row order, and with --json one object per event of a row on the
// standard output.

#include "engine/RowEngine.h"
#include "engine/RowModel.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <vector>

namespace norvane {

// The standard output, written at once (a log that follows the run sees each line).
void printOut(const QByteArray& bytes);
// One JSON object as one line of the standard output.
void printJson(const QJsonObject& object);

class BatchProgress final : public RowObserver {
public:
    BatchProgress(const RowModel& model, bool json);

    void rowReached(int row) override;
    void rowChanged(const RowChange& change) override;
    // The rows the run left without a line (not reached, or stopped halfway).
    void tellTheRest();

private:
    QJsonObject rowObject(const QString& event, int row, const RowRecord& record,
                          std::optional<RowStatus> status) const;
    // A row's line, printed once every row before it has its own: in row order, although the
    // stages pass by the rows they do not take ahead of the row being sent.
    void tell(int row, const QString& message = QString());

    const RowModel& model_;
    bool json_;
    std::vector<QString> lines_;
    size_t next_ = 0;
};

}  // namespace norvane

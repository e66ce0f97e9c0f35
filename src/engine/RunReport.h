#pragma once
// The report that closes every run: relatorio-AAAAMMDD-HHMMSS.csv in the output folder (the
// save folder on the manual tab), one line per grid row. UTF-8 with a byte-order mark, fields
// separated by ";" and quoted as CSV wants, lines ended by CR LF, so that a spreadsheet opens
// it as it is. A cell that begins with =, +, -, @, a tab or a CR gets an apostrophe before it
// (and is quoted): a spreadsheet shows it as text and never takes it for a formula.

#include "core/LoginContext.h"
#include "engine/RowModel.h"

#include <QDateTime>
#include <QString>

namespace norvane {

class RunReport {
public:
    RunReport(const RowModel& model, const LoginContext& context, QString folder);

    // The report's text as the rows are now.
    QByteArray text() const;
    // Writes it whole or not at all (a temporary name in the folder, then a rename that never
    // replaces a file: a second report of the same second takes the name "-2", "-3", ...).
    // Its path; raises Error FileError.
    QString write(const QDateTime& when = QDateTime::currentDateTime()) const;

private:
    const RowModel& model_;
    LoginContext context_;
    QString folder_;
};

}  // namespace norvane

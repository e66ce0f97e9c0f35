#pragma once
// The command line's batch (--lote) on the card: the real program (built for the stand-in's
// fixed ports) in a pseudo-terminal of its own, the PIN typed there at each prompt, against
// the stand-in service with instruments of the card holder's office.

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "support/StandIn.h"

namespace norvane::test {

// The stand-in (demo, the cli program's ports) and the input and output folders of a batch.
class BatchFolders {
public:
    BatchFolders();
    QString input() const { return dir_.filePath("entrada"); }
    QString output() const { return dir_.filePath("saida"); }
    // The instruments the office of the card holder accepts (file names).
    const QStringList& accepted() const { return accepted_; }
    StandIn& standIn() { return *standIn_; }

private:
    QTemporaryDir dir_;
    std::unique_ptr<StandIn> standIn_;
    QStringList accepted_;
};

struct TerminalRun {
    int exitCode = -1;
    QString output;    // standard output
    QString errors;    // standard error
    QString terminal;  // what the terminal showed (the prompts)
    int prompts = 0;   // PIN prompts shown
    QString describe() const;
};

// Runs `--lote input output` and answers the PIN prompts with `pins` in order (then Ctrl-D).
TerminalRun runBatchInTerminal(BatchFolders& folders, QStringList pins);

}  // namespace norvane::test

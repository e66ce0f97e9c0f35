// The "Assinatura em Lote" tab: intake of an input folder, then the batch that signs,
// zips and uploads every accepted file (through the engine's rows).

#include "workflows/BatchSigning.h"

#include "core/Background.h"
#include "core/Dialogs.h"
#include "engine/RunRows.h"
#include "workflows/Grid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <algorithm>
#include <exception>
#include <vector>

namespace norvane {

namespace {

constexpr int kColumnArquivo = 0;
constexpr int kColumnTamanho = 1;
constexpr int kColumnStatus = 2;
constexpr int kColumnObservacao = 3;

// The columns take their contents' width within their bounds.
void fitColumn(QTableView* grid, int column, int least, int most) {
    grid->resizeColumnToContents(column);
    grid->setColumnWidth(column, std::clamp(grid->columnWidth(column), least, most));
}

void fitColumns(QTableView* grid) {
    fitColumn(grid, kColumnArquivo, 350, 4000);
    fitColumn(grid, kColumnStatus, 0, 100);
    fitColumn(grid, kColumnObservacao, 800, 4000);
}

}  // namespace

BatchSigningTab::BatchSigningTab(const Controls& controls, const LoginContext& context, SigningSession& signing,
                                 HttpClient& IdHTTP2, const ActionControls& actionControls)
    : ui_(controls),
      context_(context),
      signing_(signing),
      http_(IdHTTP2),
      actionControls_(actionControls),
      rows_(new RowModel(RowModel::Kind::Batch, controls.ListView1)),
      engine_(*rows_) {
    setupGrid(ui_.ListView1, rows_);
    QHeaderView* header = ui_.ListView1->horizontalHeader();
    header->setMinimumSectionSize(20);
    ui_.ListView1->setColumnWidth(kColumnArquivo, 350);
    ui_.ListView1->setColumnWidth(kColumnTamanho, 120);
    header->setSectionResizeMode(kColumnTamanho, QHeaderView::Fixed);
    ui_.ListView1->setColumnWidth(kColumnStatus, 100);
    ui_.ListView1->setColumnWidth(kColumnObservacao, 800);
    ui_.Progresso->setText(QString());
    engine_.addObserver(this);
}

BatchSigningTab::~BatchSigningTab() = default;

void BatchSigningTab::Button1Click() {
    chooseFolderInto(ui_.PastaEntrada);
    const ActionLock lock(actionControls_);
    intake();
}

void BatchSigningTab::Button2Click() { chooseFolderInto(ui_.PastaSaida); }

void BatchSigningTab::Button3Click() {
    if (ui_.PastaEntrada->text().isEmpty()) {
        dialogs().showError(QStringLiteral("Selecione a pasta de entrada"));
        return;
    }
    if (ui_.PastaSaida->text().isEmpty()) {
        dialogs().showError(QStringLiteral("Selecione a pasta de saída"));
        return;
    }
    const ActionLock lock(actionControls_);
    const RunOutcome outcome =
        runBatchRows(engine_, {context_, ui_.PastaEntrada->text(), ui_.PastaSaida->text()}, signing_, http_);
    if (outcome.end.completed) dialogs().showInfo(QStringLiteral("Processo Finalizado"));
}

void BatchSigningTab::rowReached(int row) {
    ui_.Progresso->setText(QStringLiteral("%1 de %2").arg(row + 1).arg(rows_->rowCount()));
    ui_.ListView1->scrollTo(rows_->index(row, kColumnArquivo));
}

void BatchSigningTab::runEnded(const RunEnd&) { ui_.Progresso->setText(QString()); }

void BatchSigningTab::intake() {
    QTableView* grid = ui_.ListView1;
    // Cleared first: rows of another folder must never be signed from this one.
    rows_->clear();
    const QString folder = ui_.PastaEntrada->text() + QDir::separator();
    const std::vector<FolderEntry> entries =
        runInBackground([folder] { return listFolderEntries(folder, QStringLiteral("*.pdf")); });
    // The files are read off the GUI thread a slice at a time (a few milliseconds of work),
    // so that the grid fills visibly without a thread per file. A name that is not UTF-8 is
    // never opened: its row says so.
    struct Read {
        ContentMarks marks;
        std::exception_ptr failure;
    };
    for (size_t next = 0; next < entries.size();) {
        const std::vector<Read> slice = runInBackground([&entries, folder, next] {
            std::vector<Read> done;
            QElapsedTimer clock;
            clock.start();
            for (size_t i = next; i < entries.size() && (done.empty() || clock.elapsed() < 10); ++i) {
                done.emplace_back();
                if (!entries[i].error.isEmpty()) continue;
                try {
                    done.back().marks = readContentMarks(folder + entries[i].name);
                } catch (const std::exception&) {
                    done.back().failure = std::current_exception();
                    break;
                }
            }
            return done;
        });
        for (const Read& read : slice) {
            const FolderEntry& entry = entries[next++];
            const bool readable = entry.error.isEmpty() && !read.failure;
            RowRecord record = intakeRow(entry, readable ? &read.marks : nullptr, context_);
            // A file that cannot be opened ends the intake here: its row keeps its name and size.
            if (entry.error.isEmpty() && read.failure) {
                rows_->append(std::move(record));
                std::rethrow_exception(read.failure);
            }
            rows_->append(std::move(record));
        }
    }
    fitColumns(grid);
}

}  // namespace norvane

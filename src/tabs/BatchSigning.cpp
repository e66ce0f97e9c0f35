// The "Assinatura em Lote" tab: intake of an input folder, then the batch that signs,
// zips and uploads every accepted file (through the engine's rows).

#include "tabs/BatchSigning.h"

#include "core/Background.h"
#include "core/Dialogs.h"
#include "engine/RunRows.h"
#include "tabs/Grid.h"

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
    // A report that could not be written is the run's last word.
    if (!outcome.reportError.isEmpty()) dialogs().showError(outcome.reportError);
}

void BatchSigningTab::rowReached(int row) {
    ui_.Progresso->setText(QStringLiteral("%1 de %2").arg(row + 1).arg(rows_->rowCount()));
    ui_.ListView1->scrollTo(rows_->index(row, kColumnArquivo));
}

void BatchSigningTab::runEnded(const RunEnd&) { ui_.Progresso->setText(QString()); }

void BatchSigningTab::intake() {
    // Cleared first: rows of another folder must never be signed from this one.
    rows_->clear();
    if (const std::exception_ptr failure = intakeFolder(*rows_, ui_.PastaEntrada->text(), context_))
        std::rethrow_exception(failure);
    fitColumns(ui_.ListView1);
}

}  // namespace norvane

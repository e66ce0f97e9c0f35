// The "IP's da Digitação Manual" tab: consultation, signing and upload of the instruments
// typed into the service by hand.

#include "tabs/ManualInstruments.h"

#include "core/Dialogs.h"
#include "engine/RunRows.h"
#include "service/ServiceCall.h"
#include "tabs/Grid.h"

#include <QHeaderView>

namespace norvane {

ManualInstrumentsTab::ManualInstrumentsTab(const Controls& controls, const LoginContext& context,
                                           SigningSession& signing, HttpClient& consultation, HttpClient& upload,
                                           const ActionControls& actionControls)
    : ui_(controls),
      context_(context),
      signing_(signing),
      consultation_(consultation),
      upload_(upload),
      actionControls_(actionControls),
      rows_(new RowModel(RowModel::Kind::Manual, controls.ListView2)),
      engine_(*rows_) {
    QTableView* grid = ui_.ListView2;
    setupGrid(grid, rows_);
    QHeaderView* header = grid->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    grid->setColumnWidth(kManualId, 100);
    grid->setColumnWidth(kManualChave, 300);
    grid->setColumnWidth(kManualStatus, 100);
    grid->setColumnWidth(kManualObservacao, 300);
    grid->setColumnWidth(kManualPdf, header->defaultSectionSize());
    engine_.addObserver(this);
}

ManualInstrumentsTab::~ManualInstrumentsTab() = default;

QStringList ManualInstrumentsTab::columnCaptions() {
    return {QStringLiteral("ID"), QStringLiteral("Chave Única"), QStringLiteral("Status"), QStringLiteral("Observação"),
            QStringLiteral("PDF")};
}

void ManualInstrumentsTab::Button6Click() {
    const ActionLock lock(actionControls_);
    chooseFolderInto(ui_.PastaGravacao);
}

void ManualInstrumentsTab::addRow(const QString& id, const QString& key, const QString& pdf) {
    RowRecord record;
    record.id = id;
    record.key = key;
    record.pdfBase64 = pdf.toLatin1();
    record.status = RowStatus::Waiting;
    record.observation = QString();
    rows_->append(std::move(record));
}

void ManualInstrumentsTab::rowReached(int row) { ui_.ListView2->scrollTo(rows_->index(row, kManualId)); }

void ManualInstrumentsTab::pegaIPDigitacaoManual() {
    const ActionLock lock(actionControls_);
    FieldList fields;
    fields.set(QStringLiteral("servico"), kDigitacaoManual);
    fields.set(QStringLiteral("nm_nr_cpf"), context_.nm_nr_cpf);
    fields.set(QStringLiteral("cd_ibge"), context_.cd_ibge);
    fields.set(QStringLiteral("nr_cartorio"), context_.nr_cartorio);
    const QString answer = serviceCall(consultation_, context_.Ambiente, context_.urlAPI, Wrapping::N, fields);

    // Only an answer replaces the grid: a call that failed has left it as it was.
    rows_->clear();
    const std::optional<JsonValue> parsed = parseAnswerObject(answer);
    if (!parsed) {
        dialogs().showError(QStringLiteral("Ocorreu um erro."));
        return;
    }
    const JsonValue* dados = jsonMember(*parsed, QStringLiteral("dados"));
    if (!dados) {
        dialogs().showInfo(QStringLiteral("Não foram encontrados IPs para serem assinados"));
        return;
    }
    const JsonValue& instruments = jsonAsArray(*dados);
    for (const JsonValue& element : instruments) {
        // A row appears only with all three members: one that lacks any ends the
        // consultation here, with the rows before it kept.
        const JsonValue& instrument = jsonAsObject(element);
        const QString id = jsonText(instrument, QStringLiteral("cd_titulo_instrumento_protesto"));
        const QString key = jsonText(instrument, QStringLiteral("nm_chave"));
        const QString pdf = jsonText(instrument, QStringLiteral("ds_instrumento_protesto_pdf_b64"));
        addRow(id, key, pdf);
    }
    dialogs().showInfo(QStringLiteral("Trazendo ") + QString::number(instruments.size()) +
                       QStringLiteral(" último(s) IP(s) para ser(em) assinado(s)."));
}

void ManualInstrumentsTab::Button4Click() {
    const ActionLock lock(actionControls_);
    const QString folder = ui_.PastaGravacao->text();
    if (folder.isEmpty()) {
        dialogs().showError(QStringLiteral("Selecione a pasta de gravação dos arquivos"));
        return;
    }
    if (rows_->rowCount() == 0) {
        dialogs().showError(QStringLiteral("Não existem arquivos para assinar"));
        return;
    }
    // No message closes the run, but for a report that could not be written.
    const RunOutcome outcome = runManualRows(engine_, {context_, folder}, signing_, upload_);
    if (!outcome.reportError.isEmpty()) dialogs().showError(outcome.reportError);
}

}  // namespace norvane

// The "IP's da Digitação Manual" tab: consultation, signing and upload of the instruments
// typed into the service by hand.

#include "tabs/ManualInstruments.h"

#include "core/Dialogs.h"
#include "engine/RunRows.h"
#include "service/ServiceCall.h"
#include "tabs/Grid.h"

#include <QHeaderView>
#include <algorithm>

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

namespace {

// The member's text as Latin-1 bytes (the Base64 of a PDF); an ASCII string is moved out
// of the answer, so that the answer and the rows do not both hold every PDF.
QByteArray takeBase64(JsonValue& object, const QString& name) {
    const JsonValue* found = jsonMember(object, name);
    if (!found || !found->is_string()) return jsonText(object, name).toLatin1();  // as the other members
    std::string& bytes = object[name.toStdString()].get_ref<std::string&>();
    if (!std::all_of(bytes.begin(), bytes.end(), [](char c) { return uchar(c) < 0x80; }))
        return jsonAsText(*found).toLatin1();
    QByteArray base64(bytes.data(), qsizetype(bytes.size()));
    std::string().swap(bytes);
    return base64;
}

}  // namespace

void ManualInstrumentsTab::addRow(const QString& id, const QString& key, const QByteArray& pdf) {
    RowRecord record;
    record.id = id;
    record.key = key;
    record.pdfBase64 = pdf;
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
    // The answer carries every waiting PDF in Base64: the large bound, parsed from the bytes
    // received, each PDF moved into its row.
    std::optional<JsonValue> parsed =
        serviceCallParsed(consultation_, context_.Ambiente, context_.urlAPI, fields, AnswerSize::Large);

    // Only an answer replaces the grid: a call that failed has left it as it was.
    rows_->clear();
    if (!parsed) {
        dialogs().showError(QStringLiteral("Ocorreu um erro."));
        return;
    }
    jsonAsObject(*parsed);  // valid JSON of another kind is an error
    if (!jsonMember(*parsed, QStringLiteral("dados"))) {
        dialogs().showInfo(QStringLiteral("Não foram encontrados IPs para serem assinados"));
        return;
    }
    JsonValue& instruments = (*parsed)["dados"];
    jsonAsArray(instruments);
    for (JsonValue& element : instruments) {
        // A row appears only with all three members: one that lacks any ends the
        // consultation here, with the rows before it kept.
        jsonAsObject(element);
        const QString id = jsonText(element, QStringLiteral("cd_titulo_instrumento_protesto"));
        const QString key = jsonText(element, QStringLiteral("nm_chave"));
        addRow(id, key, takeBase64(element, QStringLiteral("ds_instrumento_protesto_pdf_b64")));
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

// The "IP's da Digitação Manual" tab: consultation, signing and upload of the instruments
// typed into the service by hand.

#include "workflows/ManualInstruments.h"

#include "packaging/Packaging.h"
#include "core/Background.h"
#include "core/Dialogs.h"
#include "service/ServiceCall.h"
#include "workflows/Grid.h"

#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <algorithm>
#include <stdexcept>

namespace norvane {

namespace {

// The longest name written for a key is key + ".pdf.p7s", and while it is written the
// temporary name beside it adds ".XXXXXX"; a file name holds at most 255 bytes.
constexpr qsizetype kNameMax = 255;
const QByteArray kLongestSuffix = QByteArrayLiteral(".pdf.p7s.XXXXXX");

// The key as shown in a message: control characters as \xNN, so that the text stays readable.
QString shownKey(const QString& key) {
    QString shown;
    for (const QChar c : key) {
        if (c.category() == QChar::Other_Control)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

}  // namespace

QString invalidKeyText(const QString& key) {
    QString reason;
    if (key.isEmpty())
        reason = QStringLiteral("vazia");
    else if (key == QLatin1String(".") || key == QLatin1String(".."))
        reason = QStringLiteral("nome reservado de pasta");
    else if (key.contains(QLatin1Char('/')) || key.contains(QLatin1Char('\\')))
        reason = QStringLiteral("contém separador de pasta");
    else if (std::any_of(key.begin(), key.end(), [](QChar c) { return c.category() == QChar::Other_Control; }))
        reason = QStringLiteral("contém caractere de controle");
    else if (!key.isValidUtf16())
        reason = QStringLiteral("contém caractere inválido");
    else if (QFile::encodeName(key).size() + kLongestSuffix.size() > kNameMax)
        reason = QStringLiteral("longa demais para nome de arquivo");
    if (reason.isEmpty()) return QString();
    return QStringLiteral("Chave única inválida para nome de arquivo (%1): \"%2\"").arg(reason, shownKey(key));
}

ManualInstrumentsTab::ManualInstrumentsTab(const Controls& controls, const LoginContext& context,
                                           SigningSession& signing, HttpClient& consultation, HttpClient& upload,
                                           const ActionControls& actionControls)
    : ui_(controls),
      context_(context),
      signing_(signing),
      consultation_(consultation),
      upload_(upload),
      actionControls_(actionControls) {
    QTableWidget* grid = ui_.ListView2;
    setupGrid(grid, columnCaptions());
    QHeaderView* header = grid->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Interactive);
    grid->setColumnWidth(kManualId, 100);
    grid->setColumnWidth(kManualChave, 300);
    grid->setColumnWidth(kManualStatus, 100);
    grid->setColumnWidth(kManualObservacao, 300);
    grid->setColumnWidth(kManualPdf, header->defaultSectionSize());
}

QStringList ManualInstrumentsTab::columnCaptions() {
    return {QStringLiteral("ID"), QStringLiteral("Chave Única"), QStringLiteral("Status"), QStringLiteral("Observação"),
            QStringLiteral("PDF")};
}

void ManualInstrumentsTab::Button6Click() {
    const ActionLock lock(actionControls_);
    chooseFolderInto(ui_.PastaGravacao);
}

void ManualInstrumentsTab::addRow(const QString& id, const QString& key, const QString& pdf) {
    QTableWidget* grid = ui_.ListView2;
    const int row = grid->rowCount();
    grid->insertRow(row);
    setCell(grid, row, kManualId, id);
    setCell(grid, row, kManualChave, key);
    setCell(grid, row, kManualStatus, QString());
    setCell(grid, row, kManualObservacao, QString());
    setCell(grid, row, kManualPdf, pdf);
}

void ManualInstrumentsTab::showRow(int row) {
    if (QTableWidgetItem* item = ui_.ListView2->item(row, kManualId)) ui_.ListView2->scrollToItem(item);
}

void ManualInstrumentsTab::pegaIPDigitacaoManual() {
    const ActionLock lock(actionControls_);
    FieldList fields;
    fields.set(QStringLiteral("servico"), kDigitacaoManual);
    fields.set(QStringLiteral("nm_nr_cpf"), context_.nm_nr_cpf);
    fields.set(QStringLiteral("cd_ibge"), context_.cd_ibge);
    fields.set(QStringLiteral("nr_cartorio"), context_.nr_cartorio);
    const QString answer = serviceCall(consultation_, context_.Ambiente, context_.urlAPI, Wrapping::N, fields);

    // Only an answer replaces the grid: a call that failed has left it as it was.
    ui_.ListView2->setRowCount(0);
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
    if (ui_.ListView2->rowCount() == 0) {
        dialogs().showError(QStringLiteral("Não existem arquivos para assinar"));
        return;
    }
    // One list of fields for the whole run: every row overwrites its values in place.
    FieldList fields;
    for (int row = 0; row < ui_.ListView2->rowCount(); ++row) {
        if (cellText(ui_.ListView2, row, kManualStatus) == kStatusEnviado) continue;
        if (!signRow(row, folder, fields)) return;
    }
}

bool ManualInstrumentsTab::signRow(int row, const QString& folder, FieldList& fields) {
    QTableWidget* grid = ui_.ListView2;
    const QString id = cellText(grid, row, kManualId);
    setCell(grid, row, kManualStatus, kStatusAssinando);
    showRow(row);

    // The key names the files: one that would leave the folder or cannot be a file name
    // is refused before anything is written.
    const QString key = cellText(grid, row, kManualChave);
    if (const QString invalid = invalidKeyText(key); !invalid.isEmpty()) {
        setCell(grid, row, kManualStatus, kStatusErro);
        setCell(grid, row, kManualObservacao, invalid);
        return true;
    }
    const QByteArray base64 = cellText(grid, row, kManualPdf).toLatin1();
    if (DecodeBase64Lenient(base64).isEmpty()) {
        setCell(grid, row, kManualStatus, kStatusErro);
        setCell(grid, row, kManualObservacao,
                QStringLiteral("O PDF do instrumento veio vazio do serviço; nada foi assinado."));
        return true;
    }

    const QString saveFolder = folder + QDir::separator();
    const QString pdf = saveFolder + key + QStringLiteral(".pdf");
    runInBackground([base64, pdf] { SaveBase64ToFile(base64, pdf); });

    if (signing_.AssinarArquivo(pdf, context_.Certificado_Thumbprint, saveFolder).isEmpty()) {
        // At the PIN (cancelled, refused, locked) the run ends: going on would ask again
        // for every row, or try a refused PIN until the token blocks.
        return !signing_.pinRefused();
    }
    setCell(grid, row, kManualStatus, kStatusAssinado);

    const QString signature = pdf + QStringLiteral(".p7s");
    if (FileSize2(signature) > kSignedFileLimit) {
        setCell(grid, row, kManualStatus, kStatusErro);
        setCell(grid, row, kManualObservacao, kSignedFileTooLarge);
        return true;
    }
    const QByteArray signatureText = runInBackground([signature] { return EncodeFile(signature); });
    if (signatureText.isEmpty()) return true;

    // Without the certificate there is nothing to send; its lookup has shown why.
    const auto certificate = signing_.selecionaCertificado(context_.Certificado_Thumbprint);
    if (!certificate) return false;
    const QString certificateText = certificate->Export(CAPICOM_TLB::CAPICOM_ENCODE_BASE64);

    fields.set(QStringLiteral("servico"), kDigitacaoManualAtt);
    fields.set(QStringLiteral("cd_titulo_instrumento_protesto"), id);
    fields.set(QStringLiteral("ds_instrumento_protesto_b64"), signatureText);
    fields.set(QStringLiteral("ds_certificado_digital_b64"), certificateText);
    const QString answer = serviceCall(upload_, context_.Ambiente, context_.urlAPI, Wrapping::A, fields);

    const std::optional<JsonValue> parsed = jsonParse(answer);
    if (!parsed || !parsed->is_object()) {
        setCell(grid, row, kManualStatus, kStatusErro);
        setCell(grid, row, kManualObservacao, kNotSentText);
        return true;
    }
    // Marked sent before the PDF goes: the service has it, whatever happens to the file.
    setCell(grid, row, kManualStatus, kStatusEnviado);
    setCell(grid, row, kManualObservacao, kSentText);
    QFile written(pdf);
    if (!written.remove() && written.exists())
        throw std::runtime_error(
            QStringLiteral("Não foi possível apagar o arquivo %1: %2").arg(pdf, written.errorString()).toStdString());
    return true;
}

}  // namespace norvane

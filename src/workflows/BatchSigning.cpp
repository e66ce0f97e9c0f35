// The "Assinatura em Lote" tab: intake of an input folder, then the batch that signs,
// zips and uploads every accepted file.

#include "workflows/BatchSigning.h"

#include "packaging/Packaging.h"
#include "core/Background.h"
#include "core/Dialogs.h"
#include "service/ServiceCall.h"
#include "workflows/Grid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
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
void fitColumn(QTableWidget* grid, int column, int least, int most) {
    grid->resizeColumnToContents(column);
    grid->setColumnWidth(column, std::clamp(grid->columnWidth(column), least, most));
}

void fitColumns(QTableWidget* grid) {
    fitColumn(grid, kColumnArquivo, 350, 4000);
    fitColumn(grid, kColumnStatus, 0, 100);
    fitColumn(grid, kColumnObservacao, 800, 4000);
}

}  // namespace

BatchSigningTab::BatchSigningTab(const Controls& controls, const LoginContext& context, SigningSession& signing,
                                 HttpClient& IdHTTP2, const ActionControls& actionControls)
    : ui_(controls), context_(context), signing_(signing), http_(IdHTTP2), actionControls_(actionControls) {
    setupGrid(ui_.ListView1, {QStringLiteral("Arquivo"), QStringLiteral("Tamanho"), QStringLiteral("Status"),
                              QStringLiteral("Observação")});
    QHeaderView* header = ui_.ListView1->horizontalHeader();
    header->setMinimumSectionSize(20);
    ui_.ListView1->setColumnWidth(kColumnArquivo, 350);
    ui_.ListView1->setColumnWidth(kColumnTamanho, 120);
    header->setSectionResizeMode(kColumnTamanho, QHeaderView::Fixed);
    ui_.ListView1->setColumnWidth(kColumnStatus, 100);
    ui_.ListView1->setColumnWidth(kColumnObservacao, 800);
    ui_.Progresso->setText(QString());
}

QString BatchSigningTab::entryPath(const QLabel* folder, const QString& name) const {
    return folder->text() + QDir::separator() + name;
}

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
    batch();
}

void BatchSigningTab::intake() {
    QTableWidget* grid = ui_.ListView1;
    // Cleared first: rows of another folder must never be signed from this one.
    grid->setRowCount(0);
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
            const int row = grid->rowCount();
            grid->insertRow(row);
            setCell(grid, row, kColumnArquivo, entry.name);
            setCell(grid, row, kColumnTamanho, sizeText(entry.size));
            if (!entry.error.isEmpty()) {
                setCell(grid, row, kColumnStatus, kStatusErro);
                setCell(grid, row, kColumnObservacao, entry.error);
                continue;
            }
            // A file that cannot be opened ends the intake here: its row keeps its name and size.
            if (read.failure) std::rethrow_exception(read.failure);
            const QString observation = intakeObservation(read.marks, entry.name, context_.cd_ibge, context_.nr_cartorio);
            setCell(grid, row, kColumnStatus, observation.isEmpty() ? QString() : kStatusErro);
            setCell(grid, row, kColumnObservacao, observation);
        }
    }
    fitColumns(grid);
}

void BatchSigningTab::batch() {
    QTableWidget* grid = ui_.ListView1;
    // A status wider than its column widens it, up to the column's bound (measured on the
    // one cell: fitting the whole column at every row would cost a batch of n rows n² texts).
    const int textMargin = 2 * (grid->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, grid) + 1) + 2;
    const auto setStatus = [grid, textMargin](int row, const QString& status) {
        setCell(grid, row, kColumnStatus, status);
        const int wanted = std::min(100, QFontMetrics(grid->font()).horizontalAdvance(status) + textMargin);
        if (wanted > grid->columnWidth(kColumnStatus)) grid->setColumnWidth(kColumnStatus, wanted);
    };
    struct ProgressLine {
        QLabel* label;
        ~ProgressLine() { label->setText(QString()); }
    } progress{ui_.Progresso};

    // One list of fields for the whole batch: every file overwrites its values in place.
    FieldList fields;
    for (int row = 0; row < grid->rowCount(); ++row) {
        progress.label->setText(QStringLiteral("%1 de %2").arg(row + 1).arg(grid->rowCount()));
        const QString name = cellText(grid, row, kColumnArquivo);
        if (!grid->item(row, kColumnStatus))
            throw std::runtime_error(QStringLiteral("O arquivo %1 não foi validado: a leitura da pasta de entrada "
                                                    "terminou antes dele. Leia a pasta novamente.")
                                         .arg(name)
                                         .toStdString());
        const QString status = cellText(grid, row, kColumnStatus);
        if (status == kStatusErro || status == kStatusEnviado) continue;
        grid->scrollToItem(grid->item(row, kColumnArquivo));

        setStatus(row, kStatusAssinando);
        const QString outFolder = ui_.PastaSaida->text() + QDir::separator();
        const QString signedText =
            signing_.AssinarArquivo(entryPath(ui_.PastaEntrada, name), context_.Certificado_Thumbprint, outFolder);
        if (signedText.isEmpty()) {
            // A PIN cancelled, refused or locked ends the batch: going on would ask again for
            // every file, or try the same PIN until the token blocks.
            if (signing_.pinRefused()) return;
            continue;
        }
        setStatus(row, kStatusAssinado);

        const QString p7s = outFolder + name + QStringLiteral(".p7s");
        const qint64 size = FileSize2(p7s);
        // Zipa skips a missing file: an empty archive must never be sent in its place.
        if (size < 0)
            throw std::runtime_error(QStringLiteral("O arquivo assinado %1 não foi encontrado.").arg(p7s).toStdString());
        if (size > kSignedFileLimit) {
            setStatus(row, kStatusErro);
            setCell(grid, row, kColumnObservacao, kSignedFileTooLarge);
            continue;
        }

        // The archive lives only while its text is made: it is gone also when this fails.
        const QString zip = p7s + QStringLiteral(".zip");
        const QByteArray zipText = runInBackground([p7s, zip] {
            QByteArray text;
            try {
                Zipa({p7s}, zip);
                text = EncodeFile(zip);
            } catch (...) {
                QFile::remove(zip);
                throw;
            }
            if (!text.isEmpty() && !QFile::remove(zip) && QFile::exists(zip))
                throw std::runtime_error(
                    QStringLiteral("Não foi possível apagar o arquivo temporário %1.").arg(zip).toStdString());
            return text;
        });
        if (zipText.isEmpty()) continue;

        // The lookup shows its own error: without the certificate nothing can be sent.
        const auto certificate = signing_.selecionaCertificado(context_.Certificado_Thumbprint);
        if (!certificate) return;
        const QString certificateText = certificate->Export(CAPICOM_TLB::CAPICOM_ENCODE_BASE64);

        fields.set(QStringLiteral("servico"), kInstrumentoDeProtesto);
        fields.set(QStringLiteral("ds_instrumento_protesto"), zipText);
        fields.set(QStringLiteral("nm_chave"), instrumentKey(name));
        fields.set(QStringLiteral("cd_usuario"), context_.cd_usuario);
        fields.set(QStringLiteral("ds_certificado_digital_b64"), certificateText);
        const QString answer = serviceCall(http_, context_.Ambiente, context_.urlAPI, fields);
        if (parseAnswerObject(answer)) {
            setStatus(row, kStatusEnviado);
            setCell(grid, row, kColumnObservacao, kSentText);
        } else {
            setStatus(row, kStatusErro);
            setCell(grid, row, kColumnObservacao, kNotSentText);
        }
    }
    dialogs().showInfo(QStringLiteral("Processo Finalizado"));
}

}  // namespace norvane

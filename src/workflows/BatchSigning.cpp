// The "Assinatura em Lote" tab: intake of an input folder, then the batch that signs,
// zips and uploads every accepted file.

#include "workflows/BatchSigning.h"

#include "core/Background.h"
#include "core/Dialogs.h"
#include "engine/BatchRows.h"
#include "workflows/Grid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QRegularExpression>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

const QString kManualText = QStringLiteral(
    "Arquivo originado da digitação manual. Por favor utilize a aba IP da Digitação Manual para efetuar a assinatura.");

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

[[noreturn]] void failOpen(const QString& path, const QString& why) {
    throw std::runtime_error(QStringLiteral("Não foi possível abrir o arquivo %1: %2").arg(path, why).toStdString());
}

QString systemText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Closes the descriptor (and with it the lease and the lock) however the search ends.
struct Descriptor {
    int fd = -1;
    bool leased = false;
    ~Descriptor() {
        if (fd < 0) return;
        if (leased) ::fcntl(fd, F_SETLEASE, F_UNLCK);
        ::close(fd);
    }
};

}  // namespace

QStringList listarArquivosDaPasta(const QString& sPasta, const QString& Extensao) {
    const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(Extensao),
                                     QRegularExpression::CaseInsensitiveOption);
    const QByteArray folder = QFile::encodeName(sPasta);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.isEmpty() ? "." : folder.constData()), ::closedir);
    QStringList names;
    if (!dir) return names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray raw(entry->d_name);
        if (raw.startsWith('.')) continue;  // hidden, and "." and ".."
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString name = utf8(raw);
        if (!pattern.match(name).hasMatch()) continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat info {};
            regular = ::stat((folder + raw).constData(), &info) == 0 && S_ISREG(info.st_mode);
        }
        if (!regular) continue;
        if (utf8.hasError())
            throw FileNameError(QStringLiteral("O nome do arquivo \"%1\" na pasta %2 não é um texto UTF-8 válido; "
                                               "renomeie o arquivo e leia a pasta novamente.")
                                    .arg(name, sPasta)
                                    .toStdString());
        names << name;
    }
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int order = a.compare(b, Qt::CaseInsensitive);
        return order != 0 ? order < 0 : a < b;
    });
    return names;
}

namespace {

const QByteArray kManualMark = QByteArrayLiteral("{\"manual\":\"1\"}");
const QByteArray kPdfaMark = QByteArrayLiteral("pdfa");
const QByteArray kKeywordsMark = QByteArrayLiteral("Keywords");

bool contains(const char* data, qsizetype size, const QByteArray& needle) {
    return size >= needle.size() && ::memmem(data, size_t(size), needle.constData(), size_t(needle.size()));
}

void search(ContentMarks& marks, const char* data, qsizetype size) {
    marks.manual = marks.manual || contains(data, size, kManualMark);
    marks.pdfa = marks.pdfa || contains(data, size, kPdfaMark);
    marks.keywords = marks.keywords || contains(data, size, kKeywordsMark);
}

}  // namespace

ContentMarks contentMarks(const QByteArray& bytes) {
    ContentMarks marks;
    search(marks, bytes.constData(), bytes.size());
    return marks;
}

ContentMarks readContentMarks(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    Descriptor file;
    // Non-blocking: a pipe put in place of the file must not hold the open forever.
    file.fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (file.fd < 0) failOpen(path, systemText(errno));
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) failOpen(path, systemText(errno));
    if (!S_ISREG(info.st_mode)) failOpen(path, QStringLiteral("não é um arquivo comum."));

    const QString inUse = QStringLiteral("o arquivo está em uso por outro programa.");
    // Nobody else may have it open for writing: a read lease is refused while any other
    // open for writing exists, and while we hold it a new one waits until we let go. It
    // needs the file to be ours (or CAP_LEASE) and a local file system; elsewhere only the
    // locks below are seen.
    if (::fcntl(file.fd, F_SETLEASE, F_RDLCK) == 0)
        file.leased = true;
    else if (errno == EAGAIN || errno == EBUSY)
        failOpen(path, inUse);
    // Nor hold it locked: a whole-file lock (flock) or a record lock (fcntl) of any kind.
    if (::flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) failOpen(path, inUse);
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(file.fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) failOpen(path, inUse);

    // Block by block; the tail of each block is searched again with the next, so that a mark
    // that straddles two blocks is found as in a search of the whole file.
    constexpr qsizetype kBlock = 1 << 20;
    const qsizetype keep = std::max({kManualMark.size(), kPdfaMark.size(), kKeywordsMark.size()}) - 1;
    QByteArray buffer(kBlock + keep, Qt::Uninitialized);
    qsizetype carried = 0;
    ContentMarks marks;
    for (;;) {
        if (abortRequested()) throw Aborted();
        const ssize_t n = ::read(file.fd, buffer.data() + carried, size_t(kBlock));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(
                QStringLiteral("Falha ao ler o arquivo %1: %2").arg(path, systemText(errno)).toStdString());
        }
        if (n == 0) break;
        const qsizetype filled = carried + n;
        search(marks, buffer.constData(), filled);
        carried = std::min(keep, filled);
        std::memmove(buffer.data(), buffer.constData() + filled - carried, size_t(carried));
    }
    ::flock(file.fd, LOCK_UN);
    return marks;
}

QString intakeObservation(const ContentMarks& marks, const QString& name, const QString& cd_ibge,
                          const QString& nr_cartorio) {
    if (marks.manual) return kManualText;
    if (!marks.pdfa) return QStringLiteral("Arquivo não parece ser um PDF/A");
    if (!marks.keywords) return QStringLiteral("Arquivo não parece conter metadados");
    if (name.size() < 27) return QStringLiteral("Nomenclatura do arquivo menor que 23 caracteres");
    if (name.mid(0, 7) != cd_ibge)
        return QStringLiteral("Nomenclatura do arquivo não parece ser uma chave única (cód ibge = ") + cd_ibge +
               QStringLiteral(")");
    if (name.mid(15, 2) != nr_cartorio)
        return QStringLiteral("Nomenclatura do arquivo não parece ser uma chave única (nr cartório = ") + nr_cartorio +
               QStringLiteral(")");
    return QString();
}

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
    BatchRows steps({context_, ui_.PastaEntrada->text(), ui_.PastaSaida->text()}, signing_, http_);
    if (engine_.run(steps).completed) dialogs().showInfo(QStringLiteral("Processo Finalizado"));
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
    const QStringList names = runInBackground([folder] { return listarArquivosDaPasta(folder, QStringLiteral("*.pdf")); });
    // The files are read off the GUI thread a slice at a time (a few milliseconds of work),
    // so that the grid fills visibly without a thread per file.
    struct Read {
        ContentMarks marks;
        std::exception_ptr failure;
    };
    for (qsizetype next = 0; next < names.size();) {
        const std::vector<Read> slice = runInBackground([&names, folder, next] {
            std::vector<Read> done;
            QElapsedTimer clock;
            clock.start();
            for (qsizetype i = next; i < names.size() && (done.empty() || clock.elapsed() < 10); ++i) {
                done.emplace_back();
                try {
                    done.back().marks = readContentMarks(folder + names[i]);
                } catch (const std::exception&) {
                    done.back().failure = std::current_exception();
                    break;
                }
            }
            return done;
        });
        for (const Read& read : slice) {
            const QString& name = names[next++];
            RowRecord record;
            record.file = name;
            record.size = sizeText(FileSize2(folder + name));
            // A file that cannot be opened ends the intake here: its row keeps its name and size.
            if (read.failure) {
                rows_->append(std::move(record));
                std::rethrow_exception(read.failure);
            }
            const QString observation = intakeObservation(read.marks, name, context_.cd_ibge, context_.nr_cartorio);
            record.status = observation.isEmpty() ? QString() : kStatusErro;
            record.observation = observation;
            rows_->append(std::move(record));
        }
    }
    fitColumns(grid);
}

}  // namespace norvane

// The intake of the batch tab: the listing of the input folder and the tests of each file.

#include "engine/BatchIntake.h"

#include "core/SystemErrors.h"

#include "engine/RowRules.h"

#include "core/Background.h"
#include "packaging/Packaging.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
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

[[noreturn]] void failOpen(const QString& path, const QString& why) {
    throw Error(ErrorKind::FileError, QStringLiteral("Não foi possível abrir o arquivo %1: %2").arg(path, why));
}

QString systemText(int error) { return systemErrorText(error); }

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

// The text of FileNameError for a name that is not UTF-8, as shown.
QString fileNameErrorText(const QString& shown, const QString& folder) {
    return QStringLiteral("O nome do arquivo \"%1\" na pasta %2 não é um texto UTF-8 válido; "
                          "renomeie o arquivo e leia a pasta novamente.")
        .arg(shown, folder);
}

}  // namespace

std::vector<FolderEntry> listFolderEntries(const QString& sPasta, const QString& Extensao) {
    const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(Extensao),
                                     QRegularExpression::CaseInsensitiveOption);
    const QByteArray folder = QFile::encodeName(sPasta);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.isEmpty() ? "." : folder.constData()), ::closedir);
    std::vector<FolderEntry> entries;
    if (!dir) return entries;
    while (const dirent* entry = ::readdir(dir.get())) {
        const QByteArray bytes(entry->d_name);
        if (bytes.startsWith('.')) continue;  // hidden, and "." and ".."
        const DecodedFileName decoded = decodeFileName(bytes);
        if (!pattern.match(decoded.text).hasMatch()) continue;
        const QByteArray path = folder + bytes;
        struct stat info {};
        const bool followed = ::stat(path.constData(), &info) == 0;
        const bool regular = (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK)
                                 ? followed && S_ISREG(info.st_mode)
                                 : entry->d_type == DT_REG;
        if (!regular) continue;
        FolderEntry listed;
        listed.name = decoded.text;
        listed.bytes = bytes;
        if (followed || ::lstat(path.constData(), &info) == 0) listed.size = info.st_size;
        if (!decoded.exact) listed.error = fileNameErrorText(decoded.text, sPasta);
        entries.push_back(std::move(listed));
    }
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) {
        const int order = a.name.compare(b.name, Qt::CaseInsensitive);
        if (order != 0) return order < 0;
        if (a.name != b.name) return a.name < b.name;
        return a.bytes < b.bytes;
    });
    return entries;
}

QStringList listarArquivosDaPasta(const QString& sPasta, const QString& Extensao) {
    QStringList names;
    for (const FolderEntry& entry : listFolderEntries(sPasta, Extensao)) {
        if (!entry.error.isEmpty()) throw FileNameError(entry.error);
        names << entry.name;
    }
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
            throw Error(ErrorKind::FileError,
                        QStringLiteral("Falha ao ler o arquivo %1: %2").arg(path, systemText(errno)));
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

namespace {

// The index after the character that starts at `at`: a surrogate pair is one character.
qsizetype nextCharacter(QStringView text, qsizetype at) {
    return text[at].isHighSurrogate() && at + 1 < text.size() && text[at + 1].isLowSurrogate() ? at + 2 : at + 1;
}

}  // namespace

qsizetype characterCount(QStringView text) {
    qsizetype count = 0;
    for (qsizetype at = 0; at < text.size(); at = nextCharacter(text, at)) ++count;
    return count;
}

QString characterSlice(QStringView text, qsizetype from, qsizetype count) {
    qsizetype start = 0;
    for (qsizetype skipped = 0; skipped < from && start < text.size(); ++skipped) start = nextCharacter(text, start);
    qsizetype end = start;
    for (qsizetype taken = 0; taken < count && end < text.size(); ++taken) end = nextCharacter(text, end);
    return text.sliced(start, end - start).toString();
}

QString instrumentKey(const QString& name) { return characterSlice(name, 0, 23); }

QString intakeObservation(const ContentMarks& marks, const QString& name, const QString& cd_ibge,
                          const QString& nr_cartorio) {
    if (marks.manual) return kManualText;
    if (!marks.pdfa) return QStringLiteral("Arquivo não parece ser um PDF/A");
    if (!marks.keywords) return QStringLiteral("Arquivo não parece conter metadados");
    if (characterCount(name) < 27) return QStringLiteral("Nomenclatura do arquivo menor que 23 caracteres");
    if (characterSlice(name, 0, 7) != cd_ibge)
        return QStringLiteral("Nomenclatura do arquivo não parece ser uma chave única (cód ibge = ") + cd_ibge +
               QStringLiteral(")");
    if (characterSlice(name, 15, 2) != nr_cartorio)
        return QStringLiteral("Nomenclatura do arquivo não parece ser uma chave única (nr cartório = ") + nr_cartorio +
               QStringLiteral(")");
    return QString();
}

RowRecord intakeRow(const FolderEntry& entry, const ContentMarks* marks, const LoginContext& context) {
    RowRecord record;
    record.file = entry.name;
    record.size = sizeText(entry.size);
    record.sizeBytes = entry.size;
    if (!entry.error.isEmpty()) {
        record.status = RowStatus::Error;
        record.observation = entry.error;
        return record;
    }
    // The key the service gets for the file (nm_chave).
    record.key = instrumentKey(entry.name);
    if (!marks) return record;
    const QString observation = intakeObservation(*marks, entry.name, context.cd_ibge, context.nr_cartorio);
    record.status = observation.isEmpty() ? RowStatus::Waiting : RowStatus::Error;
    record.observation = observation;
    return record;
}

std::exception_ptr intakeFolder(RowModel& rows, const QString& inputFolder, const LoginContext& context) {
    const QString folder = inputFolder + QDir::separator();
    const std::vector<FolderEntry> entries =
        runInBackground([folder] { return listFolderEntries(folder, QStringLiteral("*.pdf")); });
    // A name that is not UTF-8 is never opened: its row says so.
    struct Read {
        ContentMarks marks;
        std::exception_ptr failure;
    };
    for (size_t next = 0; next < entries.size();) {
        if (abortRequested()) throw Aborted();
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
            rows.append(intakeRow(entry, readable ? &read.marks : nullptr, context));
            if (entry.error.isEmpty() && read.failure) return read.failure;
        }
    }
    return nullptr;
}

}  // namespace norvane

#include "engine/Journal.h"

#include "core/Error.h"
#include "core/SystemErrors.h"
#include "engine/RowModel.h"
#include "engine/RowRules.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringDecoder>
#include <nlohmann/json.hpp>

#include <climits>
#include <cstdint>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

namespace {

constexpr int kFormat = 1;
constexpr qsizetype kLongestLine = 1 << 20;

// The operating system's reason, in Portuguese where it is one a clerk meets.
QString osReason(int error) {
    switch (error) {
        case ENOENT: return QStringLiteral("a pasta não existe (foi removida ou renomeada?)");
        case EACCES:
        case EPERM: return QStringLiteral("sem permissão de escrita na pasta");
        default: return systemErrorText(error);
    }
}

// Local time with its offset, so that the instant reads the same anywhere.
QString stamp(const QDateTime& when) { return when.toOffsetFromUtc(when.offsetFromUtc()).toString(Qt::ISODateWithMs); }

QString hex(const QByteArray& digest) { return QString::fromLatin1(digest.toHex()); }

// UTF-8 as it is: a leading U+FEFF is a character of the text, not a mark to drop.
QString utf8(const std::string& bytes) {
    QStringDecoder decoder(QStringConverter::Utf8,
                           QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    return decoder(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
}

// A JSON value as Qt holds it. Read with a reader that keeps every character of a string as
// written (Qt's own drops a leading U+FEFF).
QJsonValue toQt(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::boolean: return value.get<bool>();
        case nlohmann::json::value_t::number_integer: return qint64(value.get<std::int64_t>());
        case nlohmann::json::value_t::number_unsigned: {
            const auto n = value.get<std::uint64_t>();
            return n <= std::uint64_t(INT64_MAX) ? QJsonValue(qint64(n)) : QJsonValue(double(n));
        }
        case nlohmann::json::value_t::number_float: return value.get<double>();
        case nlohmann::json::value_t::string: return utf8(value.get_ref<const std::string&>());
        case nlohmann::json::value_t::array: {
            QJsonArray array;
            for (const auto& each : value) array.append(toQt(each));
            return array;
        }
        case nlohmann::json::value_t::object: {
            QJsonObject object;
            for (const auto& [name, each] : value.items()) object.insert(utf8(name), toQt(each));
            return object;
        }
        default: return QJsonValue(QJsonValue::Null);
    }
}

// A complete line of ours, or nothing.
std::optional<QJsonObject> ourLine(const QByteArray& line) {
    const auto document = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (document.is_discarded() || !document.is_object()) return std::nullopt;
    const auto format = document.find("norvane");
    const auto event = document.find("evento");
    if (format == document.end() || !format->is_number_integer() || format->get<std::int64_t>() != kFormat ||
        event == document.end() || !event->is_string())
        return std::nullopt;
    return toQt(document).toObject();
}

bool isText(const QJsonObject& line, const char* name) { return line.value(QLatin1String(name)).isString(); }

// A SHA-256 as we write it: 64 lower-case hexadecimal digits; its raw bytes.
std::optional<QByteArray> digest(const QJsonValue& value) {
    static const QRegularExpression form(QStringLiteral("^[0-9a-f]{64}$"));
    if (!value.isString() || !form.match(value.toString()).hasMatch()) return std::nullopt;
    return QByteArray::fromHex(value.toString().toLatin1());
}

// An instant as we write it (ISO 8601 with seconds and an offset) that names a real time.
std::optional<QDateTime> instant(const QJsonValue& value) {
    static const QRegularExpression form(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(\\.\\d{1,3})?(Z|[+-]\\d\\d:\\d\\d)$"));
    if (!value.isString() || !form.match(value.toString()).hasMatch()) return std::nullopt;
    const QDateTime when = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (!when.isValid()) return std::nullopt;
    return when;
}

// Calls `each` with every complete line of the file and returns the offset just after the
// last one (-1 when the file cannot be read); `tail` gets what follows it.
template <typename Each>
qint64 readLines(int fd, Each each, QByteArray& tail) {
    tail.clear();
    if (::lseek(fd, 0, SEEK_SET) < 0) return -1;
    QByteArray pending;
    bool overlong = false;
    qint64 offset = 0;
    qint64 complete = 0;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        pending.append(chunk, qsizetype(n));
        offset += n;
        qsizetype start = 0;
        for (qsizetype end; (end = pending.indexOf('\n', start)) >= 0; start = end + 1) {
            if (!overlong) each(pending.mid(start, end - start));
            overlong = false;
            complete = offset - (pending.size() - end - 1);
        }
        pending.remove(0, start);
        // No line of ours is this long: what is not one is passed over without being kept.
        if (pending.size() > kLongestLine) {
            pending.clear();
            overlong = true;
        }
    }
    if (!overlong) tail = pending;
    return complete;
}

}  // namespace

Journal::Journal(const QString& folder) : folder_(folder), path_(folder + QDir::separator() + kJournalFileName) {
    const QByteArray path = QFile::encodeName(path_);
    const auto refuse = [&](const QString& reason) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        throw Error(ErrorKind::FileError,
                    QStringLiteral("Não foi possível abrir o diário da pasta %1: %2. Nada foi assinado nem enviado.")
                        .arg(folder, reason));
    };
    // Never through a link, never a device or a pipe: our lines go into this folder's file only.
    constexpr int kFlags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    bool created = false;
    fd_ = ::open(path.constData(), kFlags | O_CREAT | O_EXCL, 0644);
    if (fd_ >= 0)
        created = true;
    else if (errno == EEXIST)
        fd_ = ::open(path.constData(), kFlags);
    if (fd_ < 0) refuse(errno == ELOOP ? QStringLiteral("%1 é um link simbólico").arg(kJournalFileName) : osReason(errno));
    struct stat opened {};
    if (::fstat(fd_, &opened) != 0) refuse(osReason(errno));
    if (!S_ISREG(opened.st_mode)) refuse(QStringLiteral("%1 não é um arquivo comum").arg(kJournalFileName));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd_);
        fd_ = -1;
        throw Error(ErrorKind::FileError,
                    QStringLiteral("A pasta %1 está sendo usada por outro lote (em outra janela ou na linha de comando). "
                                   "Espere que ele termine e tente novamente.")
                        .arg(folder));
    }
    if (created) {
        // The new file's name must survive a crash too.
        const int dir = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return;
    }
    QByteArray tail;
    const qint64 complete = readLines(
        fd_,
        [this](const QByteArray& line) {
            if (const auto object = ourLine(line)) remember(*object);
        },
        tail);
    if (complete < 0) fail(osReason(errno));
    struct stat status {};
    if (::fstat(fd_, &status) != 0) fail(osReason(errno));
    if (status.st_size == complete) return;
    if (!tail.isEmpty() && status.st_size == complete + tail.size() &&
        nlohmann::json::accept(tail.begin(), tail.end())) {
        // A whole line, only its newline missing: it counts, and the next line starts apart.
        if (const auto object = ourLine(tail)) remember(*object);
        if (::write(fd_, "\n", 1) != 1 || ::fdatasync(fd_) != 0) fail(osReason(errno));
        return;
    }
    // A torn last line: cut off, so that the next line starts on a line of its own.
    if (::ftruncate(fd_, complete) != 0 || ::fdatasync(fd_) != 0) fail(osReason(errno));
}

Journal::~Journal() {
    if (fd_ >= 0) ::close(fd_);  // also lets the folder go
}

void Journal::fail(const QString& reason) const {
    throw Error(ErrorKind::FileError, QStringLiteral("Não foi possível gravar o diário %1: %2.").arg(path_, reason));
}

void Journal::remember(const QJsonObject& line) {
    if (line.value(QStringLiteral("evento")).toString() != QLatin1String("enviado")) return;
    // Every field with its type and form, or the line is no send of ours.
    const std::optional<QDateTime> when = instant(line.value(QStringLiteral("quando")));
    const std::optional<QByteArray> input = digest(line.value(QStringLiteral("sha256_pdf")));
    const std::optional<QByteArray> signature = digest(line.value(QStringLiteral("sha256_p7s")));
    if (!when || !input || !signature || !isText(line, "ambiente") || !isText(line, "cd_ibge") ||
        !isText(line, "nr_cartorio"))
        return;
    const bool batch = isText(line, "arquivo") && !line.contains(QStringLiteral("id")) &&
                       !line.contains(QStringLiteral("chave"));
    const bool manual = isText(line, "id") && isText(line, "chave") && !line.contains(QStringLiteral("arquivo"));
    if (!batch && !manual) return;
    const QString name = line.value(batch ? QStringLiteral("arquivo") : QStringLiteral("id")).toString();
    sends_[SendKey{manual, line.value(QStringLiteral("ambiente")).toString(), line.value(QStringLiteral("cd_ibge")).toString(),
                   line.value(QStringLiteral("nr_cartorio")).toString(), name, *input}] =
        JournalSend{*when, *input, *signature};
}

std::optional<JournalSend> Journal::find(const SendKey& key) const {
    const std::lock_guard lock(m_);
    const auto found = sends_.find(key);
    if (found == sends_.end()) return std::nullopt;
    return found->second;
}

std::optional<JournalSend> Journal::sentFile(const QString& name, const QByteArray& sha256,
                                             const JournalTarget& target) const {
    return find(SendKey{false, target.ambiente, target.cdIbge, target.nrCartorio, name, sha256});
}

std::optional<JournalSend> Journal::sentInstrument(const QString& id, const QByteArray& pdfSha256,
                                                   const JournalTarget& target) const {
    return find(SendKey{true, target.ambiente, target.cdIbge, target.nrCartorio, id, pdfSha256});
}

void Journal::append(QJsonObject line, const QDateTime& when) {
    line.insert(QStringLiteral("norvane"), kFormat);
    line.insert(QStringLiteral("quando"), stamp(when));
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';

    const std::lock_guard lock(m_);
    // Written into a file that is no longer in the folder, a line would be lost unseen.
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd_, &opened) != 0) fail(osReason(errno));
    if (opened.st_nlink == 0 || ::stat(QFile::encodeName(path_).constData(), &named) != 0 ||
        named.st_ino != opened.st_ino || named.st_dev != opened.st_dev)
        fail(QStringLiteral("o arquivo do diário ou a pasta %1 foi removido ou substituído durante o lote").arg(folder_));
    const off_t before = opened.st_size;
    ssize_t written;
    do {
        written = ::write(fd_, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written != ssize_t(bytes.size())) {
        const int error = written < 0 ? errno : ENOSPC;  // a short write: the disk filled up
        // What went in is taken back: the journal keeps whole lines only.
        if (written > 0 && ::ftruncate(fd_, before) == 0) ::fdatasync(fd_);
        fail(osReason(error));
    }
    if (::fdatasync(fd_) != 0) {
        const int error = errno;
        if (::ftruncate(fd_, before) == 0) ::fdatasync(fd_);
        fail(osReason(error));
    }
    remember(line);
}

std::vector<QJsonObject> Journal::read(const QString& path) {
    std::vector<QJsonObject> lines;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return lines;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return lines;
    }
    QByteArray tail;
    readLines(
        fd,
        [&lines](const QByteArray& line) {
            if (auto object = ourLine(line)) lines.push_back(std::move(*object));
        },
        tail);
    if (auto object = ourLine(tail)) lines.push_back(std::move(*object));
    ::close(fd);
    return lines;
}

// --- the recorder ---------------------------------------------------------------------------------

JournalRecorder::JournalRecorder(Journal& journal, RowModel::Kind kind, const JournalTarget& target)
    : journal_(journal), manual_(kind == RowModel::Kind::Manual), target_(target) {}

void JournalRecorder::record(const RowChange& change, const RowRecord& row) {
    const bool manual = manual_;
    QJsonObject line;
    QString event;
    switch (change.kind) {
        case RowChange::Signing: event = QStringLiteral("assinando"); break;
        case RowChange::Signed: event = QStringLiteral("assinado"); break;
        case RowChange::Sent: event = QStringLiteral("enviado"); break;
        case RowChange::Failed: event = QStringLiteral("erro"); break;
        case RowChange::Stopped: event = QStringLiteral("interrompido"); break;
        case RowChange::AlreadySent: event = QStringLiteral("ja-enviado"); break;
    }
    line.insert(QStringLiteral("evento"), event);
    if (manual) {
        line.insert(QStringLiteral("id"), row.id);
        line.insert(QStringLiteral("chave"), row.key);
    } else {
        line.insert(QStringLiteral("arquivo"), row.file);
    }
    if (change.kind == RowChange::Signed || change.kind == RowChange::Sent || change.kind == RowChange::AlreadySent) {
        line.insert(QStringLiteral("sha256_pdf"), hex(row.inputSha256));
        line.insert(QStringLiteral("sha256_p7s"), hex(row.signatureSha256));
    }
    if (change.kind == RowChange::Sent) {
        line.insert(QStringLiteral("ambiente"), target_.ambiente);
        line.insert(QStringLiteral("cd_ibge"), target_.cdIbge);
        line.insert(QStringLiteral("nr_cartorio"), target_.nrCartorio);
    }
    if (change.kind == RowChange::AlreadySent) line.insert(QStringLiteral("enviado_em"), stamp(change.sentAt));
    if (change.kind == RowChange::Failed) line.insert(QStringLiteral("texto"), change.observation);
    if (change.kind == RowChange::Stopped) line.insert(QStringLiteral("texto"), change.message);

    try {
        journal_.append(line, change.when);
    } catch (const Error& error) {
        // The box that stopped a row is shown already; its line is a note only.
        if (change.kind == RowChange::Stopped) return;
        const QString what = manual ? QStringLiteral("o instrumento %1").arg(row.id) : QStringLiteral("o arquivo %1").arg(row.file);
        const QString at = manual ? QStringLiteral("no instrumento %1").arg(row.id) : QStringLiteral("no arquivo %1").arg(row.file);
        if (change.kind == RowChange::Sent)
            throw Error(ErrorKind::FileError,
                        QStringLiteral("O serviço aceitou %1, mas o envio não pôde ser registrado. %2 O lote foi "
                                       "interrompido. Não envie este arquivo de novo sem antes conferir com a Norvane se "
                                       "ele foi recebido.")
                            .arg(what, error.message()),
                        error);
        throw Error(ErrorKind::FileError, QStringLiteral("%1 O lote foi interrompido %2.").arg(error.message(), at), error);
    }
}

}  // namespace norvane

#pragma once
// The journal of an output folder (the save folder on the manual tab): norvane-diario.jsonl,
// one JSON object per line, appended at every change of a row and on disk before the run
// goes on. It is what lets a later run know that a file was sent already, and what a clerk
// (or support) reads after a crash to know what happened to every row.
//
// A line holds "norvane": 1 (lines without it are not ours and are skipped), "evento" and
// "quando" (local time, ISO 8601 with its offset), the row ("arquivo" on the batch tab; "id"
// and "chave" on the manual tab), and by event:
//   "assinando"    the row is taken up
//   "assinado"     "sha256_pdf" (the bytes signed) and "sha256_p7s" (the .p7s written)
//   "enviado"      the same hashes, "ambiente", "cd_ibge" and "nr_cartorio"
//   "erro"         "texto": why the row is "Erro"
//   "interrompido" "texto": the box that ended or stopped the row
//   "ja-enviado"   the row was left alone, sent before ("enviado_em")
// Hashes are lower-case hexadecimal. A line counts as a send only when every field of it has
// its type and form: a line edited by hand, or written by something else, is passed over.

#include "core/LoginContext.h"
#include "engine/RowEngine.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

namespace norvane {

inline const QString kJournalFileName = QStringLiteral("norvane-diario.jsonl");

// Where a row was sent: the environment and the office.
struct JournalTarget {
    QString ambiente;
    QString cdIbge;
    QString nrCartorio;
    static JournalTarget of(const LoginContext& context) {
        return {context.Ambiente, context.cd_ibge, context.nr_cartorio};
    }
};

// A send the journal records.
struct JournalSend {
    QDateTime when;
    QByteArray inputSha256;      // raw digest
    QByteArray signatureSha256;  // raw digest
};

class Journal {
public:
    // Opens the journal of the folder (made when missing) and reads what it records. A torn
    // last line (a crash while it was written: it does not parse) is cut off, so that new
    // lines never follow it; a whole last line without its newline (an editor's save) is
    // kept and ended. Only a regular file is a journal: a symbolic link, a folder or a device
    // of that name is refused and nothing is written. Holds the folder for this run: a second
    // run on the same folder (another window, the command line) is refused until this one
    // ends. Raises Error FileError.
    explicit Journal(const QString& folder);
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    QString path() const { return path_; }

    // The send of the batch file of that name whose bytes have that SHA-256 (raw), to that
    // environment and office; none when the journal records no such send.
    std::optional<JournalSend> sentFile(const QString& name, const QByteArray& sha256, const JournalTarget& target) const;
    // The same for a manual instrument, by its ID and the SHA-256 (raw) of its PDF: a
    // corrected PDF under the same ID is a send of its own.
    std::optional<JournalSend> sentInstrument(const QString& id, const QByteArray& pdfSha256,
                                              const JournalTarget& target) const;

    // Appends one line ("norvane" and "quando" are added): written with one write and on
    // disk (fdatasync) before it returns. A journal that cannot be written (the folder was
    // removed, the disk is full) raises Error FileError and is left as it was.
    void append(QJsonObject line, const QDateTime& when);

    // Our complete lines of a journal file, in order (for reading it back).
    static std::vector<QJsonObject> read(const QString& path);

private:
    // A send, by the values it was sent with: the grid (batch or manual), the environment, the
    // office, the file's name or the instrument's ID, and the SHA-256 of the PDF.
    using SendKey = std::tuple<bool, QString, QString, QString, QString, QByteArray>;

    void remember(const QJsonObject& line);
    std::optional<JournalSend> find(const SendKey& key) const;
    // Reads the file; returns the offset after its last complete line, and the bytes after it.
    qint64 readAll(QByteArray& tail);
    [[noreturn]] void fail(const QString& reason) const;

    QString folder_;
    QString path_;
    int fd_ = -1;
    mutable std::mutex m_;
    std::map<SendKey, JournalSend> sends_;
};

// Writes a journal line for each change of a run's rows, on the stage's thread. Lines about a
// row's signature or send raise when they cannot be written: the run ends at that row.
class JournalRecorder final : public RowRecorder {
public:
    JournalRecorder(Journal& journal, RowModel::Kind kind, const JournalTarget& target);
    void record(const RowChange& change, const RowRecord& row) override;

private:
    Journal& journal_;
    bool manual_;
    JournalTarget target_;
};

}  // namespace norvane

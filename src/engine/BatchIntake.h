#pragma once
// The intake of the "Assinatura em Lote" tab without its window: the listing of the input
// folder, the search of a file's bytes, and the tests of its content and its name.

#include "core/Error.h"
#include "core/LoginContext.h"
#include "engine/RowModel.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>
#include <exception>
#include <vector>

namespace norvane {

// A name read from the folder that cannot be shown or opened again as text (not UTF-8):
// of the kind FileNameUnusable.
class FileNameError : public Error {
public:
    explicit FileNameError(const QString& message) : Error(ErrorKind::FileNameUnusable, message) {}
};

// One file of a folder listing.
struct FolderEntry {
    // The name as text. When `error` is empty it is exact: the folder + it opens this file and
    // no other. Otherwise it is only for showing (U+FFFD in place of the bytes that are not
    // UTF-8), and nothing may be opened by it.
    QString name;
    QByteArray bytes;   // the name on disk
    qint64 size = -1;   // in bytes, from the directory entry at the listing (as FileSize2)
    QString error;      // why the name cannot be used; empty when it can
};

// The plain files of the folder sPasta (ending with its separator) whose names, as text,
// match the wildcard Extensao without regard to case; folders and hidden files (names
// beginning with ".") left out. Sorted by name without regard to case, ties by exact name,
// then by the bytes on disk. A folder that does not exist gives an empty list. A name that
// is not valid UTF-8 is listed with its error (the text of FileNameError), never cut down to
// a shorter name that could be another file's.
std::vector<FolderEntry> listFolderEntries(const QString& sPasta, const QString& Extensao);

// The names of listFolderEntries. A name that is not valid UTF-8 raises FileNameError
// naming it: it could not be opened again by the name shown.
QStringList listarArquivosDaPasta(const QString& sPasta, const QString& Extensao);

// What the content tests look for in a file's raw bytes.
struct ContentMarks {
    bool manual = false;    // {"manual":"1"}
    bool pdfa = false;      // pdfa
    bool keywords = false;  // Keywords
};

// Opens the file for reading without sharing and searches its bytes (in blocks, never the
// whole file in memory). Raises the file-open error (FileError) when the file cannot be
// opened, or when another process holds it open for writing or locked.
ContentMarks readContentMarks(const QString& path);
// The same search over bytes already in memory.
ContentMarks contentMarks(const QByteArray& bytes);

// The name rules count characters (code points): a character beyond U+FFFF is one character,
// not the two UTF-16 units that hold it. A lone surrogate counts as one character.
qsizetype characterCount(QStringView text);
// `count` characters from character `from` (0-based); fewer at the end of the text.
QString characterSlice(QStringView text, qsizetype from, qsizetype count);
// The instrument key of a file name, sent as nm_chave: its first 23 characters.
QString instrumentKey(const QString& name);

// The six tests in their order: the Observação of the first that fails, or the empty text.
QString intakeObservation(const ContentMarks& marks, const QString& name, const QString& cd_ibge,
                          const QString& nr_cartorio);

// The grid's row of a listed file: its name and size, its key, and the tests' verdict on its
// content marks. A name that cannot be used is an "Erro" row saying why; a file that could
// not be read (no marks) keeps no status.
RowRecord intakeRow(const FolderEntry& entry, const ContentMarks* marks, const LoginContext& context);

// The intake of a whole folder into the grid's rows: every PDF of inputFolder (no trailing
// separator), listed and read off the calling thread a slice at a time (a few milliseconds of
// work each), so that the grid fills visibly. A file that cannot be opened ends the intake at
// its row, which keeps its name and size and no status; its error is given back. An error of
// the listing is raised.
std::exception_ptr intakeFolder(RowModel& rows, const QString& inputFolder, const LoginContext& context);

}  // namespace norvane

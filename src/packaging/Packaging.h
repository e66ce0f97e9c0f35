#pragma once
// What travels to and from the service: the Base64 text of a file, the ZIP archive of
// the batch upload, and a file written back from Base64 text.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <stdexcept>
#include "core/Error.h"

// A file that cannot be read or written.
class PackagingError : public norvane::Error {
public:
    explicit PackagingError(const std::string& message)
        : norvane::Error(norvane::ErrorKind::FileError, QString::fromStdString(message)) {}
};

// Base64 (RFC 4648 alphabet, "=" padding) of the whole file, with CR LF after every
// 76th character, also at the very end when the file's length is a multiple of 57.
// An empty file gives the empty text.
QByteArray EncodeFile(const QString& FileName);

// The same text form of bytes already in memory.
QByteArray EncodeBase64Lines(const QByteArray& data);

// Writes a ZIP archive (deflate) of the files of the list that exist, each named by the
// last component of its path; missing paths are skipped. An existing archive is replaced.
// Always true; failures raise, among them a path whose name cannot be represented
// (hasUnrepresentableName): the archive then holds the files before it.
bool Zipa(const QStringList& Files, const QString& ZipName);

// A file name's bytes as text. `exact` when the text names the same bytes again
// (QFile::encodeName gives them back): valid UTF-8, a leading U+FEFF kept as a character.
// Otherwise (bytes that are not UTF-8, an incomplete sequence at the end included) the text
// is for showing only, with U+FFFD in place of the bytes that could not be read.
struct DecodedFileName {
    QString text;
    bool exact = false;
};
DecodedFileName decodeFileName(const QByteArray& bytes);

// A path as a folder listing shows it for a file whose name is not valid UTF-8: the
// undecodable bytes became U+FFFD, so the path names no existing file. Such a file can
// be neither read nor archived under its own name.
bool hasUnrepresentableName(const QString& path);
// The entries of a folder whose names are not exact text (decodeFileName), as shown.
// Qt's folder listings leave such entries out altogether.
QStringList unrepresentableFileNames(const QString& folder);
// The error that names such a file.
QString unrepresentableNameError(const QString& path);

// Decodes Base64 text, skipping every character outside the alphabet, and writes the
// bytes to the file (replacing it).
void SaveBase64ToFile(const QByteArray& Base64, const QString& Path);

// The decoding alone.
QByteArray DecodeBase64Lenient(const QByteArray& text);

#pragma once
// Signing a file into its .p7s, the one way a file is signed: by the rows of both grids and
// by the platform's AssinarArquivo alike. Shows nothing; raises norvane::Error.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "core/Error.h"

namespace norvane::cms {

class Signer;

// The description every signature carries.
extern const QString kSignatureDescription;

// Where signing a file stopped.
enum class FileStep {
    Refused,  // the file is a signature (.p7s) itself: InvalidArgument
    Opening,  // the file cannot be opened, or is not a regular file: FileError
    Reading,  // reading it failed after it opened: nothing of it is signed
    Signer,   // getting the signer failed
    Signing,  // the signature, or writing the .p7s, failed
};

// A failure of signFile: the kind, message and causes of what failed, and the step it failed at.
class FileSigningError : public Error {
public:
    FileSigningError(FileStep step, const std::exception& failure);
    FileStep step() const { return step_; }

private:
    FileStep step_;
};

// What signing a file wrote.
struct SignedFile {
    QString signaturePath;       // the .p7s
    QString sizeText;            // the size of the bytes signed, in bytes, as text
    QByteArray contentSha256;    // of the bytes signed
    QByteArray signatureSha256;  // of the .p7s
};

// The .p7s of a file: the folder (a separator added when it does not end in one), the file's
// name and ".p7s".
QString signaturePath(const QString& folder, const QString& fileName);

// Writes the bytes to `path` whole or not at all: a temporary file beside it, renamed over it
// once every byte is on disk; a failed write leaves an earlier file of that name as it was.
// Raises FileError.
void saveWhole(const QString& path, const QByteArray& bytes);

// Gives the signer once the file was read, told the SHA-256 of the bytes read; none leaves the
// file unsigned. Called on the thread that called signFile.
using SignerForContent = std::function<std::shared_ptr<const Signer>(const QByteArray& contentSha256)>;
// The same, also shown the bytes read (the very bytes that are then signed), so that they can
// be judged before anything is signed.
using SignerForBytes =
    std::function<std::shared_ptr<const Signer>(const QByteArray& content, const QByteArray& contentSha256)>;

// Signs the file at `path` into signaturePath(saveFolder, its name): reads it once, off the GUI
// thread (stopping with norvane::Aborted when the application quits), then signs those bytes
// with the signer's key and the attributes signing time, document name (the file's name) and
// description, and saves the .p7s whole. A .p7s is not signed again and only regular files
// are read (a pipe would block the open). None when `signerFor` gave no signer: nothing was
// written. Raises FileSigningError.
std::optional<SignedFile> signFile(const SignerForContent& signerFor, const QString& path, const QString& saveFolder,
                                   const QDateTime& signingTime);
std::optional<SignedFile> signFile(const SignerForBytes& signerFor, const QString& path, const QString& saveFolder,
                                   const QDateTime& signingTime);

}  // namespace norvane::cms

#pragma once
// A file's signature with the certificate of the login, as the program tells it: the numbered
// boxes of each failure, ready to be shown by whoever signs (the platform's AssinarArquivo,
// or the rows of a grid about their row). Nothing is shown here.

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/Error.h"

namespace norvane {

namespace cms {
class Signer;
}

// What signing a file gave, with nothing shown yet: the error boxes the signature has to
// show, in order, and the kind of the failure that left it unsigned.
struct FileSignature {
    QString sizeText;             // not empty: the .p7s was written
    QString signaturePath;        // where the .p7s goes
    std::vector<QString> errors;  // "Erro 11: ...", in the order they happened
    std::optional<ErrorKind> failure;
    QByteArray contentSha256;    // of the bytes signed
    QByteArray signatureSha256;  // of the .p7s written

    bool signedFile() const { return !sizeText.isEmpty(); }
    // The PIN was cancelled, refused or is locked.
    bool pinProblem() const { return failure && isPinProblem(*failure); }
    // The private key cannot be reached (the token was pulled out, the certificate is gone).
    bool keyUnreachable() const { return failure == ErrorKind::KeyUnreachable; }
};

// The certificates of the login's tokens, looked up by thumbprint for a signature or an upload.
class SigningKeys {
public:
    virtual ~SigningKeys() = default;
    // The signer of the certificate of that thumbprint; none when the certificate is not among
    // the valid ones, with the text of its box in `failure` ("Erro 03: ...").
    virtual std::shared_ptr<const cms::Signer> signerFor(const QString& thumbprint, QString* failure) = 0;
    // Raises when nothing can be signed yet (InvalidArgument: no certificate was picked).
    virtual void requireReady() const = 0;
    // The certificate of that thumbprint in Base64, lines of 64 characters each ended by CR LF
    // (as the uploads carry it); none as for signerFor, with its box in `failure`.
    virtual std::optional<QString> certificateBase64(const QString& thumbprint, QString* failure) = 0;
};

// Told the file's bytes and their SHA-256 once they are read (the bytes then signed), before
// the signer is looked up; false leaves the file unsigned, and the result then holds neither
// a box nor a failure.
using BeforeSigning = std::function<bool(const QByteArray& content, const QByteArray& contentSha256)>;

// Signs the file into signaturePath(saveFolder, its name) with the key of `thumbprint`, at
// this instant (see cms::signFile), showing nothing: its boxes come back in the result. A
// file that cannot be opened, or is not a regular file, raises; so does `beforeSigning`.
FileSignature signFileWith(SigningKeys& keys, const QString& thumbprint, const QString& path, const QString& saveFolder,
                           const BeforeSigning& beforeSigning = nullptr);

// The text of a signature's box: "Erro <code>: " and the error's message, or the key text when
// the private key could not be reached.
QString signingErrorText(const char* code, const std::exception& error);
// The key text: the private key could not be reached.
QString keyUnreachableText();

}  // namespace norvane

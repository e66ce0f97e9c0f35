#pragma once
// The one error type of the core. Every failure carries a kind, which callers decide on,
// a message for the user (UTF-8, Portuguese), and the chain of what caused it. Nothing
// decides on a message's text.

#include <QByteArray>
#include <QString>
#include <exception>
#include <memory>
#include <vector>

namespace norvane {

enum class ErrorKind {
    Failure,          // anything not told apart below
    InvalidArgument,  // a caller passed something the call cannot take
    NotFound,         // no such certificate, or none to pick
    PinCancelled,     // the PIN prompt was cancelled
    PinRefused,       // the token refused the PIN
    PinLocked,        // the token's PIN is locked
    KeyUnreachable,   // the private key cannot be reached (token pulled out, no key object)
    TokenError,       // the token or its driver failed
    ChainNotTrusted,  // the certificate chains to no trust anchor
    CryptoError,      // the cryptographic library failed
    ServiceError,     // the service answered with an error, or could not be reached
    FileError,        // a file could not be read or written
    PackageRefused,   // a downloaded package is not ours of the version named
    IdentityUnreadable,  // a certificate's identity values cannot be read with certainty
    FileNameUnusable,    // a name read from a folder is not text (not UTF-8): nothing may open it by it
    ProgramMissing,      // a program we hand work to (dpkg-deb, the desktop's opener) is missing or would not start
};

class Error : public std::exception {
public:
    Error(ErrorKind kind, const QString& message);
    // The same, caused by `cause` (kept whole, with its own causes).
    Error(ErrorKind kind, const QString& message, const std::exception& cause);

    // The message, UTF-8.
    const char* what() const noexcept override { return what_.constData(); }
    ErrorKind kind() const { return kind_; }
    QString message() const { return QString::fromUtf8(what()); }
    // A library's own error code behind this link of the chain (OpenSSL's packed codes), or 0.
    unsigned long libraryCode() const { return libraryCode_; }
    Error& withLibraryCode(unsigned long code) {
        libraryCode_ = code;
        return *this;
    }

    // What caused this error, nearest first (empty when nothing did).
    std::vector<std::shared_ptr<const Error>> causes() const;
    // This error and its causes, nearest first.
    std::vector<const Error*> chain() const;

private:
    QByteArray what_;  // shared on copy: copying an error never throws
    ErrorKind kind_;
    unsigned long libraryCode_ = 0;
    std::shared_ptr<const Error> cause_;
};

// The kind of any error: that of an Error, Failure for everything else.
ErrorKind kindOf(const std::exception& error);

// The PIN was cancelled, refused or is locked: a run over several files ends there.
bool isPinProblem(ErrorKind kind);

// The errors OpenSSL queued (oldest first), as causes: each with its packed code and text.
// Empties the queue. Null when nothing was queued.
std::shared_ptr<const Error> takeOpenSslErrors();

// Raises an error of that kind whose causes are what OpenSSL queued; the message says
// `what`, followed by OpenSSL's own texts.
[[noreturn]] void throwWithOpenSslErrors(ErrorKind kind, const QString& what);

}  // namespace norvane

#include "core/Error.h"

#include <openssl/err.h>

namespace norvane {

namespace {

// Wraps whatever was thrown as an Error, keeping its kind and causes when it is one.
std::shared_ptr<const Error> asError(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Error*>(&error)) return std::make_shared<Error>(*own);
    return std::make_shared<Error>(ErrorKind::Failure, QString::fromUtf8(error.what()));
}

}  // namespace

Error::Error(ErrorKind kind, const QString& message) : what_(message.toUtf8()), kind_(kind) {}

Error::Error(ErrorKind kind, const QString& message, const std::exception& cause) : Error(kind, message) {
    cause_ = asError(cause);
}

std::vector<std::shared_ptr<const Error>> Error::causes() const {
    std::vector<std::shared_ptr<const Error>> out;
    for (auto next = cause_; next; next = next->cause_) out.push_back(next);
    return out;
}

std::vector<const Error*> Error::chain() const {
    std::vector<const Error*> out{this};
    for (const Error* next = cause_.get(); next; next = next->cause_.get()) out.push_back(next);
    return out;
}

ErrorKind kindOf(const std::exception& error) {
    const auto* own = dynamic_cast<const Error*>(&error);
    return own ? own->kind() : ErrorKind::Failure;
}

bool isPinProblem(ErrorKind kind) {
    return kind == ErrorKind::PinCancelled || kind == ErrorKind::PinRefused || kind == ErrorKind::PinLocked;
}

std::shared_ptr<const Error> takeOpenSslErrors() {
    std::vector<unsigned long> codes;
    while (const unsigned long code = ERR_get_error()) codes.push_back(code);
    // The oldest error is the deepest cause: the chain is built from it up.
    std::shared_ptr<const Error> chain;
    for (const unsigned long code : codes) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        Error link = chain ? Error(ErrorKind::CryptoError, QString::fromUtf8(buffer), *chain)
                           : Error(ErrorKind::CryptoError, QString::fromUtf8(buffer));
        link.withLibraryCode(code);
        chain = std::make_shared<const Error>(std::move(link));
    }
    return chain;
}

void throwWithOpenSslErrors(ErrorKind kind, const QString& what) {
    const std::shared_ptr<const Error> queued = takeOpenSslErrors();
    if (!queued) throw Error(kind, what);
    // The message reads as before: what failed, then OpenSSL's texts, oldest first.
    QString message = what;
    const std::vector<const Error*> links = queued->chain();
    for (auto it = links.rbegin(); it != links.rend(); ++it)
        message += (it == links.rbegin() ? QStringLiteral(": ") : QStringLiteral("; ")) + (*it)->message();
    throw Error(kind, message, *queued);
}

}  // namespace norvane

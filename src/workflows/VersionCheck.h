#pragma once
// The version check of the login, without its window: the service's assinadorVersao
// answer compared with the running version.

#include <QString>
#include <optional>

namespace norvane {

class HttpClient;

// Asks the service (assinadorVersao) for the current version and gives back the first
// version of its answer that differs from `running` (exact text comparison: an older one
// differs too). Nothing when every version equals it, or when the answer is not a JSON
// object. Errors of the call and of a malformed answer are raised.
std::optional<QString> otherServiceVersion(HttpClient& client, const QString& ambiente, const QString& baseUrl,
                                           const QString& running);

}  // namespace norvane

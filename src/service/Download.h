#pragma once
// Download of a file over http or https (the installer of a new version), with progress.

#include <QString>
#include <functional>
#include <stdexcept>

#include "core/Error.h"

namespace norvane {

// A failed download: no connection, an HTTP error status, a broken transfer, a file
// that cannot be written (Failed); a file larger than the bound (TooLarge); a redirect
// from https to an address that is not https (InsecureRedirect); nothing at the address
// (NotFound, HTTP 404: not published yet); the proxy refused or asked for a password
// (ProxyRefused).
class DownloadError : public Error {
public:
    enum class Kind { Failed, TooLarge, InsecureRedirect, NotFound, ProxyRefused };
    DownloadError(const std::string& message, const QString& reason, Kind kind = Kind::Failed)
        : Error(ErrorKind::ServiceError, QString::fromStdString(message)), reason_(reason), kind_(kind) {}
    // What failed, in Portuguese, for a closer look (the message of a Failed download
    // names only the URL).
    QString reason() const { return reason_; }
    Kind kind() const { return kind_; }

private:
    QString reason_;
    Kind kind_;
};

// The most a download may bring: 200 MiB.
inline constexpr quint64 kDownloadSizeLimit = quint64(200) << 20;

// Bytes received so far and bytes expected (0 while unknown).
using DownloadProgressHandler = std::function<void(quint64 received, quint64 total)>;

// Downloads the URL into the file at `target`. Blocks; call it off the GUI thread
// (runInBackground). The bytes go into a temporary file in the target's folder that
// replaces `target` only once the whole answer arrived, so a failed download leaves no
// file behind and an existing `target` unchanged. https servers are verified against the
// system's trust store; redirects are followed, but a download that starts on https stays
// on https; no cache; the proxy of http_proxy, https_proxy and no_proxy (proxyFor). More than `maxBytes` ends the transfer. `progress` is
// called on the calling thread as data arrives, in order. Raises DownloadError with
// "Error downloading URL: <url>" (and, for a bound passed or a redirect refused, a second
// line that says so), or Aborted when the application quits meanwhile.
void downloadFile(const QString& url, const QString& target, const DownloadProgressHandler& progress,
                  quint64 maxBytes = kDownloadSizeLimit);

// The limits of one download: its size and the whole transfer's time (0: none beyond the
// connection's). Every download goes through the office's proxy when one is set.
struct DownloadLimits {
    quint64 maxBytes = kDownloadSizeLimit;
    long timeoutMs = 0;
};
void downloadFile(const QString& url, const QString& target, const DownloadProgressHandler& progress,
                  const DownloadLimits& limits);

// Tests: trust only the certificates of this PEM file; empty restores the system store.
void setDownloadTrustFile(const QString& pemFile);

}  // namespace norvane

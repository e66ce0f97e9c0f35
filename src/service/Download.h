#pragma once
// Download of a file over http or https (the installer of a new version), with progress.

#include <QString>
#include <functional>
#include <stdexcept>

namespace norvane {

// A failed download: no connection, an HTTP error status, a broken transfer, a file
// that cannot be written.
class DownloadError : public std::runtime_error {
public:
    DownloadError(const std::string& message, const QString& reason) : std::runtime_error(message), reason_(reason) {}
    // What failed, for a closer look (the message names only the URL).
    QString reason() const { return reason_; }

private:
    QString reason_;
};

// Bytes received so far and bytes expected (0 while unknown).
using DownloadProgressHandler = std::function<void(quint64 received, quint64 total)>;

// Downloads the URL into the file at `target`. Blocks; call it off the GUI thread
// (runInBackground). The bytes go into a temporary file in the target's folder that
// replaces `target` only once the whole answer arrived, so a failed download leaves no
// file behind and an existing `target` unchanged. https servers are verified against the
// system's trust store; redirects are followed; no cache and no proxy. `progress` is
// called on the calling thread as data arrives, in order. Raises DownloadError with
// "Error downloading URL: <url>", or Aborted when the application quits meanwhile.
void downloadFile(const QString& url, const QString& target, const DownloadProgressHandler& progress);

// Tests: trust only the certificates of this PEM file; empty restores the system store.
void setDownloadTrustFile(const QString& pemFile);

}  // namespace norvane

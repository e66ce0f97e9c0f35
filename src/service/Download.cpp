#include "service/Download.h"

#include "core/SystemErrors.h"

#include <cerrno>

#include <curl/curl.h>

#include <QDir>
#include <cerrno>
#include <QFileInfo>
#include <QSaveFile>
#include <limits>
#include <mutex>

#include "core/Background.h"
#include "service/Proxy.h"

namespace norvane {

namespace {

std::mutex trustMutex;
QByteArray trustFile;  // empty: the system store

constexpr long kConnectTimeoutMs = 10000;

struct Transfer {
    QSaveFile* file = nullptr;
    const DownloadProgressHandler* progress = nullptr;
    quint64 maxBytes = 0;
    long timeoutMs = 0;
    quint64 written = 0;
    curl_off_t reportedNow = -1;
    curl_off_t reportedTotal = -1;
    bool writeFailed = false;
    bool tooLarge = false;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const qint64 length = qint64(size * count);
    // An answer without a length (or with a false one) is bounded here.
    if (transfer->written + quint64(length) > transfer->maxBytes) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->written += quint64(length);
    if (transfer->file->write(data, length) != length) {
        transfer->writeFailed = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    return size * count;
}

int onProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    if (abortRequested()) return 1;
    auto* transfer = static_cast<Transfer*>(user);
    if (*transfer->progress && (now != transfer->reportedNow || total != transfer->reportedTotal)) {
        transfer->reportedNow = now;
        transfer->reportedTotal = total;
        (*transfer->progress)(quint64(now), quint64(total));
    }
    return 0;
}

}  // namespace

void setDownloadTrustFile(const QString& pemFile) {
    std::lock_guard lock(trustMutex);
    trustFile = QFile::encodeName(pemFile);
}

// Why a transfer failed, in Portuguese (a sentence); curl's own text only where none of ours fits.
static QString downloadFailureText(CURLcode result, long status, const QString& host, const QString& curlText) {
    if (status >= 400) return QStringLiteral("O servidor %1 respondeu com o código HTTP %2.").arg(host).arg(status);
    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return QStringLiteral("O servidor %1 não foi encontrado; verifique a conexão com a internet.").arg(host);
        case CURLE_COULDNT_CONNECT:
            return QStringLiteral("Não foi possível conectar ao servidor %1.").arg(host);
        case CURLE_OPERATION_TIMEDOUT:
            return QStringLiteral("O servidor %1 não respondeu a tempo.").arg(host);
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
            return QStringLiteral("O certificado do servidor %1 não é confiável.").arg(host);
        case CURLE_SSL_CONNECT_ERROR:
            return QStringLiteral("A conexão segura com o servidor %1 falhou.").arg(host);
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_GOT_NOTHING:
            return QStringLiteral("A transferência foi interrompida antes do fim.");
        case CURLE_TOO_MANY_REDIRECTS:
            return QStringLiteral("O servidor redirecionou o download vezes demais.");
        default:
            return QStringLiteral("Erro na transferência (%1).").arg(curlText);
    }
}

static QString sizeText(quint64 bytes) {
    if (bytes % (quint64(1) << 20) == 0) return QStringLiteral("%1 MiB").arg(bytes >> 20);
    return QStringLiteral("%1 bytes").arg(bytes);
}

// The transfer's options: the URL, no cache on the way, redirects that never leave https,
// the size bound, the peer checked, the connection's time limit, and our callbacks. The
// header list, which the transfer uses until it ends.
static curl_slist* configureTransfer(CURL* curl, const QByteArray& encodedUrl, bool secure, Transfer& transfer,
                                     char* errorBuffer, const QByteArray& proxy) {
    curl_slist* headers = nullptr;
    // Fetched from the server, never from a cache on the way.
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");
    curl_easy_setopt(curl, CURLOPT_URL, encodedUrl.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Started on https, a redirect may not lead the download off it.
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(transfer.maxBytes));
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, transfer.timeoutMs);
    // Chosen by proxyFor (upper-case names too), never by curl's own reading of the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, proxy.constData());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
    QByteArray caFile;
    {
        std::lock_guard lock(trustMutex);
        caFile = trustFile;
    }
    if (!caFile.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.constData());
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }
    return headers;
}

// A server may close its TLS connection without the closing handshake once the whole
// body went out (newer curl calls that an error: "unexpected eof while reading"). A body
// that arrived whole, as long as its Content-Length said, is complete all the same; a cut
// one, or one without a length, is not.
static bool completeByItsLength(CURL* curl, CURLcode result, const Transfer& transfer) {
    if (result != CURLE_RECV_ERROR || transfer.tooLarge || transfer.writeFailed) return false;
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    return status >= 200 && status < 300 && length >= 0 && curl_off_t(transfer.written) == length;
}

// Raises the DownloadError that tells why the transfer ended without the whole file.
[[noreturn]] static void raiseFailure(CURL* curl, CURLcode result, const Transfer& transfer, const QSaveFile& file,
                                      const ProxyChoice& proxy, const QString& url) {
    const QString failure = QStringLiteral("Error downloading URL: %1").arg(url);
    auto fail = [&](const QString& reason) { throw DownloadError(failure.toStdString(), reason); };
    const bool secure = url.startsWith(QStringLiteral("https:"), Qt::CaseInsensitive);
    if (result == CURLE_FILESIZE_EXCEEDED || transfer.tooLarge) {
        const QString reason =
            QStringLiteral("O arquivo passa de %1, o limite de um download; o download foi interrompido.")
                .arg(sizeText(transfer.maxBytes));
        throw DownloadError((failure + QLatin1Char('\n') + reason).toStdString(), reason,
                            DownloadError::Kind::TooLarge);
    }
    // The first address is https, which is allowed: only a redirect can lead to a protocol
    // that is not.
    if (result == CURLE_UNSUPPORTED_PROTOCOL && secure) {
        const QString reason =
            QStringLiteral("O servidor redirecionou o download para um endereço sem https; o download foi recusado.");
        throw DownloadError((failure + QLatin1Char('\n') + reason).toStdString(), reason,
                            DownloadError::Kind::InsecureRedirect);
    }
    if (transfer.writeFailed) fail(fileErrorText(file, errno));
    long status = 0, connectStatus = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    // libcurl's own texts are English: its code in our words.
    const QString curlText = curlErrorText(result);
    // The proxy refused (its answer to CONNECT, or its own 407 to a plain request) or could not be reached.
    const bool byProxy = proxy.used() && (connectStatus >= 300 || (status == 407 && !secure) ||
                                          result == CURLE_COULDNT_RESOLVE_PROXY ||
                                          (result == CURLE_COULDNT_CONNECT && connectStatus == 0 && status == 0));
    if (byProxy) {
        long osErrno = 0;
        curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
        const QString reason =
            proxyFailureText(proxy, connectStatus >= 300 ? connectStatus : status, QStringLiteral("o servidor do download"),
                             osErrno != 0 ? systemErrorText(int(osErrno)) : curlText);
        throw DownloadError((failure + QLatin1Char('\n') + reason).toStdString(), reason,
                            DownloadError::Kind::ProxyRefused);
    }
    const QString reason = downloadFailureText(result, status, QUrl(url).host(), curlText);
    throw DownloadError(failure.toStdString(), reason,
                        status == 404 ? DownloadError::Kind::NotFound : DownloadError::Kind::Failed);
}

void downloadFile(const QString& url, const QString& target, const DownloadProgressHandler& progress,
                  quint64 maxBytes) {
    downloadFile(url, target, progress, DownloadLimits{maxBytes, 0});
}

void downloadFile(const QString& url, const QString& target, const DownloadProgressHandler& progress,
                  const DownloadLimits& limits) {
    const quint64 maxBytes = limits.maxBytes;
    const QString failure = QStringLiteral("Error downloading URL: %1").arg(url);
    auto fail = [&](const QString& reason) { throw DownloadError(failure.toStdString(), reason); };
    const bool secure = url.startsWith(QStringLiteral("https:"), Qt::CaseInsensitive);

    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    QDir().mkpath(QFileInfo(target).absolutePath());
    QSaveFile file(target);
    // The folder may not allow a temporary file beside the target: then no download at all.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) fail(fileErrorText(file, errno));

    CURL* curl = curl_easy_init();
    if (!curl) fail(QStringLiteral("curl_easy_init"));
    struct Cleanup {
        CURL* curl;
        curl_slist* headers = nullptr;
        ~Cleanup() {
            curl_slist_free_all(headers);
            curl_easy_cleanup(curl);
        }
    } cleanup{curl};

    Transfer transfer{&file, &progress, maxBytes, limits.timeoutMs};
    char errorBuffer[CURL_ERROR_SIZE] = {};
    const QByteArray encodedUrl = url.toUtf8();
    const ProxyChoice proxy = proxyFor(QUrl(url));
    const QByteArray proxyUrl = proxy.used() ? proxy.proxy.toEncoded() : QByteArray();
    cleanup.headers = configureTransfer(curl, encodedUrl, secure, transfer, errorBuffer, proxyUrl);

    CURLcode result = curl_easy_perform(curl);
    if (result == CURLE_ABORTED_BY_CALLBACK) throw Aborted();  // the unfinished file goes with `file`
    if (completeByItsLength(curl, result, transfer)) result = CURLE_OK;
    if (result != CURLE_OK || transfer.tooLarge) raiseFailure(curl, result, transfer, file, proxy, url);
    if (!file.commit()) fail(fileErrorText(file, errno));
}

}  // namespace norvane

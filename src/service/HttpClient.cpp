#include "service/HttpClient.h"

#include <curl/curl.h>
#include <poll.h>

#include <QElapsedTimer>
#include <QLocale>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "core/Background.h"
#include "core/Environment.h"
#include "core/SystemErrors.h"
#include "service/HttpCookies.h"
#include "service/Proxy.h"

namespace norvane {

namespace {

constexpr long kConnectTimeoutMs = 10000;
const QByteArray kCredentials = QByteArrayLiteral("admin:Zq8mW3x#%");

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

int defaultPort(const QString& scheme) { return scheme == QLatin1String("https") ? 443 : 80; }

QByteArray hostHeaderValue(const QUrl& url) {
    QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    if (host.contains(':')) host = '[' + host + ']';
    const int port = url.port(-1);
    if (port != -1 && port != defaultPort(url.scheme())) host += ':' + QByteArray::number(port);
    return host;
}

// The path (and query) exactly as in the URL; through a proxy (http only: https goes
// through a tunnel) the whole address, as a proxy takes it.
QByteArray requestTarget(const QUrl& url, bool throughProxy) {
    if (throughProxy) {
        QByteArray target = url.toEncoded(QUrl::RemoveUserInfo | QUrl::RemoveFragment);
        return url.path().isEmpty() ? target + '/' : target;
    }
    QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    return target.isEmpty() ? QByteArrayLiteral("/") : target;
}

// The operating system's reason for a failed connection, in Portuguese; none when unknown.
QString connectReason(long osErrno) { return osErrno == 0 ? QString() : systemErrorText(static_cast<int>(osErrno)); }

}  // namespace

struct HttpClient::Impl {
    CURL* curl = nullptr;
    bool keptAlive = false;  // the previous answer allowed keep-alive and was read whole
    int readTimeoutMs = HttpClient::kDefaultReadTimeoutMs;
    qint64 deadlineMs = 0;      // of the call being made
    QElapsedTimer callTimer;    // since the call began
    qint64 answerLimit = HttpClient::kAnswerLimit;
    qint64 received = 0;  // bytes of the answer being read

    CookieJar cookies;
    QList<QByteArray> setCookies;  // Set-Cookie values of the answer being read

    ~Impl() { close(); }

    void close() {
        if (curl) curl_easy_cleanup(curl);
        curl = nullptr;
        keptAlive = false;
    }

    static int onProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return abortRequested() ? 1 : 0; }

    curl_socket_t socket() const {
        curl_socket_t fd = CURL_SOCKET_BAD;
        if (curl) curl_easy_getinfo(curl, CURLINFO_ACTIVESOCKET, &fd);
        return fd;
    }

    // A kept connection is up when the server has neither closed it nor sent anything.
    bool connectionUp() const {
        const curl_socket_t fd = socket();
        if (fd == CURL_SOCKET_BAD) return false;
        pollfd probe{fd, POLLIN, 0};
        return ::poll(&probe, 1, 0) == 0;
    }

    // The proxy's refusal or failure, in words that say it was the proxy.
    [[noreturn]] void proxyFailed(const ProxyChoice& proxy, CURLcode result, const QString& endpoint) {
        long code = 0, osErrno = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &code);
        curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
        QString reason = connectReason(osErrno);
        if (reason.isEmpty()) reason = curlErrorText(result);
        close();
        throw ServiceError(proxyFailureText(proxy, code, QStringLiteral("o serviço (%1)").arg(endpoint), reason).toStdString());
    }

    // Connects to the URL's host and port, or to the proxy: a tunnel (CONNECT) for https,
    // the proxy itself for http. The request and the answer go through
    // curl_easy_send/curl_easy_recv, so that the request is exactly what we write.
    void connect(const QUrl& url, const QString& endpoint, const ProxyChoice& proxy) {
        close();
        curl = curl_easy_init();
        if (!curl) throw ServiceError("Não foi possível preparar a conexão com o serviço.");
        const QByteArray target =
            url.toEncoded(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo);
        curl_easy_setopt(curl, CURLOPT_URL, target.constData());
        curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 0L);
        // Chosen here (proxyFor), never by curl's own reading of the environment.
        const QByteArray proxyUrl = proxy.used() ? proxy.proxy.toEncoded() : QByteArray();
        curl_easy_setopt(curl, CURLOPT_PROXY, proxyUrl.constData());
        if (proxy.used() && url.scheme() == QLatin1String("https")) curl_easy_setopt(curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);

        const CURLcode result = curl_easy_perform(curl);
        if (proxy.used() && (result == CURLE_COULDNT_RESOLVE_PROXY || result == CURLE_COULDNT_CONNECT ||
                             result == CURLE_PROXY || result == CURLE_RECV_ERROR || result == CURLE_SEND_ERROR))
            proxyFailed(proxy, result, endpoint);
        switch (result) {
            case CURLE_OK:
                return;
            case CURLE_ABORTED_BY_CALLBACK:
                close();
                throw Aborted();
            case CURLE_OPERATION_TIMEDOUT:
                close();
                throw ServiceError("Connect timed out.");
            case CURLE_COULDNT_RESOLVE_HOST:
                close();
                throw ServiceError(
                    QStringLiteral("Servidor do serviço não encontrado: %1").arg(url.host()).toStdString());
            default: {
                long osErrno = 0;
                curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osErrno);
                QString reason = connectReason(osErrno);
                if (reason.isEmpty()) reason = curlErrorText(result);
                close();
                throw ServiceError(QStringLiteral("Não foi possível conectar ao serviço (%1): %2.")
                                       .arg(endpoint, reason)
                                       .toStdString());
            }
        }
    }

    // Waits until the socket is ready, a few times a second looking whether the
    // application is quitting. A server that takes or sends nothing for the read
    // time-out ends the call.
    void waitFor(short events, const QString& endpoint) {
        QElapsedTimer idle;
        idle.start();
        while (true) {
            if (abortRequested()) {
                close();
                throw Aborted();
            }
            checkDeadline(endpoint);
            const qint64 left = std::min(readTimeoutMs - idle.elapsed(), deadlineMs - callTimer.elapsed());
            if (readTimeoutMs - idle.elapsed() <= 0) {
                close();
                throw ServiceError(QStringLiteral("O serviço (%1) não respondeu em %2 segundos; a chamada foi interrompida.")
                                       .arg(endpoint)
                                       .arg(QLocale().toString(readTimeoutMs / 1000.0, 'g', 3))
                                       .toStdString());
            }
            pollfd wait{socket(), events, 0};
            const int ready = ::poll(&wait, 1, int(std::clamp<qint64>(left, 0, 200)));
            if (ready != 0) return;  // ready, or an error that the next send/recv reports
        }
    }

    [[noreturn]] void tooLarge(const QString& endpoint) {
        close();
        throw ServiceError(QStringLiteral("A resposta do serviço (%1) passa de %2 e foi recusada; a chamada foi "
                                          "interrompida.")
                               .arg(endpoint,
                                    answerLimit >= (qint64(1) << 30)
                                        ? QStringLiteral("%1 GiB").arg(answerLimit >> 30)
                                        : QStringLiteral("%1 MiB").arg(answerLimit >> 20))
                               .toStdString());
    }

    // A call past its deadline ends, however the server keeps it alive.
    void checkDeadline(const QString& endpoint) {
        if (callTimer.elapsed() < deadlineMs) return;
        close();
        const QString time = deadlineMs >= 120000 && deadlineMs % 60000 == 0
                                 ? QStringLiteral("%1 minutos").arg(deadlineMs / 60000)
                                 : QStringLiteral("%1 segundos").arg(QLocale().toString(deadlineMs / 1000.0, 'g', 3));
        throw ServiceError(QStringLiteral("O serviço (%1) não concluiu a resposta em %2; a chamada foi interrompida.")
                               .arg(endpoint, time)
                               .toStdString());
    }

    [[noreturn]] void broken(const QString& endpoint, const QString& reason) {
        close();
        throw ServiceError(
            QStringLiteral("A conexão com o serviço (%1) foi interrompida: %2").arg(endpoint, reason).toStdString());
    }

    void sendAll(const QByteArray& data, const QString& endpoint) {
        qsizetype sent = 0;
        while (sent < data.size()) {
            size_t n = 0;
            const CURLcode result = curl_easy_send(curl, data.constData() + sent, size_t(data.size() - sent), &n);
            if (result == CURLE_AGAIN) {
                waitFor(POLLOUT, endpoint);
                continue;
            }
            if (result != CURLE_OK) broken(endpoint, curlErrorText(result));
            sent += qsizetype(n);
        }
    }

    // Appends what arrives to the buffer; false at the end of the stream.
    bool receive(QByteArray& buffer, const QString& endpoint) {
        char chunk[65536];
        while (true) {
            size_t n = 0;
            const CURLcode result = curl_easy_recv(curl, chunk, sizeof chunk, &n);
            if (result == CURLE_AGAIN) {
                waitFor(POLLIN, endpoint);
                continue;
            }
            if (result != CURLE_OK) broken(endpoint, curlErrorText(result));
            if (n == 0) return false;
            received += qint64(n);
            if (received > answerLimit) tooLarge(endpoint);
            buffer.append(chunk, qsizetype(n));
            checkDeadline(endpoint);
            return true;
        }
    }

    HttpAnswer exchange(const QByteArray& request, const QString& endpoint) {
        received = 0;
        sendAll(request, endpoint);
        QByteArray buffer;
        HttpAnswer answer;
        qint64 contentLength = -1;
        bool keepAlive = false;
        bool chunked = false;
        setCookies.clear();
        // The head; interim 1xx answers are skipped.
        while (true) {
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0) {
                if (!receive(buffer, endpoint))
                    broken(endpoint, buffer.isEmpty() ? QStringLiteral("o servidor fechou a conexão sem responder")
                                                      : QStringLiteral("resposta incompleta"));
                continue;
            }
            const QList<QByteArray> lines = buffer.left(end).split('\n');
            buffer.remove(0, end + 4);
            answer.statusLine = lines.value(0).trimmed();
            const QList<QByteArray> status = answer.statusLine.split(' ');
            bool ok = false;
            answer.status = status.value(1).toLong(&ok);
            if (!answer.statusLine.startsWith("HTTP/") || !ok) broken(endpoint, QStringLiteral("resposta inválida"));
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon <= 0) continue;
                const QByteArray name = lines[i].left(colon).trimmed().toLower();
                const QByteArray value = lines[i].mid(colon + 1).trimmed();
                if (name == "content-type")
                    answer.contentType = value;
                else if (name == "content-length") {
                    const qint64 length = value.toLongLong(&ok);
                    contentLength = ok && length >= 0 ? length : -1;
                    if (contentLength > answerLimit) tooLarge(endpoint);
                } else if (name == "connection")
                    keepAlive = value.toLower().contains("keep-alive");
                else if (name == "location")
                    answer.location = value;
                else if (name == "set-cookie")
                    setCookies.append(value);
                else if (name == "transfer-encoding")
                    chunked = value.toLower().trimmed().endsWith("chunked");
            }
            if (answer.status >= 200) break;
            contentLength = -1;
            keepAlive = false;
            chunked = false;
        }
        // A chunked answer (a proxy may send one even to HTTP/1.0) ends with its last chunk;
        // its framing, not a Content-Length, tells where the body ends.
        if (chunked) {
            answer.body = readChunked(buffer, endpoint);
            keptAlive = keepAlive;
            return answer;
        }
        // The body: as long as announced, or up to the end of the stream.
        if (contentLength >= 0) {
            buffer.reserve(qsizetype(contentLength));  // one block, not a doubling series of copies
            while (buffer.size() < contentLength)
                if (!receive(buffer, endpoint))
                    broken(endpoint,
                           QStringLiteral("faltaram %1 bytes da resposta").arg(contentLength - buffer.size()));
            buffer.truncate(contentLength);
        } else {
            while (receive(buffer, endpoint)) {
            }
        }
        answer.body = std::move(buffer);
        keptAlive = keepAlive && contentLength >= 0;
        return answer;
    }

    // Reads a whole line (up to CR LF, or a bare LF) from the buffer, receiving as needed.
    QByteArray readLine(QByteArray& buffer, qsizetype& at, const QString& endpoint) {
        while (true) {
            const qsizetype end = buffer.indexOf('\n', at);
            if (end >= 0) {
                QByteArray line = buffer.mid(at, end - at);
                if (line.endsWith('\r')) line.chop(1);
                at = end + 1;
                return line;
            }
            if (!receive(buffer, endpoint)) broken(endpoint, QStringLiteral("resposta incompleta"));
        }
    }

    // The body of a chunked answer: each chunk is its size in hexadecimal (extensions
    // after ";" ignored), CR LF, the data, CR LF; a chunk of size 0 ends it, followed
    // by trailer lines up to an empty one.
    QByteArray readChunked(QByteArray& buffer, const QString& endpoint) {
        QByteArray body;
        qsizetype at = 0;
        while (true) {
            QByteArray sizeText = readLine(buffer, at, endpoint);
            const qsizetype semicolon = sizeText.indexOf(';');
            if (semicolon >= 0) sizeText.truncate(semicolon);
            sizeText = sizeText.trimmed();
            const bool hex = !sizeText.isEmpty() && sizeText.size() <= 15 &&
                             std::all_of(sizeText.begin(), sizeText.end(), [](char c) { return std::isxdigit(uchar(c)); });
            if (!hex) broken(endpoint, QStringLiteral("resposta inválida"));
            const qulonglong size = sizeText.toULongLong(nullptr, 16);
            if (size == 0) break;
            while (buffer.size() - at < qsizetype(size) + 2)
                if (!receive(buffer, endpoint)) broken(endpoint, QStringLiteral("resposta incompleta"));
            body.append(buffer.constData() + at, qsizetype(size));
            at += qsizetype(size);
            if (buffer.at(at) == '\r') ++at;
            if (buffer.at(at) != '\n') broken(endpoint, QStringLiteral("resposta inválida"));
            ++at;
            // What was read is dropped, so a long answer does not keep two copies.
            buffer.remove(0, at);
            at = 0;
        }
        while (!readLine(buffer, at, endpoint).isEmpty()) {
        }
        return body;
    }
};

QList<QByteArray> requestHeaders(const QString& url, qsizetype bodyLength, const QByteArray& cookies) {
    const QUrl parsed(url);
    QList<QByteArray> headers{
        QByteArrayLiteral("Connection: keep-alive"),
        QByteArrayLiteral("Content-Type: application/x-www-form-urlencoded"),
        "Content-Length: " + QByteArray::number(bodyLength),
        "Host: " + hostHeaderValue(parsed),
        QByteArrayLiteral("Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
        QByteArrayLiteral("Accept-Encoding: identity"),
        QByteArrayLiteral("User-Agent: Mozilla/3.0 (compatible; Indy Library)"),
        "Authorization: Basic " + kCredentials.toBase64(),
    };
    if (!cookies.isEmpty()) headers.append("Cookie: " + cookies);
    return headers;
}

HttpClient::HttpClient() : d(std::make_unique<Impl>()), deadlineMs_(serviceCallDeadlineMs()) { initCurlOnce(); }

HttpClient::~HttpClient() = default;

void HttpClient::closeConnection() { d->close(); }

QByteArray HttpClient::cookieHeader(const QString& url) const { return d->cookies.header(QUrl(url)); }

HttpAnswer HttpClient::post(const QString& url, const QByteArray& body, AnswerSize size) {
    bool idle = false;
    // Every action control is disabled while a call runs: a second call on one client is a fault of ours.
    if (!busy_.compare_exchange_strong(idle, true)) throw std::logic_error("HttpClient::post called while a call runs");
    struct Release {
        std::atomic<bool>& flag;
        ~Release() { flag = false; }
    } release{busy_};

    const QUrl parsed(url);
    if (!parsed.isValid() || parsed.host().isEmpty() ||
        (parsed.scheme() != QLatin1String("http") && parsed.scheme() != QLatin1String("https")))
        throw ServiceError(QStringLiteral("Endereço do serviço inválido: %1").arg(url).toStdString());
    const QString endpoint = QStringLiteral("%1:%2").arg(parsed.host()).arg(parsed.port(defaultPort(parsed.scheme())));

    const ProxyChoice proxy = proxyFor(parsed);
    const bool throughProxy = proxy.used() && parsed.scheme() == QLatin1String("http");
    QByteArray request = "POST " + requestTarget(parsed, throughProxy) + " HTTP/1.0\r\n";
    for (const QByteArray& header : requestHeaders(url, body.size(), cookieHeader(url))) request += header + "\r\n";
    if (throughProxy && !proxy.proxy.userName().isEmpty())
        request += "Proxy-Authorization: Basic " +
                   (proxy.proxy.userName().toUtf8() + ':' + proxy.proxy.password().toUtf8()).toBase64() + "\r\n";
    request += "\r\n";
    request += body;

    const bool large = size == AnswerSize::Large;
    d->answerLimit = large ? kLargeAnswerLimit : kAnswerLimit;
    d->deadlineMs = std::max<qint64>(1, deadlineMs_.load()) * (large ? kLargeDeadlineFactor : 1);
    d->callTimer.start();
    // The connection of a failed call goes on serving while it is up; otherwise a new one.
    if (!d->keptAlive || !d->connectionUp()) d->connect(parsed, endpoint, proxy);
    d->keptAlive = false;
    d->readTimeoutMs = std::max(1, readTimeoutMs_.load());
    HttpAnswer answer = d->exchange(request, endpoint);
    d->cookies.store(parsed, d->setCookies);
    d->setCookies.clear();
    // The status line's bytes are one character each, like the rest of the head.
    const QString statusLine = QString::fromLatin1(answer.statusLine);
    if (answer.status >= 300 && answer.status <= 399) {
        // Not followed: the call ends here, whatever the answer's body says.
        QString message = statusLine + QStringLiteral(": o serviço pediu um redirecionamento");
        if (!answer.location.isEmpty()) message += QStringLiteral(" para ") + QString::fromLatin1(answer.location);
        throw ServiceError((message + QStringLiteral(", que não é seguido.")).toStdString());
    }
    if (answer.status == 407 && throughProxy)
        throw ServiceError(proxyFailureText(proxy, 407, QStringLiteral("o serviço (%1)").arg(endpoint), {}).toStdString());
    if (answer.status < 200 || answer.status > 299) throw ServiceError(statusLine.toStdString());
    return answer;
}

}  // namespace norvane

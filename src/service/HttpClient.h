#pragma once
// An HTTP client of the service (IdHTTP1, IdHTTP2, IdHTTP3): its own connection and its
// own cookie store, both kept for the whole run. One call at a time.

#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <memory>
#include <stdexcept>
#include "core/Error.h"

namespace norvane {

// A failed service call: no connection, a broken transfer, an HTTP error status.
class ServiceError : public Error {
public:
    explicit ServiceError(const std::string& message) : Error(ErrorKind::ServiceError, QString::fromStdString(message)) {}
    explicit ServiceError(const char* message) : ServiceError(std::string(message)) {}
};

struct HttpAnswer {
    long status = 0;
    QByteArray statusLine;   // e.g. "HTTP/1.1 200 OK"
    QByteArray contentType;  // the Content-Type header's value
    QByteArray location;     // the Location header's value (a redirect's target)
    QByteArray body;
};

// How large the answer of a call may be: Small for the service's JSON answers; Large for
// the manual consultation, whose answer carries every waiting PDF in Base64.
enum class AnswerSize { Small, Large };

class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Posts a form body to the URL and reads the whole answer. Blocks; call it off the
    // GUI thread (serviceCall does). Raises ServiceError for a connection that cannot
    // be made within 10 000 ms ("Connect timed out."), a refused or broken connection,
    // a server that neither takes nor sends a byte for the read time-out, a call not
    // done by its deadline (a server that trickles), an answer larger than the bound of
    // its size, and an answer whose status is not 2xx (redirects are not followed);
    // raises Aborted when the application quits meanwhile.
    HttpAnswer post(const QString& url, const QByteArray& body, AnswerSize size = AnswerSize::Small);

    // The longest wait for the next byte of the exchange once connected (60 s).
    static constexpr int kDefaultReadTimeoutMs = 60000;
    // The largest answer taken, head and body (the service's answers are small JSON).
    static constexpr qint64 kAnswerLimit = 8 * 1024 * 1024;
    // The same for a Large answer: far above any real consultation (a few hundred waiting
    // instruments of some hundred KB each), a bound only against a runaway server.
    static constexpr qint64 kLargeAnswerLimit = qint64(1) << 30;
    // A Large call's deadline is this many times a Small one's.
    static constexpr int kLargeDeadlineFactor = 3;
    void setReadTimeoutMs(int milliseconds) { readTimeoutMs_ = milliseconds; }
    int readTimeoutMs() const { return readTimeoutMs_; }
    // The longest a whole Small call may take, connection, request and answer (10 minutes
    // in the program: 8 MiB fit at 14 KB/s; the consultation's 30 minutes take 60 MB at
    // 35 KB/s). The read time-out alone never ends a server that sends a byte now and then.
    void setDeadlineMs(qint64 milliseconds) { deadlineMs_ = milliseconds; }
    qint64 deadlineMs() const { return deadlineMs_; }

    // Closes the connection that the client holds, if any.
    void closeConnection();

    // The Cookie header's value for a request to this URL; empty when the client holds
    // no cookie for it.
    QByteArray cookieHeader(const QString& url) const;

    bool busy() const { return busy_; }

private:
    struct Impl;
    std::unique_ptr<Impl> d;
    std::atomic<bool> busy_{false};
    std::atomic<int> readTimeoutMs_{kDefaultReadTimeoutMs};
    std::atomic<qint64> deadlineMs_;
};

// The request headers, in the order in which they go on the wire (without CR LF).
QList<QByteArray> requestHeaders(const QString& url, qsizetype bodyLength, const QByteArray& cookies);

}  // namespace norvane

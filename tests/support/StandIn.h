#pragma once
// Driver of the stand-in service (standin/standin.py): a real HTTP server on a free
// 127.0.0.1 port that records every raw request and answers what the test scripts.
// Started by the constructor, stopped by the destructor.

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

namespace norvane::test {

struct ScriptedAnswer {
    QByteArray status = "HTTP/1.1 200 OK";
    QList<QPair<QByteArray, QByteArray>> headers{{"Content-Type", "text/html"}};
    QByteArray body;
    int delayMs = 0;            // wait before answering
    int closeAfter = -1;        // send only this many bytes of the answer, then close
    bool hang = false;          // never answer (until the client leaves)
    bool keepAlive = false;     // add "Connection: keep-alive" and keep the connection
    bool contentLength = true;  // add a Content-Length header
    qint64 bodySize = 0;        // a body of this many bytes (the body repeated), made by the stand-in
    int trickleMs = 0;          // send the answer one byte every this many milliseconds

    static ScriptedAnswer ok(const QByteArray& body, const QByteArray& contentType = "text/html");
};

struct RecordedRequest {
    QByteArray raw;           // the bytes as received
    int connection = 0;       // number of the TCP connection it came on (from 1)
    QByteArray head() const;  // up to and including the empty line
    QByteArray body() const;
};

// The fields of a form body (name=value&...), decoded, in their order.
QList<QPair<QString, QByteArray>> formFields(const QByteArray& body);

class StandIn {
public:
    struct Options {
        bool demo = false;
        QString version = QStringLiteral("1.0.3");  // demo: what assinadorVersao answers
        QString store;                              // demo: where uploads are kept (default: a temporary folder)
        bool homologationPort = false;              // also listen for homologation answers
        int offices = 1;                            // demo: offices of every login but the demo CPF's
        QString samples;                            // demo: write the batch tab's sample PDFs here
        int uploadDelayMs = 0;                      // every upload held this long before its answer
        quint16 port = 0;                           // a fixed port (a program built for it); 0: any free one
        quint16 homologationPortNumber = 0;         // likewise for the homologation answers
    };

    StandIn();
    explicit StandIn(const Options& options);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    quint16 port() const { return port_; }
    quint16 homologationPort() const { return homologationPort_; }
    // http://127.0.0.1:<port>/assinadorNorvane/
    QString baseUrl() const;
    QString homologationBaseUrl() const;
    // Demo: the folder where the uploads received are kept.
    QString storePath() const { return store_; }

    // Answers in the order scripted; when none is left, the default one.
    void script(const ScriptedAnswer& answer);
    void setDefault(const ScriptedAnswer& answer);
    QList<RecordedRequest> requests();
    void clear();
    // Stops listening (every connection is refused) or listens again on the same port.
    void listen(bool on);

private:
    QByteArray command(const QByteArray& json);
    std::unique_ptr<QTemporaryDir> temporaryStore_;
    QString store_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    quint16 homologationPort_ = 0;
};

}  // namespace norvane::test

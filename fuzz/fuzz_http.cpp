// The HTTP client's reading of an answer: a peer on 127.0.0.1 reads the request and
// answers the fuzz bytes, then closes. The call either gives a 2xx answer or raises.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QByteArray>
#include <thread>

#include "FuzzCheck.h"
#include "core/Background.h"
#include "service/HttpClient.h"

namespace {

int listener = -1;
int port = 0;

void openListener() {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "bind");
    FUZZ_CHECK(::listen(listener, 4) == 0, "listen");
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
}

// One connection: the whole request (head and the body of its Content-Length), then
// the answer, then the end of the connection.
void serveOnce(const QByteArray& answer) {
    const int peer = ::accept(listener, nullptr, nullptr);
    if (peer < 0) return;
    QByteArray request;
    char buffer[4096];
    while (true) {
        const qsizetype head = request.indexOf("\r\n\r\n");
        if (head >= 0) {
            const qsizetype at = request.indexOf("Content-Length: ");
            const qsizetype length = at >= 0 ? request.mid(at + 16, request.indexOf("\r\n", at) - at - 16).toLongLong() : 0;
            if (request.size() >= head + 4 + length) break;
        }
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, n);
    }
    for (qsizetype sent = 0; sent < answer.size();) {
        const ssize_t n = ::send(peer, answer.constData() + sent, size_t(answer.size() - sent), MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += n;
    }
    ::shutdown(peer, SHUT_WR);
    ::close(peer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (listener < 0) openListener();
    const QByteArray answer(reinterpret_cast<const char*>(data), qsizetype(size));
    std::thread peer(serveOnce, answer);
    norvane::HttpClient client;
    try {
        const norvane::HttpAnswer got = client.post(QStringLiteral("http://127.0.0.1:%1/assinadorNorvane/").arg(port),
                                                    "servico=assinadorVersao");
        FUZZ_CHECK(got.status >= 200 && got.status <= 299, "a non-2xx answer returned");
        FUZZ_CHECK(got.body.size() <= answer.size(), "a body longer than the answer");
    } catch (const norvane::ServiceError&) {
    }
    client.closeConnection();
    peer.join();
    return 0;
}

#pragma once
// The proxy of a connection, by the conventions curl and apt follow: http_proxy for http
// addresses, https_proxy for https ones (the upper-case names too, the lower-case first),
// and no_proxy (or NO_PROXY) for the hosts reached directly: a comma-separated list of
// names (a name covers its subdomains; a leading dot is the same), addresses, address
// ranges (10.0.0.0/8) and "*" for every host.

#include <QString>
#include <QUrl>

namespace norvane {

struct ProxyChoice {
    QUrl proxy;        // empty: a direct connection
    QString variable;  // the variable it came from ("https_proxy"), or that bypassed it ("no_proxy")

    bool used() const { return !proxy.isEmpty(); }
    // The proxy as shown to the user: scheme, host and port, never its password.
    QString shown() const;
};

// The proxy for a connection to that address, from the process's environment.
ProxyChoice proxyFor(const QUrl& target);

// Whether no_proxy's list (its text) sends that host directly.
bool bypassesProxy(const QString& host, const QString& noProxyList);

// What the user reads when the proxy failed on the way to `what` ("o serviço (host:porta)"):
// it asks for a user and a password (407), it refused (another status of its answer to
// CONNECT, or to the request), or it could not be reached (`reason`).
QString proxyFailureText(const ProxyChoice& proxy, long status, const QString& what, const QString& reason);

// A line for the doctor: how the program reaches that address ("direto" or through which proxy).
QString proxyLine(const QUrl& target);

}  // namespace norvane

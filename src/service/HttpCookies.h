#pragma once
// The cookies of one HTTP client: what the answers set, and what goes back with each
// request (domain, path, expiry and the secure flag as browsers match them).

#include <QByteArray>
#include <QList>
#include <QUrl>
#include <mutex>
#include <vector>

namespace norvane {

// The path of the URL as it goes in the request line ("/" when empty).
QByteArray requestPath(const QUrl& url);

class CookieJar {
public:
    // Keeps the cookies of an answer's Set-Cookie values, for the URL that answered.
    void store(const QUrl& url, const QList<QByteArray>& setCookies);
    // The Cookie header's value for a request to the URL; empty when none applies.
    QByteArray header(const QUrl& url) const;

private:
    struct Cookie {
        QByteArray name;
        QByteArray value;
        QByteArray domain;
        QByteArray path;
        bool hostOnly = true;
        bool secure = false;
        qint64 expires = -1;  // seconds since the epoch; -1 for a cookie of the session
    };
    mutable std::mutex mutex_;
    std::vector<Cookie> cookies_;
};

}  // namespace norvane

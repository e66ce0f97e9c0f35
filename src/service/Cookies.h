#pragma once
// The cookies a client keeps for the whole run.

#include <QByteArray>
#include <QList>
#include <QUrl>
#include <vector>

namespace norvane {

struct Cookie {
    QByteArray name;
    QByteArray value;
    QByteArray domain;
    QByteArray path;
    bool hostOnly = true;
    bool secure = false;
    qint64 expires = -1;  // seconds since the epoch; -1 for a cookie of the session
};

// Keeps what the Set-Cookie values of an answer from that URL set (and drops what they expire).
void storeSetCookies(std::vector<Cookie>& cookies, const QList<QByteArray>& setCookies, const QUrl& url);

// The Cookie header's value for a request to that URL (empty: none).
QByteArray cookieHeaderFor(const std::vector<Cookie>& cookies, const QString& url);

}  // namespace norvane

// The cookies of a client: what the service's answers set, and what goes back with the
// next requests (host-only and domain cookies, paths, expiry, secure).

#include "service/Cookies.h"

#include <curl/curl.h>

#include <QDateTime>

namespace norvane {

namespace {

QByteArray requestPath(const QUrl& url) {
    QByteArray path = url.path(QUrl::FullyEncoded).toUtf8();
    return path.isEmpty() ? QByteArrayLiteral("/") : path;
}

bool domainMatches(const QByteArray& host, const QByteArray& domain) {
    return host == domain || (host.endsWith('.' + domain) && !domain.isEmpty());
}

bool pathMatches(const QByteArray& path, const QByteArray& cookiePath) {
    if (path == cookiePath) return true;
    return path.startsWith(cookiePath) && (cookiePath.endsWith('/') || path.at(cookiePath.size()) == '/');
}

}  // namespace

void storeSetCookies(std::vector<Cookie>& cookies, const QList<QByteArray>& setCookies, const QUrl& url) {
    const QByteArray host = url.host().toLower().toUtf8();
    QByteArray defaultPath = requestPath(url);
    defaultPath = defaultPath.left(defaultPath.lastIndexOf('/'));
    if (defaultPath.isEmpty()) defaultPath = "/";
    const qint64 now = QDateTime::currentSecsSinceEpoch();

    for (const QByteArray& header : setCookies) {
        const QList<QByteArray> parts = header.split(';');
        const qsizetype eq = parts[0].indexOf('=');
        if (eq <= 0) continue;
        Cookie cookie;
        cookie.name = parts[0].left(eq).trimmed();
        cookie.value = parts[0].mid(eq + 1).trimmed();
        cookie.domain = host;
        cookie.path = defaultPath;
        bool maxAgeSeen = false;
        bool rejected = false;
        for (qsizetype i = 1; i < parts.size(); ++i) {
            const qsizetype at = parts[i].indexOf('=');
            const QByteArray key = (at < 0 ? parts[i] : parts[i].left(at)).trimmed().toLower();
            const QByteArray value = at < 0 ? QByteArray() : parts[i].mid(at + 1).trimmed();
            if (key == "max-age") {
                bool ok = false;
                const qint64 seconds = value.toLongLong(&ok);
                if (!ok) continue;
                cookie.expires = seconds <= 0 ? 0 : now + seconds;
                maxAgeSeen = true;
            } else if (key == "expires" && !maxAgeSeen) {
                const time_t when = curl_getdate(value.constData(), nullptr);
                if (when != -1) cookie.expires = when;
            } else if (key == "domain" && !value.isEmpty()) {
                QByteArray domain = value.toLower();
                if (domain.startsWith('.')) domain = domain.mid(1);
                if (!domainMatches(host, domain)) rejected = true;
                cookie.domain = domain;
                cookie.hostOnly = false;
            } else if (key == "path" && value.startsWith('/')) {
                cookie.path = value;
            } else if (key == "secure") {
                cookie.secure = true;
            }
        }
        if (rejected) continue;
        std::erase_if(cookies, [&](const Cookie& old) {
            return old.name == cookie.name && old.domain == cookie.domain && old.path == cookie.path;
        });
        if (cookie.expires == -1 || cookie.expires > now) cookies.push_back(cookie);
    }
}

QByteArray cookieHeaderFor(const std::vector<Cookie>& cookies, const QString& url) {
    const QUrl parsed(url);
    const QByteArray host = parsed.host().toLower().toUtf8();
    const QByteArray path = requestPath(parsed);
    const bool secureChannel = parsed.scheme() == QLatin1String("https");
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QByteArray header;
    for (const Cookie& cookie : cookies) {
        if (cookie.expires != -1 && cookie.expires <= now) continue;
        if (cookie.hostOnly ? host != cookie.domain : !domainMatches(host, cookie.domain)) continue;
        if (!pathMatches(path, cookie.path) || (cookie.secure && !secureChannel)) continue;
        if (!header.isEmpty()) header += "; ";
        header += cookie.name + '=' + cookie.value;
    }
    return header;
}

}  // namespace norvane

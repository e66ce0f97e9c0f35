#include "certs/pki/PkiNetwork.h"

#include <QCryptographicHash>
#include <QDir>
#include <QStandardPaths>
#include <algorithm>
#include <mutex>
#include <optional>

#include "core/Error.h"
#include "service/Download.h"

namespace norvane::pki {

namespace {

std::mutex settingsMutex;
std::optional<NetworkSettings> setSettings;

}  // namespace

NetworkSettings networkSettings() {
    {
        const std::lock_guard lock(settingsMutex);
        if (setSettings) return *setSettings;
    }
    NetworkSettings settings;
    bool ok = false;
    const int timeout = qEnvironmentVariableIntValue("NORVANE_PKI_TIMEOUT_MS", &ok);
    if (ok && timeout > 0) settings.timeoutMs = timeout;
    return settings;
}

void setNetworkSettings(const NetworkSettings& settings) {
    const std::lock_guard lock(settingsMutex);
    setSettings = settings;
}

void resetNetworkSettings() {
    const std::lock_guard lock(settingsMutex);
    setSettings.reset();
}

QString cacheFolder() {
    QString base = qEnvironmentVariable("XDG_CACHE_HOME");
    if (base.isEmpty()) base = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.cache");
    return base + QStringLiteral("/norvane-assinador-ip");
}

QString cacheFile(const QString& kind, const QByteArray& key) {
    const QString folder = cacheFolder() + QLatin1Char('/') + kind;
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') +
           QString::fromLatin1(QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex());
}

void fetchToFile(const QString& url, const QString& target, quint64 maxBytes, const Deadline& deadline) {
    const NetworkSettings settings = networkSettings();
    if (!settings.enabled) throw Error(ErrorKind::ServiceError, QStringLiteral("consultas à rede desligadas"));
    if (!url.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive) &&
        !url.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive))
        throw Error(ErrorKind::ServiceError, QStringLiteral("endereço que não é http nem https: %1").arg(url));
    const qint64 left = std::min<qint64>(settings.timeoutMs, deadline.remainingMs());
    if (left <= 0)
        throw Error(ErrorKind::ServiceError, QStringLiteral("tempo esgotado antes de consultar %1").arg(url));
    try {
        downloadFile(url, target, {}, DownloadLimits{maxBytes, long(left)});
    } catch (const DownloadError& e) {
        // A bound passed or a redirect refused says so in Portuguese; anything else is the
        // network's (curl's own words kept in parentheses, for the office's IT).
        const QString why = e.kind() == DownloadError::Kind::Failed
                                ? QStringLiteral("servidor fora do alcance ou sem resposta a tempo (%1)").arg(e.reason())
                                : e.reason();
        throw Error(ErrorKind::ServiceError, QStringLiteral("não foi possível obter %1: %2").arg(url, why), e);
    }
}

}  // namespace norvane::pki

#pragma once
// What the certificate checks fetch from the network (issuers named by AIA, OCSP answers,
// LCRs): the limits of a fetch, the time a whole check may take, and the cache folder where
// what was fetched is kept ($XDG_CACHE_HOME/norvane-assinador-ip, else ~/.cache/…).

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

namespace norvane::pki {

struct NetworkSettings {
    bool enabled = true;                          // false: nothing is fetched, only the cache is read
    int timeoutMs = 3000;                         // one fetch, connection and transfer
    quint64 maxCertificateBytes = 1ULL << 20;     // an issuer (DER, PEM or PKCS#7) or an OCSP answer
    quint64 maxListBytes = 200ULL << 20;          // an LCR
};

// The settings now: the defaults, NORVANE_PKI_TIMEOUT_MS from the environment, or what was set.
NetworkSettings networkSettings();
void setNetworkSettings(const NetworkSettings& settings);
void resetNetworkSettings();

// The time a whole check may still take (every fetch of it shares it).
class Deadline {
public:
    explicit Deadline(qint64 budgetMs) : budgetMs_(budgetMs) { timer_.start(); }
    qint64 remainingMs() const { return budgetMs_ - timer_.elapsed(); }
    bool passed() const { return remainingMs() <= 0; }

private:
    QElapsedTimer timer_;
    qint64 budgetMs_;
};

// The time the pick list (and --lote) waits for revocation before it shows the list.
inline constexpr qint64 kPickListBudgetMs = 3000;
// The time the verifier and the doctor give a check (an LCR may be large).
inline constexpr qint64 kReportBudgetMs = 60000;

// The cache folder, and the file for a kind ("aia", "lcr", "ocsp") and key in it.
QString cacheFolder();
QString cacheFile(const QString& kind, const QByteArray& key);

// Fetches an http or https URL into `target` (whole or not at all), with the service's rules:
// the time limit (the smaller of the setting and what the deadline leaves), the size bound,
// no redirect from https to http, the office's proxy when one is set. Throws norvane::Error
// (ServiceError) whose message says why, in Portuguese.
void fetchToFile(const QString& url, const QString& target, quint64 maxBytes, const Deadline& deadline);

}  // namespace norvane::pki

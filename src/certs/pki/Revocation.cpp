#include "certs/pki/Revocation.h"

#include <openssl/err.h>
#include <openssl/ocsp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QFile>
#include <QStringList>
#include <QTimeZone>
#include <QUrl>
#include <functional>
#include <map>
#include <mutex>

#include "certs/pki/AiaIssuers.h"
#include "certs/pki/Certificate.h"
#include "certs/pki/PkiReaders.h"
#include "core/Error.h"
#include "core/ErrorText.h"

namespace norvane::pki {

namespace {

constexpr long kClockSkewSeconds = 300;

template <typename T, void (*F)(T*)>
struct Free {
    void operator()(T* p) const { F(p); }
};
using CertIdPtr = std::unique_ptr<OCSP_CERTID, Free<OCSP_CERTID, OCSP_CERTID_free>>;
using BasicPtr = std::unique_ptr<OCSP_BASICRESP, Free<OCSP_BASICRESP, OCSP_BASICRESP_free>>;

QDateTime timeOf(const ASN1_TIME* time) {
    tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return QDateTime();
    return QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                     QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), QTimeZone::utc());
}

std::mutex memoMutex;
std::map<QString, std::pair<RevocationStatus, QDateTime>> memo;  // by thumbprint: the result and until when

// Whether `signer` may sign OCSP answers about certificates of `issuer`.
bool authorisedResponder(X509* signer, X509* issuer) {
    if (X509_cmp(signer, issuer) == 0) return true;
    const bool delegated = X509_check_issued(issuer, signer) == X509_V_OK &&
                           X509_verify(signer, X509_get0_pubkey(issuer)) == 1 &&
                           (X509_get_extended_key_usage(signer) & XKU_OCSP_SIGN) != 0 &&
                           validAt(signer, std::time(nullptr));
    ERR_clear_error();
    return delegated;
}

// What an OCSP answer says of the certificate; Unknown with the problem when it cannot be used.
RevocationStatus readOcsp(const QByteArray& bytes, OCSP_CERTID* id, X509* issuer) {
    RevocationStatus status;
    const auto response = readOcspResponse(bytes);
    if (!response) return status.problem = QStringLiteral("resposta OCSP ilegível"), status;
    const int code = OCSP_response_status(response.get());
    if (code != OCSP_RESPONSE_STATUS_SUCCESSFUL)
        return status.problem = QStringLiteral("o respondedor OCSP recusou a consulta (código %1)").arg(code), status;
    BasicPtr basic(OCSP_response_get1_basic(response.get()));
    STACK_OF(X509)* issuerOnly = sk_X509_new_null();
    sk_X509_push(issuerOnly, issuer);
    X509* signer = nullptr;
    const bool signatureHolds = basic && OCSP_resp_get0_signer(basic.get(), &signer, issuerOnly) == 1 &&
                                OCSP_basic_verify(basic.get(), issuerOnly, nullptr, OCSP_NOVERIFY) == 1 &&
                                authorisedResponder(signer, issuer);
    sk_X509_free(issuerOnly);
    ERR_clear_error();
    if (!signatureHolds)
        return status.problem = QStringLiteral("resposta OCSP não assinada pela AC emissora nem por um respondedor dela"),
               status;
    int state = -1, reason = -1;
    ASN1_GENERALIZEDTIME *revokedAt = nullptr, *thisUpdate = nullptr, *nextUpdate = nullptr;
    if (OCSP_resp_find_status(basic.get(), id, &state, &reason, &revokedAt, &thisUpdate, &nextUpdate) != 1)
        return status.problem = QStringLiteral("a resposta OCSP não trata deste certificado"), status;
    status.thisUpdate = timeOf(thisUpdate);
    status.nextUpdate = timeOf(nextUpdate);
    const bool current = OCSP_check_validity(thisUpdate, nextUpdate, kClockSkewSeconds, -1) == 1;
    ERR_clear_error();
    if (!current) return status.problem = QStringLiteral("resposta OCSP vencida ou com data futura"), status;
    if (state == V_OCSP_CERTSTATUS_UNKNOWN)
        return status.problem = QStringLiteral("o respondedor OCSP não conhece este certificado"), status;
    status.state = state == V_OCSP_CERTSTATUS_GOOD ? RevocationState::Good : RevocationState::Revoked;
    if (status.state == RevocationState::Revoked) {
        status.revokedAt = timeOf(revokedAt);
        status.reason = reason;
    }
    return status;
}

QByteArray readSmallFile(const QString& path, quint64 maxBytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || quint64(file.size()) > maxBytes) return QByteArray();
    return file.readAll();
}

bool usable(const RevocationStatus& status) {
    return status.state != RevocationState::Unknown && status.nextUpdate.isValid() &&
           status.nextUpdate > QDateTime::currentDateTimeUtc();
}

// Fetches `url` into the cache file's new name; the caller replaces the cache file with it
// once what it holds is read and found good.
QString fetchNew(const QString& url, const QString& path, quint64 maxBytes, const Deadline& deadline) {
    const QString fresh = path + QStringLiteral(".novo");
    fetchToFile(url, fresh, maxBytes, deadline);
    return fresh;
}

void keep(const QString& fresh, const QString& path) {
    QFile::remove(path);
    if (!QFile::rename(fresh, path)) QFile::remove(fresh);
}

// Fetches `fetchUrl` anew and reads it with `read`; the answer replaces the cache file only
// when it says something. `kind` ("OCSP", "LCR") and `url` name the source, or the problem.
RevocationStatus fetchAndRead(const QString& kind, const QString& url, const QString& fetchUrl, const QString& path,
                              quint64 maxBytes, const Deadline& deadline,
                              const std::function<RevocationStatus(const QString& fresh)>& read) {
    RevocationStatus status;
    try {
        const QString fresh = fetchNew(fetchUrl, path, maxBytes, deadline);
        status = read(fresh);
        if (status.state != RevocationState::Unknown) keep(fresh, path);
        else QFile::remove(fresh);
    } catch (const Error& e) {
        status = RevocationStatus{};
        status.problem = kind + QStringLiteral(": ") + errorText(e);
        return status;
    }
    status.source = kind + QLatin1Char(' ') + url;
    if (status.state == RevocationState::Unknown) status.problem = QStringLiteral("%1 %2: %3").arg(kind, url, status.problem);
    return status;
}

RevocationStatus checkOcsp(X509* certificate, X509* issuer, const Deadline& deadline) {
    RevocationStatus status;
    CertIdPtr id(OCSP_cert_to_id(EVP_sha1(), certificate, issuer));
    unsigned char* der = nullptr;
    const int length = id ? i2d_OCSP_CERTID(id.get(), &der) : -1;
    if (length <= 0) return status.problem = QStringLiteral("consulta OCSP impossível de montar"), status;
    const QByteArray idDer(reinterpret_cast<const char*>(der), length);
    OPENSSL_free(der);
    const quint64 maxBytes = networkSettings().maxCertificateBytes;
    const QString path = cacheFile(QStringLiteral("ocsp"), idDer);
    for (const QString& url : ocspUrls(certificate)) {
        status = readOcsp(readSmallFile(path, maxBytes), id.get(), issuer);
        if (usable(status)) return status.source = QStringLiteral("OCSP ") + url, status;
        // The request of RFC 6960 by GET: the DER of the request, Base64, in the URL's path.
        OCSP_REQUEST* request = OCSP_REQUEST_new();
        OCSP_request_add0_id(request, OCSP_CERTID_dup(id.get()));
        unsigned char* requestDer = nullptr;
        const int requestLength = i2d_OCSP_REQUEST(request, &requestDer);
        OCSP_REQUEST_free(request);
        const QByteArray encoded = QUrl::toPercentEncoding(QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(requestDer), std::max(requestLength, 0)).toBase64()));
        OPENSSL_free(requestDer);
        const QString getUrl = (url.endsWith(QLatin1Char('/')) ? url : url + QLatin1Char('/')) + QString::fromLatin1(encoded);
        status = fetchAndRead(QStringLiteral("OCSP"), url, getUrl, path, maxBytes, deadline, [&](const QString& fresh) {
            return readOcsp(readSmallFile(fresh, maxBytes), id.get(), issuer);
        });
        if (status.state != RevocationState::Unknown) return status;
    }
    return status;
}

// What a list says of the certificate; Unknown with the problem when it cannot be used.
RevocationStatus readList(X509_CRL* crl, X509* certificate, X509* issuer) {
    RevocationStatus status;
    if (!crl) return status.problem = QStringLiteral("LCR ilegível"), status;
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(certificate)) != 0 ||
        X509_CRL_verify(crl, X509_get0_pubkey(issuer)) != 1) {
        ERR_clear_error();
        return status.problem = QStringLiteral("LCR não assinada pela AC emissora"), status;
    }
    status.thisUpdate = timeOf(X509_CRL_get0_lastUpdate(crl));
    status.nextUpdate = timeOf(X509_CRL_get0_nextUpdate(crl));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!status.nextUpdate.isValid() || status.nextUpdate < now)
        return status.problem = QStringLiteral("LCR vencida (próxima atualização prevista para %1)")
                                    .arg(status.nextUpdate.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm"))),
               status;
    if (!status.thisUpdate.isValid() || status.thisUpdate > now.addSecs(kClockSkewSeconds))
        return status.problem = QStringLiteral("LCR com data futura"), status;
    X509_REVOKED* entry = nullptr;
    const int found = X509_CRL_get0_by_cert(crl, &entry, certificate);
    ERR_clear_error();
    if (found == 1 && entry) {
        status.state = RevocationState::Revoked;
        status.revokedAt = timeOf(X509_REVOKED_get0_revocationDate(entry));
        auto* reason = static_cast<ASN1_ENUMERATED*>(X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, nullptr, nullptr));
        status.reason = reason ? int(ASN1_ENUMERATED_get(reason)) : -1;
        ASN1_ENUMERATED_free(reason);
    } else {
        status.state = RevocationState::Good;
    }
    return status;
}

RevocationStatus checkList(X509* certificate, X509* issuer, const Deadline& deadline) {
    RevocationStatus status;
    const quint64 maxBytes = networkSettings().maxListBytes;
    for (const QString& url : crlUrls(certificate)) {
        const QString path = cacheFile(QStringLiteral("lcr"), url.toUtf8());
        if (QFile::exists(path)) {
            status = readList(readCrlFile(path).get(), certificate, issuer);
            if (usable(status)) return status.source = QStringLiteral("LCR ") + url, status;
        }
        // Streamed to the cache folder, then read through a mapping of the file.
        status = fetchAndRead(QStringLiteral("LCR"), url, url, path, maxBytes, deadline, [&](const QString& fresh) {
            return readList(readCrlFile(fresh).get(), certificate, issuer);
        });
        if (status.state != RevocationState::Unknown) return status;
    }
    return status;
}

}  // namespace

QString revocationReasonText(int reason) {
    switch (reason) {
        case 0: return QStringLiteral("não especificado");
        case 1: return QStringLiteral("comprometimento da chave");
        case 2: return QStringLiteral("comprometimento da AC");
        case 3: return QStringLiteral("mudança de vínculo");
        case 4: return QStringLiteral("substituído por outro certificado");
        case 5: return QStringLiteral("cessação de atividade");
        case 6: return QStringLiteral("suspenso");
        case 8: return QStringLiteral("retirado da lista");
        case 9: return QStringLiteral("privilégio retirado");
        case 10: return QStringLiteral("comprometimento da autoridade de atributos");
        default: return QStringLiteral("motivo não informado");
    }
}

QString revocationText(const RevocationStatus& status) {
    const auto instant = [](const QDateTime& utc) {
        return utc.isValid() ? utc.toLocalTime().toString(QStringLiteral("dd/MM/yyyy HH:mm")) : QStringLiteral("?");
    };
    const QString dates = QStringLiteral("%1; emitida em %2, válida até %3")
                              .arg(status.source, instant(status.thisUpdate), instant(status.nextUpdate));
    switch (status.state) {
        case RevocationState::Good:
            return QStringLiteral("não revogado (%1)").arg(dates);
        case RevocationState::Revoked:
            return QStringLiteral("REVOGADO em %1 (motivo: %2; %3)")
                .arg(instant(status.revokedAt), revocationReasonText(status.reason), dates);
        case RevocationState::Unknown:
            break;
    }
    return QStringLiteral("revogação não verificada: ") + status.problem;
}

RevocationStatus checkRevocation(X509* certificate, X509* issuer, const Deadline& deadline) {
    const QString thumbprint = thumbprintOf(certificate) + thumbprintOf(issuer);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    {
        const std::lock_guard lock(memoMutex);
        const auto found = memo.find(thumbprint);
        if (found != memo.end() && found->second.second > now) return found->second.first;
    }
    const bool byOcsp = !ocspUrls(certificate).isEmpty(), byList = !crlUrls(certificate).isEmpty();
    RevocationStatus status;
    if (byOcsp) status = checkOcsp(certificate, issuer, deadline);
    if (status.state == RevocationState::Unknown && byList) {
        const QString ocspProblem = status.problem;
        status = checkList(certificate, issuer, deadline);
        if (status.state == RevocationState::Unknown && !ocspProblem.isEmpty())
            status.problem = ocspProblem + QStringLiteral("; ") + status.problem;
    }
    status.nowhereToAsk = !byOcsp && !byList;
    if (status.nowhereToAsk)
        status.problem = QStringLiteral("o certificado não indica onde consultar a revogação (sem OCSP nem LCR)");
    status.subject = subjectDisplayName(certificate);
    status.checkedAt = now;
    const QDateTime until = status.state != RevocationState::Unknown && status.nextUpdate.isValid()
                                ? status.nextUpdate
                                : now.addSecs(300);
    const std::lock_guard lock(memoMutex);
    memo[thumbprint] = {status, until};
    return status;
}

std::vector<RevocationStatus> checkChainRevocation(const std::vector<std::shared_ptr<X509>>& links,
                                                   const Deadline& deadline) {
    std::vector<RevocationStatus> chain;
    for (size_t i = 0; i + 1 < links.size(); ++i) chain.push_back(checkRevocation(links[i].get(), links[i + 1].get(), deadline));
    return chain;
}

const RevocationStatus* firstRevoked(const std::vector<RevocationStatus>& chain) {
    for (const RevocationStatus& status : chain)
        if (status.state == RevocationState::Revoked) return &status;
    return nullptr;
}

bool allGood(const std::vector<RevocationStatus>& chain) {
    if (chain.empty()) return false;
    for (const RevocationStatus& status : chain)
        if (status.state != RevocationState::Good) return false;
    return true;
}

void forgetRevocationResults() {
    const std::lock_guard lock(memoMutex);
    memo.clear();
}

}  // namespace norvane::pki

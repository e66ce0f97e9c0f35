#include "certs/pki/AiaIssuers.h"

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QFile>
#include <QFileInfo>
#include <map>
#include <mutex>

#include "certs/pki/Certificate.h"
#include "certs/pki/PkiReaders.h"
#include "core/Error.h"
#include "core/ErrorText.h"

namespace norvane::pki {

namespace {

std::mutex originsMutex;
std::map<QString, IssuerOrigin> origins;  // by thumbprint

bool webUrl(const QString& url) {
    return url.startsWith(QStringLiteral("http://"), Qt::CaseInsensitive) ||
           url.startsWith(QStringLiteral("https://"), Qt::CaseInsensitive);
}

QString uriOf(const GENERAL_NAME* name) {
    if (!name || name->type != GEN_URI) return QString();
    const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
    const QString url = QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                            ASN1_STRING_length(uri));
    return webUrl(url) ? url : QString();
}

QStringList accessUrls(X509* certificate, int method) {
    QStringList urls;
    auto* access = static_cast<AUTHORITY_INFO_ACCESS*>(X509_get_ext_d2i(certificate, NID_info_access, nullptr, nullptr));
    for (int i = 0; access && i < sk_ACCESS_DESCRIPTION_num(access); ++i) {
        const ACCESS_DESCRIPTION* entry = sk_ACCESS_DESCRIPTION_value(access, i);
        if (OBJ_obj2nid(entry->method) != method) continue;
        const QString url = uriOf(entry->location);
        if (!url.isEmpty() && !urls.contains(url)) urls << url;
    }
    AUTHORITY_INFO_ACCESS_free(access);
    return urls;
}

// The issuers read from a cached or fetched file: only those that did issue the certificate.
std::vector<std::shared_ptr<X509>> issuersIn(const QString& path, X509* certificate, quint64 maxBytes) {
    std::vector<std::shared_ptr<X509>> issuers;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || quint64(file.size()) > maxBytes) return issuers;
    for (auto& candidate : readCertificates(file.readAll()))
        if (X509_check_issued(candidate.get(), certificate) == X509_V_OK) issuers.push_back(std::move(candidate));
    return issuers;
}

}  // namespace

QStringList caIssuersUrls(X509* certificate) { return accessUrls(certificate, NID_ad_ca_issuers); }
QStringList ocspUrls(X509* certificate) { return accessUrls(certificate, NID_ad_OCSP); }

QStringList crlUrls(X509* certificate) {
    QStringList urls;
    auto* points = static_cast<CRL_DIST_POINTS*>(X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr));
    for (int i = 0; points && i < sk_DIST_POINT_num(points); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points, i);
        if (!point->distpoint || point->distpoint->type != 0) continue;
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            const QString url = uriOf(sk_GENERAL_NAME_value(names, j));
            if (!url.isEmpty() && !urls.contains(url)) urls << url;
        }
    }
    CRL_DIST_POINTS_free(points);
    return urls;
}

std::vector<std::shared_ptr<X509>> issuersFromAia(X509* certificate, const Deadline& deadline, QStringList* problems) {
    const NetworkSettings settings = networkSettings();
    for (const QString& url : caIssuersUrls(certificate)) {
        const QString path = cacheFile(QStringLiteral("aia"), url.toUtf8());
        std::vector<std::shared_ptr<X509>> issuers = issuersIn(path, certificate, settings.maxCertificateBytes);
        if (issuers.empty()) {
            try {
                fetchToFile(url, path, settings.maxCertificateBytes, deadline);
            } catch (const Error& e) {
                if (problems) *problems << errorText(e);
                continue;
            }
            issuers = issuersIn(path, certificate, settings.maxCertificateBytes);
            if (issuers.empty()) {
                QFile::remove(path);  // what is not an issuer of it is not kept
                if (problems) *problems << QStringLiteral("%1 não trouxe o certificado do emissor").arg(url);
                continue;
            }
        }
        const QDateTime fetchedAt = QFileInfo(path).lastModified().toUTC();
        const std::lock_guard lock(originsMutex);
        for (const auto& issuer : issuers) origins[thumbprintOf(issuer.get())] = {url, fetchedAt};
        return issuers;
    }
    return {};
}

std::optional<IssuerOrigin> aiaOrigin(X509* certificate) {
    const QString thumbprint = thumbprintOf(certificate);
    const std::lock_guard lock(originsMutex);
    const auto found = origins.find(thumbprint);
    if (found == origins.end()) return std::nullopt;
    return found->second;
}

}  // namespace norvane::pki

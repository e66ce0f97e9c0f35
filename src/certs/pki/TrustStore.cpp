#include "certs/pki/TrustStore.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <QByteArray>
#include <QtGlobal>
#include <algorithm>
#include <mutex>

#include "certs/pki/AiaIssuers.h"
#include "certs/pki/BundledCertificates.h"
#include "certs/pki/Certificate.h"
#include "core/Error.h"

namespace norvane::pki {

namespace {

// What the system's trust anchors are read from (SSL_CERT_FILE / SSL_CERT_DIR or OpenSSL's
// defaults) and how those files stand now: a change of either means new anchors.
QByteArray anchorsState() {
    QByteArray state;
    const auto add = [&state](const char* variable, const char* fallback) {
        const QByteArray path = qEnvironmentVariableIsSet(variable) ? qgetenv(variable) : QByteArray(fallback);
        struct stat entry {};
        const bool found = ::stat(path.constData(), &entry) == 0;
        state += path + '\n';
        if (found)
            state += QByteArray::number(qint64(entry.st_ino)) + ' ' + QByteArray::number(qint64(entry.st_size)) + ' ' +
                     QByteArray::number(qint64(entry.st_mtim.tv_sec)) + '.' +
                     QByteArray::number(qint64(entry.st_mtim.tv_nsec));
        state += '\n';
    };
    add(X509_get_default_cert_file_env(), X509_get_default_cert_file());
    add(X509_get_default_cert_dir_env(), X509_get_default_cert_dir());
    return state;
}

QString pathFrom(const char* variable, const char* fallback) {
    return qEnvironmentVariableIsSet(variable) ? qEnvironmentVariable(variable) : QString::fromLocal8Bit(fallback);
}

QString breakTextOf(int error) {
    switch (error) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
            return QStringLiteral("emissor não encontrado");
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            return QStringLiteral("raiz que não é confiável");
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return QStringLiteral("expirado");
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return QStringLiteral("ainda não é válido");
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
            return QStringLiteral("assinatura inválida");
        case X509_V_ERR_INVALID_CA:
            return QStringLiteral("emissor que não é uma autoridade certificadora");
        default:
            return QString::fromUtf8(X509_verify_cert_error_string(error));
    }
}

}  // namespace

QString systemAnchorsFile() { return pathFrom(X509_get_default_cert_file_env(), X509_get_default_cert_file()); }
QString systemAnchorsFolder() { return pathFrom(X509_get_default_cert_dir_env(), X509_get_default_cert_dir()); }

// The system bundle holds some 150 certificates and takes tens of milliseconds to read,
// and every certificate lookup of a batch verifies: read once, again when the files change.
std::shared_ptr<X509_STORE> trustAnchors() {
    static std::mutex mutex;
    static std::shared_ptr<X509_STORE> anchors;
    static QByteArray anchorsRead;
    const std::shared_ptr<const BundledCertificates> bundled = bundledCertificates();
    const QByteArray state = anchorsState() + bundled->state;
    const std::lock_guard lock(mutex);
    if (!anchors || state != anchorsRead) {
        std::shared_ptr<X509_STORE> fresh(X509_STORE_new(), X509_STORE_free);
        if (!fresh) throw Error(ErrorKind::CryptoError, "Memória insuficiente.");
        // Nothing is fetched: the bundle file and the hashed folder only.
        X509_STORE_set_default_paths(fresh.get());
        for (const auto& root : bundled->roots) X509_STORE_add_cert(fresh.get(), root.get());
        ERR_clear_error();  // a root the system's store holds too is refused as a duplicate
        anchors = std::move(fresh);
        anchorsRead = state;
    }
    return anchors;
}

struct ChainVerifier::Intermediates {
    STACK_OF(X509)* stack = sk_X509_new_null();
    ~Intermediates() { sk_X509_pop_free(stack, X509_free); }
    void add(X509* certificate) {
        X509_up_ref(certificate);
        sk_X509_push(stack, certificate);
    }
};

ChainVerifier::ChainVerifier(const std::vector<std::shared_ptr<X509>>& intermediates) : anchors_(trustAnchors()) {
    auto held = std::make_shared<Intermediates>();
    if (!held->stack) throw Error(ErrorKind::CryptoError, "Memória insuficiente.");
    for (const auto& certificate : intermediates) held->add(certificate.get());
    for (const auto& certificate : bundledCertificates()->intermediates) held->add(certificate.get());
    intermediates_ = std::move(held);
}

ChainVerifier::~ChainVerifier() = default;

std::shared_ptr<const ChainVerifier::Intermediates> ChainVerifier::intermediates() const {
    const std::lock_guard lock(mutex_);
    return intermediates_;
}

bool ChainVerifier::verify(X509* certificate, std::vector<std::shared_ptr<X509>>* chain) const {
    const auto held = intermediates();
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!ctx || X509_STORE_CTX_init(ctx.get(), anchors_.get(), certificate, held->stack) != 1) return false;
    const bool ok = X509_verify_cert(ctx.get()) == 1;
    if (chain) {
        STACK_OF(X509)* found = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 1; found && i < sk_X509_num(found); ++i) {
            X509* issuer = sk_X509_value(found, i);
            X509_up_ref(issuer);
            chain->emplace_back(issuer, X509_free);
        }
    }
    return ok;
}

bool ChainVerifier::completeWithAia(X509* certificate, const Deadline& deadline, QStringList* problems) {
    ChainReport chain = report(certificate);
    if (chain.trusted) return true;
    auto trial = std::make_shared<Intermediates>();
    if (!trial->stack) throw Error(ErrorKind::CryptoError, "Memória insuficiente.");
    const auto held = intermediates();
    for (int i = 0; i < sk_X509_num(held->stack); ++i) trial->add(sk_X509_value(held->stack, i));
    std::vector<QString> seen;
    for (const auto& link : chain.links) seen.push_back(thumbprintOf(link.get()));
    for (int fetched = 0; fetched < kMaxFetchedLinks; ++fetched) {
        if (chain.error != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT &&
            chain.error != X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)
            return false;
        bool added = false;
        for (const auto& issuer : issuersFromAia(chain.links.back().get(), deadline, problems)) {
            const QString thumbprint = thumbprintOf(issuer.get());
            if (std::find(seen.begin(), seen.end(), thumbprint) != seen.end()) continue;  // a loop
            seen.push_back(thumbprint);
            trial->add(issuer.get());
            added = true;
        }
        if (!added) return false;
        std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
        if (!ctx || X509_STORE_CTX_init(ctx.get(), anchors_.get(), certificate, trial->stack) != 1) return false;
        const bool trusted = X509_verify_cert(ctx.get()) == 1;
        ERR_clear_error();
        if (trusted) {
            const std::lock_guard lock(mutex_);
            intermediates_ = trial;
            return true;
        }
        chain = ChainReport{};
        chain.error = X509_STORE_CTX_get_error(ctx.get());
        STACK_OF(X509)* found = X509_STORE_CTX_get0_chain(ctx.get());
        for (int i = 0; found && i < sk_X509_num(found); ++i) {
            X509* link = sk_X509_value(found, i);
            X509_up_ref(link);
            chain.links.emplace_back(link, X509_free);
        }
        if (chain.links.empty()) return false;
    }
    return false;
}

ChainReport ChainVerifier::report(X509* certificate, std::optional<std::time_t> at) const {
    ChainReport report;
    const auto held = intermediates();
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!ctx || X509_STORE_CTX_init(ctx.get(), anchors_.get(), certificate, held->stack) != 1)
        throw Error(ErrorKind::CryptoError, "Memória insuficiente.");
    if (at) X509_STORE_CTX_set_time(ctx.get(), 0, *at);
    report.trusted = X509_verify_cert(ctx.get()) == 1;
    ERR_clear_error();
    if (STACK_OF(X509)* found = X509_STORE_CTX_get0_chain(ctx.get())) {
        for (int i = 0; i < sk_X509_num(found); ++i) {
            X509* link = sk_X509_value(found, i);
            X509_up_ref(link);
            report.links.emplace_back(link, X509_free);
        }
    }
    if (report.links.empty()) {
        X509_up_ref(certificate);
        report.links.emplace_back(certificate, X509_free);
    }
    if (!report.trusted) {
        report.error = X509_STORE_CTX_get_error(ctx.get());
        report.errorDepth = X509_STORE_CTX_get_error_depth(ctx.get());
        report.breakText = breakTextOf(report.error);
    }
    return report;
}

std::vector<std::shared_ptr<X509>> ChainVerifier::chainWithoutRoot(X509* certificate) const {
    std::vector<std::shared_ptr<X509>> chain;
    verify(certificate, &chain);
    while (!chain.empty() && selfSigned(chain.back().get())) chain.pop_back();
    return chain;
}

}  // namespace norvane::pki

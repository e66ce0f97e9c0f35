#include "certs/pki/TrustStore.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <QByteArray>
#include <QtGlobal>
#include <mutex>

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

}  // namespace

// The system bundle holds some 150 certificates and takes tens of milliseconds to read,
// and every certificate lookup of a batch verifies: read once, again when the files change.
std::shared_ptr<X509_STORE> trustAnchors() {
    static std::mutex mutex;
    static std::shared_ptr<X509_STORE> anchors;
    static QByteArray anchorsRead;
    const QByteArray state = anchorsState();
    const std::lock_guard lock(mutex);
    if (!anchors || state != anchorsRead) {
        std::shared_ptr<X509_STORE> fresh(X509_STORE_new(), X509_STORE_free);
        if (!fresh) throw Error(ErrorKind::CryptoError, "Memória insuficiente.");
        // Nothing is fetched: the bundle file and the hashed folder only.
        X509_STORE_set_default_paths(fresh.get());
        anchors = std::move(fresh);
        anchorsRead = state;
    }
    return anchors;
}

struct ChainVerifier::Intermediates {
    STACK_OF(X509)* stack = sk_X509_new_null();
    ~Intermediates() { sk_X509_pop_free(stack, X509_free); }
};

ChainVerifier::ChainVerifier() : anchors_(trustAnchors()), intermediates_(std::make_unique<Intermediates>()) {
    if (!intermediates_->stack) throw Error(ErrorKind::CryptoError, "Memória insuficiente.");
}

ChainVerifier::ChainVerifier(const std::vector<std::shared_ptr<X509>>& intermediates) : ChainVerifier() {
    for (const auto& certificate : intermediates) addIntermediate(certificate);
}

ChainVerifier::~ChainVerifier() = default;

void ChainVerifier::addIntermediate(const std::shared_ptr<X509>& certificate) {
    X509_up_ref(certificate.get());
    sk_X509_push(intermediates_->stack, certificate.get());
}

ChainCheck ChainVerifier::check(X509* certificate, std::optional<std::time_t> at) const {
    ChainCheck result;
    std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), X509_STORE_CTX_free);
    if (!certificate || !ctx || X509_STORE_CTX_init(ctx.get(), anchors_.get(), certificate, intermediates_->stack) != 1) {
        result.error = X509_V_ERR_UNSPECIFIED;
        return result;
    }
    if (at) X509_VERIFY_PARAM_set_time(X509_STORE_CTX_get0_param(ctx.get()), *at);
    result.trusted = X509_verify_cert(ctx.get()) == 1;
    if (!result.trusted) {
        result.error = X509_STORE_CTX_get_error(ctx.get());
        result.errorDepth = X509_STORE_CTX_get_error_depth(ctx.get());
    }
    STACK_OF(X509)* found = X509_STORE_CTX_get0_chain(ctx.get());
    for (int i = 0; found && i < sk_X509_num(found); ++i) {
        X509* link = sk_X509_value(found, i);
        X509_up_ref(link);
        result.chain.emplace_back(link, X509_free);
    }
    return result;
}

bool ChainVerifier::verify(X509* certificate, std::vector<std::shared_ptr<X509>>* chain) const {
    ChainCheck checked = check(certificate);
    if (chain && !checked.chain.empty()) chain->insert(chain->end(), checked.chain.begin() + 1, checked.chain.end());
    return checked.trusted;
}

std::vector<std::shared_ptr<X509>> ChainVerifier::chainWithoutRoot(X509* certificate) const {
    std::vector<std::shared_ptr<X509>> chain;
    verify(certificate, &chain);
    while (!chain.empty() && selfSigned(chain.back().get())) chain.pop_back();
    return chain;
}

}  // namespace norvane::pki

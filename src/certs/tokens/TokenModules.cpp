// Reading the tokens: the modules of the run (p11-kit's proxy and the vendor drivers),
// loaded anew only when their slot lists change, and the certificates they hold.

#include "certs/tokens/TokenModules.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

namespace norvane::tokens {

const std::vector<VendorDriver>& vendorDrivers() {
    // Where the vendors' Debian/Ubuntu installers put their PKCS#11 drivers. OpenSC and any
    // driver registered with p11-kit come through the proxy and need no line here.
    static const QStringList lib = {"/usr/lib", "/usr/lib/x86_64-linux-gnu", "/usr/lib64", "/usr/local/lib",
                                    "/usr/lib/pkcs11", "/usr/lib/x86_64-linux-gnu/pkcs11"};
    static const std::vector<VendorDriver> table = {
        {"SafeNet Authentication Client", lib + QStringList{"/usr/lib/safenet", "/opt/safenet/lib", "/opt/SafenetAuthenticationClient/lib"},
         {"libeToken.so", "libeTPkcs11.so"}},
        {"SafeSign / Giesecke+Devrient", lib + QStringList{"/usr/lib/safesign", "/opt/safesign/lib", "/opt/gd/safesign/lib"},
         {"libaetpkss.so", "libaetpkss.so.*"}},
        {"Thales / Gemalto IDPrime", lib + QStringList{"/usr/lib/idprime", "/opt/gemalto/lib", "/opt/thales/lib", "/opt/idprime/lib"},
         {"libIDPrimePKCS11.so"}},
        {"Watchdata", lib + QStringList{"/usr/lib/watchdata/ICP/lib", "/usr/lib/watchdata/lib", "/opt/watchdata/lib", "/opt/watchdata/lib64"},
         {"libwdpkcs_icp.so"}},
    };
    return table;
}

namespace detail {

QString openSslText() {
    QString text;
    while (unsigned long e = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(e, buffer, sizeof buffer);
        if (!text.isEmpty()) text += "; ";
        text += QString::fromUtf8(buffer);
    }
    return text;
}

QString text(const char* s) { return s ? QString::fromUtf8(s).trimmed() : QString(); }
QString text(const unsigned char* s, size_t n) {
    return QString::fromUtf8(reinterpret_cast<const char*>(s), static_cast<qsizetype>(n)).trimmed();
}

QString tokenKey(const QString& manufacturer, const QString& model, const QString& serial, const QString& label) {
    return manufacturer + '\n' + model + '\n' + serial + '\n' + label;
}
QString tokenKey(const TokenLocation& where) { return tokenKey(where.manufacturer, where.model, where.serial, where.label); }
QString tokenKey(const PKCS11_TOKEN* t) {
    return tokenKey(text(t->manufacturer), text(t->model), text(t->serialnr), text(t->label));
}
QString tokenKey(const CK_TOKEN_INFO& info) {
    return tokenKey(text(info.manufacturerID, sizeof info.manufacturerID), text(info.model, sizeof info.model),
                    text(info.serialNumber, sizeof info.serialNumber), text(info.label, sizeof info.label));
}

namespace {

// p11-kit's trust module ("System Trust", "Default Trust") holds the system's CA
// certificates: trust anchors, never the user's own, and well over a hundred of them.
// Where the proxy is set to load it, its objects are not read.
bool isTrustModuleToken(const PKCS11_TOKEN* t) {
    return text(t->manufacturer) == QLatin1String("PKCS#11 Kit") && text(t->model) == QLatin1String("p11-kit-trust");
}

}  // namespace

Module::~Module() {
    unload();
    if (ctx_) PKCS11_CTX_free(ctx_);
}

void Module::reload() {
    unload();
    if (!ctx_) ctx_ = PKCS11_CTX_new();
    if (!ctx_) throw Error(ErrorKind::TokenError, "Não foi possível iniciar o acesso a cartões e tokens.");
    ERR_clear_error();
    if (PKCS11_CTX_load(ctx_, path_.toLocal8Bit().constData()) != 0)
        throw Error(ErrorKind::TokenError,
                    QString("Não foi possível carregar o módulo PKCS#11 %1: %2").arg(path_, openSslText()));
    loaded_ = true;
    raw_.open(path_);
    // With no reader and no token (p11-kit's proxy with no module, a driver before its
    // reader is plugged in) the list has no slot; libp11 fails on an empty list with
    // nothing queued, so the slots are counted first: none is an empty list.
    CK_ULONG slotCount = 0;
    const bool none = raw_.functions && raw_.functions->C_GetSlotList(CK_FALSE, nullptr, &slotCount) == CKR_OK && slotCount == 0;
    if (!none && PKCS11_enumerate_slots(ctx_, &slots_, &count_) != 0) {
        slots_ = nullptr;
        count_ = 0;
        const QString reason = openSslText();
        throw Error(ErrorKind::TokenError,
                    "Não foi possível listar os cartões e tokens conectados: " +
                        (reason.isEmpty() ? QStringLiteral("o módulo não informou o motivo") : reason));
    }
    listed_ = raw_.tokens();
}

bool Module::holdsToken() const {
    for (unsigned i = 0; i < count_; ++i)
        if (slots_[i].token && slots_[i].token->initialized && !isTrustModuleToken(slots_[i].token)) return true;
    return false;
}

void Module::unload() {
    keys_.clear();
    certificates_.reset();
    raw_.close();
    listed_.reset();
    if (slots_) PKCS11_release_all_slots(ctx_, slots_, count_);
    slots_ = nullptr;
    count_ = 0;
    if (loaded_) PKCS11_CTX_unload(ctx_);
    loaded_ = false;
    inUse = false;
}

bool Module::changed() const {
    if (!loaded_) return true;
    const auto now = raw_.tokens();
    return !now || !listed_ || *now != *listed_;
}

std::vector<PKCS11_SLOT*> Module::presentTokens() {
    std::vector<PKCS11_SLOT*> out;
    for (unsigned i = 0; i < count_; ++i)
        if (slots_[i].token && slots_[i].token->initialized) out.push_back(&slots_[i]);
    return out;
}

PKCS11_SLOT* Module::find(const TokenLocation& where) {
    const QString key = tokenKey(where);
    for (PKCS11_SLOT* slot : presentTokens())
        if (tokenKey(slot->token) == key) return slot;
    return nullptr;
}

const std::vector<TokenCertificate>& Module::certificates() {
    if (certificates_) return *certificates_;
    std::vector<TokenCertificate> out;
    for (PKCS11_SLOT* slot : presentTokens()) {
        PKCS11_TOKEN* token = slot->token;
        if (isTrustModuleToken(token)) continue;
        PKCS11_CERT* certs = nullptr;
        unsigned n = 0;
        // A token that cannot be read (pulled out right now, a faulty card) adds nothing;
        // the others still show.
        if (PKCS11_enumerate_certs(token, &certs, &n) != 0) {
            ERR_clear_error();
            continue;
        }
        for (unsigned i = 0; i < n; ++i) {
            if (!certs[i].x509) continue;
            X509* copy = X509_dup(certs[i].x509);
            if (!copy) continue;
            TokenCertificate c;
            c.certificate.reset(copy, X509_free);
            c.location.serial = text(token->serialnr);
            c.location.label = text(token->label);
            c.location.manufacturer = text(token->manufacturer);
            c.location.model = text(token->model);
            c.location.id = QByteArray(reinterpret_cast<const char*>(certs[i].id), static_cast<int>(certs[i].id_len));
            c.location.module = path_;
            out.push_back(std::move(c));
        }
    }
    certificates_ = std::move(out);
    return *certificates_;
}

std::shared_ptr<EVP_PKEY> Module::key(PKCS11_SLOT* slot, const TokenLocation& where) {
    const QString name = tokenKey(where) + '\n' + QString::fromLatin1(where.id.toHex());
    if (auto kept = keys_.find(name); kept != keys_.end()) return kept->second;
    PKCS11_KEY* keys = nullptr;
    unsigned n = 0;
    if (PKCS11_enumerate_keys(slot->token, &keys, &n) != 0) {
        ERR_clear_error();
        return nullptr;
    }
    for (unsigned i = 0; i < n; ++i) {
        if (keys[i].isPrivate && keys[i].id_len == static_cast<size_t>(where.id.size()) &&
            QByteArray(reinterpret_cast<const char*>(keys[i].id), static_cast<int>(keys[i].id_len)) == where.id) {
            std::shared_ptr<EVP_PKEY> pkey(PKCS11_get_private_key(&keys[i]), EVP_PKEY_free);
            if (pkey) keys_[name] = pkey;
            return pkey;
        }
    }
    return nullptr;
}

std::vector<TokenReport> Module::slotReports() {
    std::vector<TokenReport> out;
    CK_FUNCTION_LIST_PTR f = raw_.functions;
    CK_ULONG n = 0;
    if (!f || f->C_GetSlotList(CK_FALSE, nullptr, &n) != CKR_OK) return out;
    std::vector<CK_SLOT_ID> ids(n);
    if (n && f->C_GetSlotList(CK_FALSE, ids.data(), &n) != CKR_OK) return out;
    const std::vector<TokenCertificate>& read = certificates();
    for (CK_ULONG i = 0; i < n; ++i) {
        TokenReport slot;
        CK_SLOT_INFO slotInfo;
        if (f->C_GetSlotInfo(ids[i], &slotInfo) != CKR_OK) continue;
        slot.reader = text(slotInfo.slotDescription, sizeof slotInfo.slotDescription);
        CK_TOKEN_INFO info;
        slot.present = (slotInfo.flags & CKF_TOKEN_PRESENT) && f->C_GetTokenInfo(ids[i], &info) == CKR_OK;
        if (slot.present) {
            slot.label = text(info.label, sizeof info.label);
            slot.manufacturer = text(info.manufacturerID, sizeof info.manufacturerID);
            slot.model = text(info.model, sizeof info.model);
            slot.serial = text(info.serialNumber, sizeof info.serialNumber);
            slot.flags = info.flags;
            slot.minPinLength = info.ulMinPinLen;
            slot.maxPinLength = info.ulMaxPinLen;
            const QString key = tokenKey(info);
            for (const TokenCertificate& c : read)
                if (tokenKey(c.location) == key) slot.certificates.push_back(c.certificate);
        }
        out.push_back(std::move(slot));
    }
    return out;
}

PinRules Module::pinRules(const TokenLocation& where) const {
    PinRules rules;
    CK_FUNCTION_LIST_PTR f = raw_.functions;
    CK_ULONG n = 0;
    if (!f || f->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK) return rules;
    std::vector<CK_SLOT_ID> ids(n);
    if (n && f->C_GetSlotList(CK_TRUE, ids.data(), &n) != CKR_OK) return rules;
    const QString wanted = tokenKey(where);
    for (CK_ULONG i = 0; i < n; ++i) {
        CK_TOKEN_INFO info;
        if (f->C_GetTokenInfo(ids[i], &info) != CKR_OK || tokenKey(info) != wanted) continue;
        rules.minLength = std::max<CK_ULONG>(1, info.ulMinPinLen);
        // Some drivers give a maximum below the minimum, or an "effectively infinite" one: no bound then.
        rules.maxLength = info.ulMaxPinLen >= rules.minLength && info.ulMaxPinLen < 1024 ? info.ulMaxPinLen : 0;
        rules.pinPad = info.flags & CKF_PROTECTED_AUTHENTICATION_PATH;
        rules.countLow = info.flags & CKF_USER_PIN_COUNT_LOW;
        rules.finalTry = info.flags & CKF_USER_PIN_FINAL_TRY;
        rules.locked = info.flags & CKF_USER_PIN_LOCKED;
        break;
    }
    return rules;
}

void Registry::listModules() {
    if (listed) return;
    const QString proxy = proxyOverride ? *proxyOverride : QString::fromUtf8(NORVANE_P11KIT_PROXY);
    QSet<QString> seen;
    if (!proxy.isEmpty()) {
        modules.push_back(std::make_unique<Module>(proxy, QStringLiteral("p11-kit")));
        seen = p11KitModules(NORVANE_P11KIT_PROXY);
        seen.insert(QFileInfo(proxy).canonicalFilePath());
    }
    for (const VendorDriver& driver : driversOverride ? *driversOverride : vendorDrivers()) {
        for (const QString& folder : driver.folders) {
            for (const QFileInfo& file : QDir(folder).entryInfoList(driver.files, QDir::Files)) {
                const QString real = file.canonicalFilePath();
                if (real.isEmpty() || seen.contains(real)) continue;
                seen.insert(real);
                modules.push_back(std::make_unique<Module>(file.absoluteFilePath(), driver.name));
            }
        }
    }
    listed = true;
}

// Brings every module up to date; one that fails is skipped and its reason kept.
void Registry::refresh(Look look) {
    listModules();
    problems.clear();
    for (auto& m : modules) {
        if (m->loaded() && look == Look::IfChanged && m->inUse && !m->changed()) continue;
        try {
            m->reload();
        } catch (const Error& e) {
            problems << m->path() + ": " + e.message();
            m->unload();
        }
    }
    bool any = false;
    for (auto& m : modules) any = any || m->loaded();
    if (!any && !problems.isEmpty())
        throw Error(ErrorKind::TokenError, problems.first().section(": ", 1));
}


// Never destroyed: finalizing token modules while the process exits gains nothing. The
// PINs it holds are wiped at exit all the same.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

struct WipePinsAtExit {
    ~WipePinsAtExit() {
        Registry& r = registry();
        if (!r.mutex.try_lock()) return;
        for (auto& m : r.modules) m->pins.clear();
        r.mutex.unlock();
    }
} wipePinsAtExit;


}  // namespace detail

using namespace detail;

std::vector<TokenCertificate> readCertificates(Look look) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.refresh(look);
    std::vector<TokenCertificate> out;
    QSet<QByteArray> seen;  // token and certificate: the same token reached through two modules
    for (auto& m : r.modules) {
        if (!m->loaded()) continue;
        for (const TokenCertificate& c : m->certificates()) {
            unsigned char* der = nullptr;
            const int n = i2d_X509(c.certificate.get(), &der);
            if (n <= 0) continue;
            const QByteArray key = tokenKey(c.location).toUtf8() + '\n' + c.location.id.toHex() + '\n' +
                                   QByteArray(reinterpret_cast<const char*>(der), n);
            OPENSSL_free(der);
            if (seen.contains(key)) continue;
            seen.insert(key);
            out.push_back(c);
        }
    }
    return out;
}

bool anyTokenConnected() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& m : r.modules)
        if (m->loaded() && m->holdsToken()) return true;
    return false;
}

void forgetPins() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& m : r.modules) m->pins.clear();
}

std::vector<ModuleReport> describeModules() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    QString failure;
    try {
        r.refresh(Look::IfChanged);
    } catch (const Error& e) {
        failure = e.message();  // every module failed: each says why below
    }
    std::vector<ModuleReport> out;
    for (auto& m : r.modules) {
        ModuleReport report;
        report.path = m->path();
        report.origin = m->origin();
        report.loaded = m->loaded();
        for (const QString& problem : r.problems)
            if (problem.startsWith(m->path() + ": ")) report.problem = problem.mid(m->path().size() + 2);
        if (report.loaded) report.readers = m->slotReports();
        out.push_back(std::move(report));
    }
    return out;
}

QStringList p11KitRegisteredModules() {
    QStringList out = p11KitModules(QString::fromUtf8(NORVANE_P11KIT_PROXY)).values();
    out.sort();
    return out;
}

QStringList moduleProblems() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.problems;
}

void setProxyModuleForTesting(const QString& path) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.unloadAll();
    r.proxyOverride = path;
}

void setVendorDriversForTesting(const std::vector<VendorDriver>& drivers) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.unloadAll();
    r.driversOverride = drivers;
}

void restoreDefaultModulesForTesting() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.unloadAll();
    r.proxyOverride.reset();
    r.driversOverride.reset();
}

}  // namespace norvane::tokens

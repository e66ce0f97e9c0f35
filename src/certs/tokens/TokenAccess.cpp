#include "certs/tokens/TokenAccess.h"

#include <dlfcn.h>
#include <libp11.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ui.h>
#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "core/Background.h"
#include "core/Dialogs.h"

namespace norvane::tokens {

using CAPICOM_TLB::CapicomError;
using CAPICOM_TLB::TokenLocation;

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

namespace {

// PKCS#11 return values we tell apart.
constexpr unsigned long kPinIncorrect = 0xA0;
constexpr unsigned long kPinInvalid = 0xA1;
constexpr unsigned long kPinLenRange = 0xA2;
constexpr unsigned long kPinLocked = 0xA4;
constexpr unsigned long kFunctionCanceled = 0x50;

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

// The PKCS#11 return value of libp11's last failure (0 when it left none).
unsigned long lastCkr() {
    unsigned long found = 0;
    while (unsigned long e = ERR_get_error()) {
        if (ERR_GET_LIB(e) == ERR_get_CKR_code()) found = ERR_GET_REASON(e);
    }
    return found;
}

CapicomError keyMissing() {
    return CapicomError(CAPICOM_TLB::NTE_BAD_KEYSET,
                        "Chave do certificado não encontrada: o cartão ou token USB que a guarda não está "
                        "conectado ou não contém a chave privada do certificado.");
}
CapicomError wrongPin() {
    return CapicomError(CAPICOM_TLB::SCARD_W_WRONG_CHV,
                        "PIN incorreto. Atenção: após algumas tentativas erradas o PIN é bloqueado.");
}
CapicomError lockedPin() {
    return CapicomError(CAPICOM_TLB::SCARD_W_CHV_BLOCKED,
                        "PIN bloqueado. Desbloqueie o cartão ou token com o PUK (aplicativo do fabricante) "
                        "antes de assinar.");
}
CapicomError cancelled() { return CapicomError(CAPICOM_TLB::ERROR_CANCELLED, "Operação cancelada pelo usuário."); }

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

// p11-kit's trust module ("System Trust", "Default Trust") holds the system's CA
// certificates: trust anchors, never the user's own, and well over a hundred of them.
// Where the proxy is set to load it, its objects are not read.
bool isTrustModuleToken(const PKCS11_TOKEN* t) {
    return text(t->manufacturer) == QLatin1String("PKCS#11 Kit") && text(t->model) == QLatin1String("p11-kit-trust");
}

// A PIN in memory: never copied, wiped when let go.
class Pin {
public:
    Pin() = default;
    explicit Pin(const QString& typed) {
        const QByteArray utf8 = typed.toUtf8();
        bytes_.assign(utf8.constData(), utf8.constData() + utf8.size());
        bytes_.push_back('\0');
        QByteArray& scratch = const_cast<QByteArray&>(utf8);
        OPENSSL_cleanse(scratch.data(), static_cast<size_t>(scratch.size()));
    }
    Pin(Pin&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
    Pin& operator=(Pin&& other) noexcept {
        if (this != &other) {
            wipe();
            bytes_ = std::move(other.bytes_);
            other.bytes_.clear();
        }
        return *this;
    }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() { wipe(); }

    bool empty() const { return bytes_.empty(); }
    const char* c_str() const { return bytes_.empty() ? "" : bytes_.data(); }
    void wipe() {
        if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
        bytes_.clear();
    }

private:
    std::vector<char> bytes_;
};

std::optional<QString> askPin(const QString& label, const QString& message) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) return norvane::dialogs().askPin(label, message);
    if (norvane::abortRequested()) return std::nullopt;
    std::optional<QString> answer;
    QMetaObject::invokeMethod(
        app, [&] { answer = norvane::dialogs().askPin(label, message); }, Qt::BlockingQueuedConnection);
    return answer;
}

// A key with CKA_ALWAYS_AUTHENTICATE wants the PIN again for each use; libp11 asks for
// it through an OpenSSL UI method while it signs. Ours answers with the PIN at hand and
// never prompts there (the token lock is held while signing): with none at hand it says
// so, and the signature is made again once the user has typed it.
struct KeyUseAnswer {
    const Pin* pin = nullptr;
    bool wanted = false;    // the key asked and there was no PIN
    bool supplied = false;  // the key asked and got the PIN
};

int answerKeyUsePrompt(UI* ui, UI_STRING* uis) {
    if (UI_get_string_type(uis) != UIT_PROMPT && UI_get_string_type(uis) != UIT_VERIFY) return 1;
    auto* answer = static_cast<KeyUseAnswer*>(UI_get0_user_data(ui));
    if (!answer) return 0;
    if (!answer->pin || answer->pin->empty()) {
        answer->wanted = true;
        return 0;
    }
    answer->supplied = true;
    return UI_set_result(ui, uis, answer->pin->c_str()) >= 0 ? 1 : 0;
}

UI_METHOD* keyUsePromptMethod() {
    static UI_METHOD* method = [] {
        UI_METHOD* m = UI_create_method("norvane PIN");
        UI_method_set_reader(m, answerKeyUsePrompt);
        return m;
    }();
    return method;
}

// The module's own function list, for the look at its slot list: a load of libp11 may
// not be disturbed (and the p11-kit proxy hands each caller a state of its own).
struct RawModule {
    void* handle = nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    bool initializedByUs = false;

    void open(const QString& path) {
        handle = dlopen(path.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle, "C_GetFunctionList"));
        if (!get || get(&functions) != CKR_OK || !functions) {
            functions = nullptr;
            return;
        }
        // Most modules hand out one function list, which libp11 has initialized already (a
        // second C_Initialize could even start it over); p11-kit's proxy hands out a state
        // of its own, to be initialized and finalized by us.
        CK_ULONG n = 0;
        if (functions->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_CRYPTOKI_NOT_INITIALIZED) return;
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        const CK_RV rv = functions->C_Initialize(&args);
        initializedByUs = rv == CKR_OK;
        if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) functions = nullptr;
    }
    void close() {
        if (functions && initializedByUs) functions->C_Finalize(nullptr);
        functions = nullptr;
        initializedByUs = false;
        if (handle) dlclose(handle);
        handle = nullptr;
    }

    // The present tokens as the module lists them now; nothing when the list fails.
    std::optional<std::vector<QString>> tokens() const {
        if (!functions) return std::nullopt;
        CK_ULONG n = 0;
        if (functions->C_GetSlotList(CK_TRUE, nullptr, &n) != CKR_OK) return std::nullopt;
        std::vector<CK_SLOT_ID> ids(n);
        if (n && functions->C_GetSlotList(CK_TRUE, ids.data(), &n) != CKR_OK) return std::nullopt;
        std::vector<QString> out;
        for (CK_ULONG i = 0; i < n; ++i) {
            CK_TOKEN_INFO info;
            if (functions->C_GetTokenInfo(ids[i], &info) != CKR_OK) return std::nullopt;
            out.push_back(tokenKey(text(info.manufacturerID, sizeof info.manufacturerID), text(info.model, sizeof info.model),
                                   text(info.serialNumber, sizeof info.serialNumber), text(info.label, sizeof info.label)) +
                          ((info.flags & CKF_TOKEN_INITIALIZED) ? "" : "\n-"));
        }
        std::sort(out.begin(), out.end());
        return out;
    }
};

// One PKCS#11 module (p11-kit's proxy or a vendor driver), loaded through libp11.
class Module {
public:
    explicit Module(QString path) : path_(std::move(path)) {}

    const QString& path() const { return path_; }
    bool loaded() const { return loaded_; }
    // A login or a signature was made since the last load: reloading would end it.
    bool inUse = false;
    std::map<QString, Pin> pins;  // by token: PINs a key wants for every use
    std::set<QString> alwaysAuthenticate;  // keys seen asking for the PIN at each use

    void reload() {
        unload();
        if (!ctx_) ctx_ = PKCS11_CTX_new();
        if (!ctx_) throw CapicomError(CAPICOM_TLB::NTE_FAIL, "Não foi possível iniciar o acesso a cartões e tokens.");
        ERR_clear_error();
        if (PKCS11_CTX_load(ctx_, path_.toLocal8Bit().constData()) != 0)
            throw CapicomError(CAPICOM_TLB::NTE_FAIL,
                               QString("Não foi possível carregar o módulo PKCS#11 %1: %2").arg(path_, openSslText()));
        loaded_ = true;
        if (PKCS11_enumerate_slots(ctx_, &slots_, &count_) != 0) {
            slots_ = nullptr;
            count_ = 0;
            throw CapicomError(CAPICOM_TLB::NTE_FAIL,
                               "Não foi possível listar os cartões e tokens conectados: " + openSslText());
        }
        raw_.open(path_);
        listed_ = raw_.tokens();
    }

    void unload() {
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

    // The slot list differs from the one of the load (or cannot be read).
    bool changed() const {
        if (!loaded_) return true;
        const auto now = raw_.tokens();
        return !now || !listed_ || *now != *listed_;
    }

    std::vector<PKCS11_SLOT*> presentTokens() {
        std::vector<PKCS11_SLOT*> out;
        for (unsigned i = 0; i < count_; ++i)
            if (slots_[i].token && slots_[i].token->initialized) out.push_back(&slots_[i]);
        return out;
    }

    PKCS11_SLOT* find(const TokenLocation& where) {
        const QString key = tokenKey(where);
        for (PKCS11_SLOT* slot : presentTokens())
            if (tokenKey(slot->token) == key) return slot;
        return nullptr;
    }

    void answerKeyUseWith(KeyUseAnswer* answer) {
        if (ctx_) PKCS11_set_ui_method(ctx_, keyUsePromptMethod(), answer);
    }

    // The certificates of the tokens, read once per load.
    const std::vector<TokenCertificate>& certificates() {
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

    // The private key `where` names, found once per load; null when the token has none.
    std::shared_ptr<EVP_PKEY> key(PKCS11_SLOT* slot, const TokenLocation& where) {
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
    void dropKeys() { keys_.clear(); }

private:
    QString path_;
    PKCS11_CTX* ctx_ = nullptr;
    PKCS11_SLOT* slots_ = nullptr;
    unsigned count_ = 0;
    bool loaded_ = false;
    RawModule raw_;
    std::optional<std::vector<QString>> listed_;
    std::optional<std::vector<TokenCertificate>> certificates_;
    std::map<QString, std::shared_ptr<EVP_PKEY>> keys_;
};

// The modules that p11-kit's proxy loads: the "module:" of every registration that the
// proxy is not told to leave out.
QSet<QString> p11KitModules(const QString& proxy) {
    QSet<QString> out;
    const QString moduleDir = QFileInfo(proxy).absolutePath() + "/pkcs11";
    for (const QString& folder : {QDir::homePath() + "/.config/pkcs11/modules", QStringLiteral("/etc/pkcs11/modules"),
                                  QStringLiteral("/usr/share/p11-kit/modules")}) {
        for (const QFileInfo& info : QDir(folder).entryInfoList({"*.module"}, QDir::Files)) {
            QFile f(info.filePath());
            if (!f.open(QIODevice::ReadOnly)) continue;
            QString module;
            bool proxied = true;
            for (const QByteArray& line : f.readAll().split('\n')) {
                const QString t = QString::fromUtf8(line).trimmed();
                const qsizetype colon = t.indexOf(':');
                if (t.startsWith('#') || colon < 0) continue;
                const QString name = t.left(colon).trimmed(), value = t.mid(colon + 1).trimmed();
                if (name == "module") module = value;
                if (name == "disable-in" && value.contains("p11-kit-proxy")) proxied = false;
                if (name == "enable-in" && !value.contains("p11-kit-proxy")) proxied = false;
            }
            if (module.isEmpty() || !proxied) continue;
            if (!module.startsWith('/')) module = moduleDir + '/' + module;
            const QString real = QFileInfo(module).canonicalFilePath();
            if (!real.isEmpty()) out.insert(real);
        }
    }
    return out;
}

// Every module of the program: the proxy first, then each vendor driver found.
class Registry {
public:
    std::mutex mutex;
    std::vector<std::unique_ptr<Module>> modules;
    QStringList problems;
    std::optional<QString> proxyOverride;
    std::optional<std::vector<VendorDriver>> driversOverride;
    bool listed = false;

    void listModules() {
        if (listed) return;
        const QString proxy = proxyOverride ? *proxyOverride : QString::fromUtf8(NORVANE_P11KIT_PROXY);
        QSet<QString> seen;
        if (!proxy.isEmpty()) {
            modules.push_back(std::make_unique<Module>(proxy));
            seen = p11KitModules(NORVANE_P11KIT_PROXY);
            seen.insert(QFileInfo(proxy).canonicalFilePath());
        }
        for (const VendorDriver& driver : driversOverride ? *driversOverride : vendorDrivers()) {
            for (const QString& folder : driver.folders) {
                for (const QFileInfo& file : QDir(folder).entryInfoList(driver.files, QDir::Files)) {
                    const QString real = file.canonicalFilePath();
                    if (real.isEmpty() || seen.contains(real)) continue;
                    seen.insert(real);
                    modules.push_back(std::make_unique<Module>(file.absoluteFilePath()));
                }
            }
        }
        listed = true;
    }

    void unloadAll() {
        for (auto& m : modules) {
            m->unload();
            m->pins.clear();
        }
        modules.clear();
        listed = false;
    }

    // Brings every module up to date; one that fails is skipped and its reason kept.
    void refresh(Look look) {
        listModules();
        problems.clear();
        for (auto& m : modules) {
            if (m->loaded() && look == Look::IfChanged && m->inUse && !m->changed()) continue;
            try {
                m->reload();
            } catch (const CapicomError& e) {
                problems << m->path() + ": " + e.message();
                m->unload();
            }
        }
        bool any = false;
        for (auto& m : modules) any = any || m->loaded();
        if (!any && !problems.isEmpty())
            throw CapicomError(CAPICOM_TLB::NTE_FAIL, problems.first().section(": ", 1));
    }

    Module* byPath(const QString& path) {
        for (auto& m : modules)
            if (m->path() == path) return m.get();
        return nullptr;
    }
};

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

enum class Login { Done, WrongPin, Failed };

Login login(PKCS11_SLOT* slot, const char* pin) {
    ERR_clear_error();
    if (PKCS11_login(slot, 0, pin) == 0) return Login::Done;
    switch (lastCkr()) {
        case kPinIncorrect:
        case kPinInvalid:
        case kPinLenRange:
            return Login::WrongPin;
        case kPinLocked:
            throw lockedPin();
        case kFunctionCanceled:
            throw cancelled();
        default:
            return Login::Failed;
    }
}

}  // namespace

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

QByteArray withPrivateKey(const TokenLocation& where, const std::function<QByteArray(EVP_PKEY*)>& use) {
    Registry& r = registry();
    const QString key = tokenKey(where);
    Pin typed;  // the PIN typed during this call
    bool haveTyped = false;
    QString promptMessage;
    bool reloaded = false;
    bool retried = false;
    // Asks for the PIN with the token lock released: the prompt may take long, and the tokens
    // stay usable meanwhile (also from the GUI thread that shows it).
    const auto askWithoutTheLock = [&](std::unique_lock<std::mutex>& held, const QString& label,
                                       const QString& message) {
        held.unlock();
        std::optional<QString> answer = askPin(label, message);
        if (!answer) throw cancelled();
        typed = Pin(*answer);
        answer->fill(QChar(0));
        haveTyped = true;
    };

    for (;;) {
        std::unique_lock lock(r.mutex);
        r.listModules();
        // The module it was read through, else any other that reaches the same token.
        Module* m = nullptr;
        PKCS11_SLOT* slot = nullptr;
        std::vector<Module*> order;
        Module* own = r.byPath(where.module);
        if (own) order.push_back(own);
        for (auto& each : r.modules)
            if (each.get() != own) order.push_back(each.get());
        for (Module* each : order) {
            if (!each->loaded()) continue;
            if ((slot = each->find(where))) {
                m = each;
                break;
            }
        }
        // Anything amiss gets one fresh look before the key counts as unreachable.
        const auto freshLook = [&](Module* which) {
            if (reloaded) throw keyMissing();
            reloaded = true;
            try {
                if (which)
                    which->reload();
                else
                    r.refresh(Look::IfChanged);
            } catch (const CapicomError&) {
                throw keyMissing();
            }
        };
        if (!slot) {
            freshLook(nullptr);
            continue;
        }
        PKCS11_TOKEN* token = slot->token;

        if (token->loginRequired) {
            int loggedIn = 0;
            if (PKCS11_is_logged_in(slot, 0, &loggedIn) != 0) {
                ERR_clear_error();
                freshLook(m);
                continue;
            }
            if (!loggedIn) {
                if (token->userPinLocked) throw lockedPin();
                if (haveTyped) {
                    const Login result = login(slot, typed.c_str());
                    if (result == Login::WrongPin) throw wrongPin();
                    if (result == Login::Failed) {
                        freshLook(m);
                        continue;
                    }
                    m->inUse = true;
                } else if (auto kept = m->pins.find(key); kept != m->pins.end()) {
                    const Login result = login(slot, kept->second.c_str());
                    if (result != Login::Done) {
                        // The PIN of this run no longer opens the token: it is let go, and
                        // the user is asked.
                        m->pins.erase(kept);
                        if (result == Login::Failed) freshLook(m);
                        continue;
                    }
                    m->inUse = true;
                } else if (token->secureLogin) {
                    // A reader with its own PIN pad: the PIN is typed there.
                    const Login result = login(slot, nullptr);
                    if (result == Login::WrongPin) throw wrongPin();
                    if (result == Login::Failed) {
                        freshLook(m);
                        continue;
                    }
                    m->inUse = true;
                } else {
                    const QString label = text(token->label);
                    // The prompt's own text asks for the PIN; a warning must ask for it too.
                    const QString request = QString("Digite o PIN do cartão ou token \"%1\":").arg(label);
                    if (token->userPinFinalTry)
                        promptMessage = "Atenção: esta é a última tentativa antes do bloqueio do PIN.\n" + request;
                    else if (token->userPinCountLow)
                        promptMessage = "Atenção: o PIN já foi digitado incorretamente.\n" + request;
                    askWithoutTheLock(lock, label, promptMessage);
                    continue;
                }
            }
        }

        const std::shared_ptr<EVP_PKEY> pkey = m->key(slot, where);
        if (!pkey) {
            if (m->changed()) {
                freshLook(m);
                continue;
            }
            throw keyMissing();
        }
        const auto kept = m->pins.find(key);
        KeyUseAnswer answer;
        answer.pin = haveTyped ? &typed : kept != m->pins.end() ? &kept->second : nullptr;
        const QString keyName = key + '\n' + QString::fromLatin1(where.id.toHex());
        if (!answer.pin && m->alwaysAuthenticate.count(keyName)) {
            // The key wants the PIN for this use: asked before the signature starts.
            askWithoutTheLock(lock, text(token->label), QString());
            continue;
        }
        m->answerKeyUseWith(&answer);
        try {
            QByteArray result = use(pkey.get());
            m->answerKeyUseWith(nullptr);
            m->inUse = true;
            // Kept only while a key wants it for every use.
            if (answer.supplied) {
                m->alwaysAuthenticate.insert(keyName);
                if (haveTyped) m->pins[key] = std::move(typed);
            }
            return result;
        } catch (const std::exception& e) {
            m->answerKeyUseWith(nullptr);
            ERR_clear_error();
            if (answer.wanted && !haveTyped) {
                // The key wants the PIN for this use and none was at hand. The signature it
                // began stays pending on the token's session until the module is loaded anew;
                // then the PIN typed now logs in and answers the key.
                m->alwaysAuthenticate.insert(keyName);
                const QString label = text(token->label);
                try {
                    m->reload();
                } catch (const CapicomError&) {
                }
                askWithoutTheLock(lock, label, QString());
                continue;
            }
            if (answer.supplied) {
                // A PIN the key refused is never sent again.
                m->pins.erase(key);
                typed.wipe();
                if (QString::fromUtf8(e.what()).contains("PIN", Qt::CaseInsensitive)) throw wrongPin();
            }
            // A token pulled out while it signed fails in the middle: say so plainly.
            if (m->changed()) {
                bool gone = true;
                try {
                    m->reload();
                    gone = m->find(where) == nullptr;
                } catch (const std::exception&) {
                }
                if (gone) throw keyMissing();
            } else if (!retried && !answer.supplied) {
                // The key handle kept from the last signature may be stale: find it again once.
                retried = true;
                m->dropKeys();
                continue;
            }
            throw;
        }
    }
}

void forgetPins() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& m : r.modules) m->pins.clear();
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

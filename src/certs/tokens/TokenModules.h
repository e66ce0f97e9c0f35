#pragma once
// The inside of the token access: the modules loaded through libp11, the registry of
// every module of the run and the PIN held for a key that wants it at every use. Shared
// by the reading of the tokens (TokenModules.cpp) and the use of their keys (TokenKeys.cpp).

#include <libp11.h>

#include <QString>
#include <QSet>
#include <QStringList>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "certs/tokens/TokenAccess.h"
#include "core/Error.h"
#include "p11-kit/pkcs11.h"

typedef struct ui_method_st UI_METHOD;

namespace norvane::tokens::detail {

QString text(const char* s);
QString text(const unsigned char* s, size_t n);
QString tokenKey(const QString& manufacturer, const QString& model, const QString& serial, const QString& label);
QString tokenKey(const TokenLocation& where);
QString tokenKey(const PKCS11_TOKEN* t);
QString tokenKey(const CK_TOKEN_INFO& info);
QSet<QString> p11KitModules(const QString& proxy);
// Everything OpenSSL queued, as one text (the queue is emptied).
QString openSslText();

Error keyMissing();
Error wrongPin();
Error lockedPin();
Error cancelled();

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

struct KeyUseAnswer {
    const Pin* pin = nullptr;
    bool wanted = false;    // the key asked and there was no PIN
    bool supplied = false;  // the key asked and got the PIN
};

// The OpenSSL UI method through which libp11 asks for a key's PIN while it signs.
UI_METHOD* keyUsePromptMethod();

// The module's own function list, for the look at its slot list: a load of libp11 may
// not be disturbed (and the p11-kit proxy hands each caller a state of its own).
struct RawModule {
    void* handle = nullptr;
    CK_FUNCTION_LIST_PTR functions = nullptr;
    bool initializedByUs = false;

    void open(const QString& path);
    void close();
    // The present tokens as the module lists them now; nothing when the list fails.
    std::optional<std::vector<QString>> tokens() const;
};

// One PKCS#11 module (p11-kit's proxy or a vendor driver), loaded through libp11.
class Module {
public:
    explicit Module(QString path, QString origin = {}) : path_(std::move(path)), origin_(std::move(origin)) {}
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const QString& path() const { return path_; }
    const QString& origin() const { return origin_; }
    bool loaded() const { return loaded_; }
    // A login or a signature was made since the last load: reloading would end it.
    bool inUse = false;
    std::map<QString, Pin> pins;  // by token: PINs a key wants for every use
    std::set<QString> alwaysAuthenticate;  // keys seen asking for the PIN at each use

    void reload();

    void unload();

    // The slot list differs from the one of the load (or cannot be read).
    bool changed() const;

    std::vector<PKCS11_SLOT*> presentTokens();
    // A slot of the last load holds a token ready for use (initialized; not the system's trust store).
    bool holdsToken() const;

    PKCS11_SLOT* find(const TokenLocation& where);

    void answerKeyUseWith(KeyUseAnswer* answer) {
        if (ctx_) PKCS11_set_ui_method(ctx_, keyUsePromptMethod(), answer);
    }

    // The certificates of the tokens, read once per load.
    const std::vector<TokenCertificate>& certificates();

    // The private key `where` names, found once per load; null when the token has none.
    std::shared_ptr<EVP_PKEY> key(PKCS11_SLOT* slot, const TokenLocation& where);
    void dropKeys() { keys_.clear(); }

    // Every slot (also readers with no token) as the module describes it now.
    std::vector<TokenReport> slotReports();
    // The PIN rules of the token `where` names, read from its token information.
    PinRules pinRules(const TokenLocation& where) const;

private:
    QString path_;
    QString origin_;
    PKCS11_CTX* ctx_ = nullptr;
    PKCS11_SLOT* slots_ = nullptr;
    unsigned count_ = 0;
    bool loaded_ = false;
    RawModule raw_;
    std::optional<std::vector<QString>> listed_;
    std::optional<std::vector<TokenCertificate>> certificates_;
    std::map<QString, std::shared_ptr<EVP_PKEY>> keys_;
};

// Every module of the program: the proxy first, then each vendor driver found.
class Registry {
public:
    std::mutex mutex;
    std::vector<std::unique_ptr<Module>> modules;
    QStringList problems;
    std::optional<QString> proxyOverride;
    std::optional<std::vector<VendorDriver>> driversOverride;
    bool listed = false;

    void listModules();

    void unloadAll() {
        for (auto& m : modules) {
            m->unload();
            m->pins.clear();
        }
        modules.clear();
        listed = false;
    }

    // Brings every module up to date; one that fails is skipped and its reason kept.
    void refresh(Look look);

    Module* byPath(const QString& path) {
        for (auto& m : modules)
            if (m->path() == path) return m.get();
        return nullptr;
    }
};

Registry& registry();

}  // namespace norvane::tokens::detail

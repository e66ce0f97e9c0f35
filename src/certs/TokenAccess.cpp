#include "certs/TokenAccess.h"

#include <libp11.h>
#include <openssl/err.h>
#include <openssl/ui.h>

#include <QCoreApplication>
#include <QThread>
#include <map>
#include <mutex>
#include <optional>

#include "core/Background.h"
#include "core/Dialogs.h"

namespace norvane::tokens {

using CAPICOM_TLB::CapicomError;
using CAPICOM_TLB::TokenLocation;

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

QString tokenKey(const TokenLocation& where) {
    return where.manufacturer + '\n' + where.model + '\n' + where.serial + '\n' + where.label;
}

QString text(const char* s) { return s ? QString::fromUtf8(s).trimmed() : QString(); }

// p11-kit's trust module ("System Trust", "Default Trust") holds the system's CA
// certificates: trust anchors, never the user's own, and well over a hundred of them.
// Where the proxy is set to load it, its objects are not read.
bool isTrustModuleToken(const PKCS11_TOKEN* t) {
    return text(t->manufacturer) == QLatin1String("PKCS#11 Kit") && text(t->model) == QLatin1String("p11-kit-trust");
}

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
// it through an OpenSSL UI method. Ours answers with the PIN of this run (asking the
// user only when there is none).
struct KeyUseAnswer {
    QByteArray pin;
    QString label;
};

int answerKeyUsePrompt(UI* ui, UI_STRING* uis) {
    if (UI_get_string_type(uis) != UIT_PROMPT && UI_get_string_type(uis) != UIT_VERIFY) return 1;
    auto* answer = static_cast<KeyUseAnswer*>(UI_get0_user_data(ui));
    if (!answer) return 0;
    if (answer->pin.isEmpty()) {
        const std::optional<QString> typed = askPin(answer->label, QString());
        if (!typed) return 0;
        answer->pin = typed->toUtf8();
    }
    return UI_set_result(ui, uis, answer->pin.constData()) >= 0 ? 1 : 0;
}

UI_METHOD* keyUsePromptMethod() {
    static UI_METHOD* method = [] {
        UI_METHOD* m = UI_create_method("norvane PIN");
        UI_method_set_reader(m, answerKeyUsePrompt);
        return m;
    }();
    return method;
}

// The one module context of the program. Reloading finalizes every module under the
// proxy, which is what makes a token added or removed since the last load visible.
class Module {
public:
    std::mutex mutex;
    std::map<QString, QByteArray> pins;  // PINs typed this run, by token

    bool loaded() const { return loaded_; }

    void reload() {
        unload();
        if (!ctx_) ctx_ = PKCS11_CTX_new();
        if (!ctx_) throw CapicomError(CAPICOM_TLB::NTE_FAIL, "Não foi possível iniciar o acesso a cartões e tokens.");
        ERR_clear_error();
        if (PKCS11_CTX_load(ctx_, NORVANE_P11KIT_PROXY) != 0)
            throw CapicomError(CAPICOM_TLB::NTE_FAIL, QString("Não foi possível carregar o módulo PKCS#11 %1: %2")
                                                          .arg(QString::fromUtf8(NORVANE_P11KIT_PROXY), openSslText()));
        loaded_ = true;
        if (PKCS11_enumerate_slots(ctx_, &slots_, &count_) != 0) {
            slots_ = nullptr;
            count_ = 0;
            throw CapicomError(CAPICOM_TLB::NTE_FAIL,
                               "Não foi possível listar os cartões e tokens conectados: " + openSslText());
        }
    }

    std::vector<PKCS11_SLOT*> presentTokens() {
        std::vector<PKCS11_SLOT*> out;
        for (unsigned i = 0; i < count_; ++i)
            if (slots_[i].token && slots_[i].token->initialized) out.push_back(&slots_[i]);
        return out;
    }

    void answerKeyUseWith(KeyUseAnswer* answer) {
        if (ctx_) PKCS11_set_ui_method(ctx_, keyUsePromptMethod(), answer);
    }

    PKCS11_SLOT* find(const TokenLocation& where) {
        for (PKCS11_SLOT* slot : presentTokens()) {
            const PKCS11_TOKEN* t = slot->token;
            if (text(t->serialnr) == where.serial && text(t->label) == where.label &&
                text(t->manufacturer) == where.manufacturer && text(t->model) == where.model)
                return slot;
        }
        return nullptr;
    }

private:
    void unload() {
        if (slots_) PKCS11_release_all_slots(ctx_, slots_, count_);
        slots_ = nullptr;
        count_ = 0;
        if (loaded_) PKCS11_CTX_unload(ctx_);
        loaded_ = false;
    }

    PKCS11_CTX* ctx_ = nullptr;
    PKCS11_SLOT* slots_ = nullptr;
    unsigned count_ = 0;
    bool loaded_ = false;
};

// Never destroyed: finalizing token modules while the process exits gains nothing.
Module& module() {
    static Module* instance = new Module;
    return *instance;
}

enum class Login { Done, WrongPin, Failed };

Login login(PKCS11_SLOT* slot, const QByteArray* pin) {
    ERR_clear_error();
    if (PKCS11_login(slot, 0, pin ? pin->constData() : nullptr) == 0) return Login::Done;
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

std::vector<TokenCertificate> readCertificates() {
    Module& m = module();
    std::lock_guard lock(m.mutex);
    m.reload();
    std::vector<TokenCertificate> out;
    for (PKCS11_SLOT* slot : m.presentTokens()) {
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
            out.push_back(std::move(c));
        }
    }
    return out;
}

QByteArray withPrivateKey(const TokenLocation& where, const std::function<QByteArray(EVP_PKEY*)>& use) {
    Module& m = module();
    const QString key = tokenKey(where);
    std::optional<QByteArray> typed;  // the PIN typed during this call
    QString promptMessage;
    bool reloaded = false;

    for (;;) {
        std::unique_lock lock(m.mutex);
        // The module of the last look at the tokens serves as long as the token is there;
        // anything amiss gets one fresh look before the key counts as unreachable.
        const auto freshLook = [&] {
            if (reloaded) throw keyMissing();
            m.reload();
            reloaded = true;
        };
        if (!m.loaded()) {
            m.reload();
            reloaded = true;
        }
        PKCS11_SLOT* slot = m.find(where);
        if (!slot) {
            freshLook();
            continue;
        }
        PKCS11_TOKEN* token = slot->token;

        if (token->loginRequired) {
            int loggedIn = 0;
            if (PKCS11_is_logged_in(slot, 0, &loggedIn) != 0) {
                ERR_clear_error();
                freshLook();
                continue;
            }
            if (!loggedIn) {
                if (token->userPinLocked) throw lockedPin();
                if (typed) {
                    const Login result = login(slot, &*typed);
                    if (result == Login::WrongPin) throw wrongPin();
                    if (result == Login::Failed) {
                        freshLook();
                        continue;
                    }
                    m.pins[key] = *typed;
                } else if (auto kept = m.pins.find(key); kept != m.pins.end()) {
                    const Login result = login(slot, &kept->second);
                    if (result != Login::Done) {
                        // The PIN of this run no longer opens the token: ask again.
                        m.pins.erase(kept);
                        if (result == Login::Failed) freshLook();
                        continue;
                    }
                } else if (token->secureLogin) {
                    // A reader with its own PIN pad: the PIN is typed there.
                    const Login result = login(slot, nullptr);
                    if (result == Login::WrongPin) throw wrongPin();
                    if (result == Login::Failed) {
                        freshLook();
                        continue;
                    }
                } else {
                    const QString label = text(token->label);
                    // The prompt's own text asks for the PIN; a warning must ask for it too.
                    const QString request = QString("Digite o PIN do cartão ou token \"%1\":").arg(label);
                    if (token->userPinFinalTry)
                        promptMessage = "Atenção: esta é a última tentativa antes do bloqueio do PIN.\n" + request;
                    else if (token->userPinCountLow)
                        promptMessage = "Atenção: o PIN já foi digitado incorretamente.\n" + request;
                    lock.unlock();  // the prompt may take long; the tokens stay usable meanwhile
                    std::optional<QString> answer = askPin(label, promptMessage);
                    if (!answer) throw cancelled();
                    typed = answer->toUtf8();
                    continue;
                }
            }
        }

        PKCS11_KEY* keys = nullptr;
        unsigned n = 0;
        if (PKCS11_enumerate_keys(token, &keys, &n) != 0) {
            ERR_clear_error();
            freshLook();
            continue;
        }
        PKCS11_KEY* found = nullptr;
        for (unsigned i = 0; i < n && !found; ++i) {
            if (keys[i].isPrivate && keys[i].id_len == static_cast<size_t>(where.id.size()) &&
                QByteArray(reinterpret_cast<const char*>(keys[i].id), static_cast<int>(keys[i].id_len)) == where.id)
                found = &keys[i];
        }
        if (!found) throw keyMissing();
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(PKCS11_get_private_key(found), EVP_PKEY_free);
        if (!pkey) throw keyMissing();
        KeyUseAnswer answer{m.pins.count(key) ? m.pins[key] : QByteArray(), text(token->label)};
        m.answerKeyUseWith(&answer);
        try {
            QByteArray result = use(pkey.get());
            m.answerKeyUseWith(nullptr);
            return result;
        } catch (const std::exception&) {
            m.answerKeyUseWith(nullptr);
            // A token pulled out while it signed fails in the middle: say so plainly.
            pkey.reset();
            ERR_clear_error();
            bool gone = false;
            try {
                m.reload();
                gone = m.find(where) == nullptr;
            } catch (const std::exception&) {
                gone = true;
            }
            if (gone) throw keyMissing();
            throw;
        }
    }
}

void forgetPins() {
    Module& m = module();
    std::lock_guard lock(m.mutex);
    m.pins.clear();
}

}  // namespace norvane::tokens

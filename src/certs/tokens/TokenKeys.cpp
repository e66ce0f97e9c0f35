// Using a token's private key: finding it, logging in (the PIN asked once per token and
// run, a PIN pad used where the reader has one), and answering a key that wants the PIN
// at every use.

#include "certs/tokens/TokenModules.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ui.h>

#include <QCoreApplication>
#include <QThread>

#include "core/Background.h"
#include "core/Dialogs.h"

namespace norvane::tokens {

namespace detail {

Error keyMissing() {
    return Error(ErrorKind::KeyUnreachable,
                 "Chave do certificado não encontrada: o cartão ou token USB que a guarda não está "
                 "conectado ou não contém a chave privada do certificado.");
}
Error wrongPin() {
    return Error(ErrorKind::PinRefused, "PIN incorreto. Atenção: após algumas tentativas erradas o PIN é bloqueado.");
}
Error lockedPin() {
    return Error(ErrorKind::PinLocked,
                 "PIN bloqueado. Desbloqueie o cartão ou token com o PUK (aplicativo do fabricante) "
                 "antes de assinar.");
}
Error cancelled() { return Error(ErrorKind::PinCancelled, "Operação cancelada pelo usuário."); }

namespace {

// A key with CKA_ALWAYS_AUTHENTICATE wants the PIN again for each use; libp11 asks for
// it through an OpenSSL UI method while it signs. Ours answers with the PIN at hand and
// never prompts there (the token lock is held while signing): with none at hand it says
// so, and the signature is made again once the user has typed it.
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

}  // namespace

UI_METHOD* keyUsePromptMethod() {
    static UI_METHOD* method = [] {
        UI_METHOD* m = UI_create_method("norvane PIN");
        UI_method_set_reader(m, answerKeyUsePrompt);
        return m;
    }();
    return method;
}

}  // namespace detail

using namespace detail;

namespace {

// PKCS#11 return values we tell apart.
constexpr unsigned long kPinIncorrect = 0xA0;
constexpr unsigned long kPinInvalid = 0xA1;
constexpr unsigned long kPinLenRange = 0xA2;
constexpr unsigned long kPinLocked = 0xA4;
constexpr unsigned long kFunctionCanceled = 0x50;

bool isWrongPinCode(unsigned long ckr) { return ckr == kPinIncorrect || ckr == kPinInvalid || ckr == kPinLenRange; }

// The PKCS#11 return value that libp11 queued last (0 when it queued none); empties the queue.
unsigned long lastCkr() {
    unsigned long found = 0;
    while (unsigned long e = ERR_get_error()) {
        if (ERR_GET_LIB(e) == ERR_get_CKR_code()) found = ERR_GET_REASON(e);
    }
    return found;
}

// The token refused the PIN given to a key while it signed: libp11's return value is among
// the error's causes, or still queued.
bool refusedPinWhileSigning(const std::exception& failure) {
    if (const auto* error = dynamic_cast<const Error*>(&failure)) {
        for (const Error* link : error->chain()) {
            const unsigned long code = link->libraryCode();
            if (code && ERR_GET_LIB(code) == ERR_get_CKR_code() && isWrongPinCode(ERR_GET_REASON(code))) return true;
        }
    }
    return isWrongPinCode(lastCkr());
}

enum class Login { Done, WrongPin, Failed };

Login login(PKCS11_SLOT* slot, const char* pin) {
    ERR_clear_error();
    if (PKCS11_login(slot, 0, pin) == 0) return Login::Done;
    const unsigned long ckr = lastCkr();
    if (isWrongPinCode(ckr)) return Login::WrongPin;
    if (ckr == kPinLocked) throw lockedPin();
    if (ckr == kFunctionCanceled) throw cancelled();
    return Login::Failed;
}

std::optional<QString> askPin(const PinRequest& request) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread()) return norvane::dialogs().askTokenPin(request);
    if (norvane::abortRequested()) return std::nullopt;
    std::optional<QString> answer;
    QMetaObject::invokeMethod(
        app, [&] { answer = norvane::dialogs().askTokenPin(request); }, Qt::BlockingQueuedConnection);
    return answer;
}

// Tells the user to type the PIN on the reader while its PIN pad waits (and then hides it).
void pinPadWaiting(const QString& label, bool waiting) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || QThread::currentThread() == app->thread())
        norvane::dialogs().pinPadWaiting(label, waiting);
    else
        QMetaObject::invokeMethod(app, [label, waiting] { norvane::dialogs().pinPadWaiting(label, waiting); },
                                  Qt::QueuedConnection);
}

bool withinRules(const QString& pin, const PinRules& rules) {
    const auto length = static_cast<unsigned long>(pin.toUtf8().size());
    return length >= rules.minLength && (rules.maxLength == 0 || length <= rules.maxLength);
}

QString lengthRule(const PinRules& rules) {
    return rules.maxLength ? QStringLiteral("O PIN deste cartão ou token tem de %1 a %2 caracteres.")
                                 .arg(rules.minLength)
                                 .arg(rules.maxLength)
                           : QStringLiteral("O PIN deste cartão ou token tem pelo menos %1 caractere(s).").arg(rules.minLength);
}

// One use of a key: each pass looks for the token, logs in when it must and signs; a pass
// that had to ask for the PIN or look at the tokens anew ends with `Again`.
class KeyUse {
public:
    KeyUse(const TokenLocation& where, const std::function<QByteArray(EVP_PKEY*)>& use)
        : r_(registry()), where_(where), use_(use), key_(tokenKey(where)) {}

    QByteArray run() {
        for (;;) {
            std::unique_lock lock(r_.mutex);
            if (std::optional<QByteArray> result = pass(lock)) return std::move(*result);
        }
    }

private:
    std::optional<QByteArray> pass(std::unique_lock<std::mutex>& lock) {
        r_.listModules();
        const auto [m, slot] = locate();
        if (!slot) {
            freshLook(nullptr);
            return std::nullopt;
        }
        if (slot->token->loginRequired && !loggedIn(lock, *m, slot)) return std::nullopt;
        return sign(lock, *m, slot);
    }

    // The module it was read through, else any other that reaches the same token.
    std::pair<Module*, PKCS11_SLOT*> locate() {
        std::vector<Module*> order;
        Module* own = r_.byPath(where_.module);
        if (own) order.push_back(own);
        for (auto& each : r_.modules)
            if (each.get() != own) order.push_back(each.get());
        for (Module* each : order) {
            if (!each->loaded()) continue;
            if (PKCS11_SLOT* slot = each->find(where_)) return {each, slot};
        }
        return {nullptr, nullptr};
    }

    // Anything amiss gets one fresh look before the key counts as unreachable.
    void freshLook(Module* which) {
        if (reloaded_) throw keyMissing();
        reloaded_ = true;
        try {
            if (which)
                which->reload();
            else
                r_.refresh(Look::IfChanged);
        } catch (const Error&) {
            throw keyMissing();
        }
    }

    // Asks for the PIN with the token lock released: the prompt may take long, and the
    // tokens stay usable meanwhile (also from the GUI thread that shows it).
    // A PIN whose length the token does not take is never sent: the prompt asks again.
    void askWithoutTheLock(std::unique_lock<std::mutex>& held, Module& m, const QString& label, const QString& message) {
        const PinRules rules = m.pinRules(where_);
        held.unlock();
        PinRequest request{label, message, int(rules.minLength), int(rules.maxLength)};
        for (;;) {
            std::optional<QString> answer = askPin(request);
            if (!answer) throw cancelled();
            if (withinRules(*answer, rules)) {
                typed_ = Pin(*answer);
                answer->fill(QChar(0));
                haveTyped_ = true;
                return;
            }
            answer->fill(QChar(0));
            const QString plainRequest = message.isEmpty() ? QStringLiteral("Digite o PIN do cartão ou token \"%1\":").arg(label)
                                                       : message;
            request.message = lengthRule(rules) + QLatin1Char('\n') + plainRequest;
        }
    }

    // True once the token is logged in; false when this pass must start again.
    bool loggedIn(std::unique_lock<std::mutex>& lock, Module& m, PKCS11_SLOT* slot) {
        int in = 0;
        if (PKCS11_is_logged_in(slot, 0, &in) != 0) {
            ERR_clear_error();
            freshLook(&m);
            return false;
        }
        if (in) return true;
        PKCS11_TOKEN* token = slot->token;
        // The tries as the token counts them now: what libp11 read at the load may be old.
        const PinRules now = m.pinRules(where_);
        if (token->userPinLocked || now.locked) throw lockedPin();
        if (haveTyped_) return logInWith(m, slot, typed_.c_str());
        if (auto kept = m.pins.find(key_); kept != m.pins.end()) {
            const Login result = login(slot, kept->second.c_str());
            if (result == Login::Done) {
                m.inUse = true;
                return true;
            }
            // The PIN of this run no longer opens the token: it is let go, and the user is asked.
            m.pins.erase(kept);
            if (result == Login::Failed) freshLook(&m);
            return false;
        }
        // A reader with its own PIN pad: the PIN is typed there.
        if (token->secureLogin) {
            const QString label = text(token->label);
            pinPadWaiting(label, true);
            struct Hide {
                QString label;
                ~Hide() { pinPadWaiting(label, false); }
            } hide{label};
            return logInWith(m, slot, nullptr);
        }
        const QString label = text(token->label);
        // The prompt's own text asks for the PIN; a warning must ask for it too.
        const QString request = QString("Digite o PIN do cartão ou token \"%1\":").arg(label);
        if (now.finalTry)
            promptMessage_ = "Atenção: última tentativa antes do bloqueio do PIN\n" + request;
        else if (now.countLow)
            promptMessage_ = "Atenção: o PIN já foi digitado incorretamente.\n" + request;
        askWithoutTheLock(lock, m, label, promptMessage_);
        return false;
    }

    bool logInWith(Module& m, PKCS11_SLOT* slot, const char* pin) {
        // Locked while the prompt waited (another program's wrong PIN): the PIN is not sent.
        if (pin && m.pinRules(where_).locked) throw lockedPin();
        const Login result = login(slot, pin);
        if (result == Login::WrongPin) throw wrongPin();
        if (result == Login::Failed) {
            freshLook(&m);
            return false;
        }
        m.inUse = true;
        return true;
    }

    std::optional<QByteArray> sign(std::unique_lock<std::mutex>& lock, Module& m, PKCS11_SLOT* slot) {
        const QString keyName = key_ + '\n' + QString::fromLatin1(where_.id.toHex());
        const QString label = text(slot->token->label);
        KeyUseAnswer answer;
        std::exception_ptr failure;
        bool pinRefused = false;
        {
            const std::shared_ptr<EVP_PKEY> pkey = m.key(slot, where_);
            if (!pkey) {
                if (!m.changed()) throw keyMissing();
                freshLook(&m);
                return std::nullopt;
            }
            const auto kept = m.pins.find(key_);
            answer.pin = haveTyped_ ? &typed_ : kept != m.pins.end() ? &kept->second : nullptr;
            // A key that asks for the PIN at its use gets none from a token locked meanwhile.
            if (answer.pin && m.alwaysAuthenticate.count(keyName) && m.pinRules(where_).locked) throw lockedPin();
            if (!answer.pin && m.alwaysAuthenticate.count(keyName)) {
                // The key wants the PIN for this use: asked before the signature starts.
                askWithoutTheLock(lock, m, label, QString());
                return std::nullopt;
            }
            m.answerKeyUseWith(&answer);
            try {
                QByteArray result = use_(pkey.get());
                m.answerKeyUseWith(nullptr);
                m.inUse = true;
                // Kept only while a key wants it for every use.
                if (answer.supplied) {
                    m.alwaysAuthenticate.insert(keyName);
                    if (haveTyped_) m.pins[key_] = std::move(typed_);
                }
                return result;
            } catch (const std::exception& e) {
                m.answerKeyUseWith(nullptr);
                pinRefused = answer.supplied && refusedPinWhileSigning(e);
                ERR_clear_error();
                failure = std::current_exception();
            }
        }
        // The key is let go before the module may be loaded anew.
        if (signingFailed(lock, m, answer, pinRefused, keyName, label)) return std::nullopt;
        std::rethrow_exception(failure);
    }

    // After a failed signature: true when the use is to be tried again, false when the
    // failure stands (this raises itself when it knows better).
    bool signingFailed(std::unique_lock<std::mutex>& lock, Module& m, const KeyUseAnswer& answer, bool pinRefused,
                       const QString& keyName, const QString& label) {
        if (answer.wanted && !haveTyped_) {
            // The key wants the PIN for this use and none was at hand. The signature it
            // began stays pending on the token's session until the module is loaded anew;
            // then the PIN typed now logs in and answers the key.
            m.alwaysAuthenticate.insert(keyName);
            reloadQuietly(m);
            askWithoutTheLock(lock, m, label, QString());
            return true;
        }
        if (answer.supplied) {
            // A PIN the key refused is never sent again.
            m.pins.erase(key_);
            typed_.wipe();
            if (pinRefused) {
                // The signature the key refused stays pending too: the session ends with a fresh load.
                reloadQuietly(m);
                throw wrongPin();
            }
        }
        // A token pulled out while it signed fails in the middle: say so plainly.
        if (m.changed()) {
            bool gone = true;
            try {
                m.reload();
                gone = m.find(where_) == nullptr;
            } catch (const std::exception&) {
            }
            if (gone) throw keyMissing();
            return false;
        }
        if (!retried_ && !answer.supplied) {
            // The key handle kept from the last signature may be stale: find it again once.
            retried_ = true;
            m.dropKeys();
            return true;
        }
        return false;
    }

    // A load that fails leaves the module unloaded: the next look tells why.
    static void reloadQuietly(Module& m) {
        try {
            m.reload();
        } catch (const Error&) {
        }
    }

    Registry& r_;
    const TokenLocation& where_;
    const std::function<QByteArray(EVP_PKEY*)>& use_;
    const QString key_;
    Pin typed_;  // the PIN typed during this use
    bool haveTyped_ = false;
    QString promptMessage_;
    bool reloaded_ = false;
    bool retried_ = false;
};

}  // namespace

QByteArray withPrivateKey(const TokenLocation& where, const std::function<QByteArray(EVP_PKEY*)>& use) {
    return KeyUse(where, use).run();
}

}  // namespace norvane::tokens

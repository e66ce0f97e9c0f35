#pragma once
// The PKCS#11 side of the certificate platform, through libp11: every token that p11-kit's
// proxy module reaches, plus the tokens of the well-known vendor drivers of ICP-Brasil
// tokens and cards that are installed without a p11-kit registration.
//
// Modules stay loaded for the run, so a token is logged in once and stays logged in. Each
// look at the tokens first compares the modules' slot lists with those of the last look
// (no object is read for that); a module is loaded anew only when its list changed, when
// a looked-up certificate was not found (Look::Reload), or while nothing is logged in on it
// (nothing is lost then, and some drivers report a token plugged in only after a reload).
// A PIN is kept in memory only while a key that wants it for every use (CKA_ALWAYS_AUTHENTICATE)
// needs it, and its memory is wiped when it is let go and at exit.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace norvane::tokens {

// Where a certificate was read: its token and its object id there (CKA_ID).
struct TokenLocation {
    QString serial;
    QString label;
    QString manufacturer;
    QString model;
    QByteArray id;
    QString module;  // the PKCS#11 module it was read through
};

struct TokenCertificate {
    std::shared_ptr<X509> certificate;
    TokenLocation location;
};

enum class Look {
    IfChanged,  // reuse what the last look read while the slot lists are the same
    Reload,     // load every module anew (a certificate looked for was not there)
};

// Every certificate object of every present token; a token reached through two modules
// counts once.
std::vector<TokenCertificate> readCertificates(Look look = Look::IfChanged);

// Whether any module read at the last look had a token or card ready in a slot (an
// initialized one). False with no module, no reader, an empty reader or a blank token.
bool anyTokenConnected();

// Runs `use` with the private key whose CKA_ID is `where.id` on the token `where` names,
// logging in first when the token needs it. Throws norvane::Error: KeyUnreachable when the
// token or the key is not there; PinRefused, PinLocked and PinCancelled for a wrong or
// locked PIN and a cancelled prompt; TokenError when the token fails otherwise. A PIN the token refused is forgotten, never sent again. Callable from
// any thread (the PIN is asked on the GUI thread, with no lock held meanwhile).
QByteArray withPrivateKey(const TokenLocation& where, const std::function<QByteArray(EVP_PKEY*)>& use);

// Forgets (wipes) the PINs kept for this run; the logins stay.
void forgetPins();

// A vendor driver: its files (name patterns, e.g. "libaetpkss.so*") in its folders.
struct VendorDriver {
    QString name;
    QStringList folders;
    QStringList files;
};

// The drivers looked for besides what p11-kit loads.
const std::vector<VendorDriver>& vendorDrivers();

// Why each module that was skipped at the last load could not be used (path: reason).
QStringList moduleProblems();

// What a slot and its token say of themselves: read with no login, nothing written.
struct TokenReport {
    QString reader;  // the slot's description
    bool present = false;
    QString label, manufacturer, model, serial;
    unsigned long flags = 0;  // the token's PKCS#11 flags (CKF_…)
    unsigned long minPinLength = 0, maxPinLength = 0;
    std::vector<std::shared_ptr<X509>> certificates;
};

// A module of the run: where it came from, whether it loaded, and its slots.
struct ModuleReport {
    QString path;
    QString origin;  // "p11-kit" or the vendor driver's name
    bool loaded = false;
    QString problem;  // why it could not be used
    std::vector<TokenReport> readers;  // its slots
};

// Every module loaded or tried, and the modules registered with p11-kit that its proxy loads.
std::vector<ModuleReport> describeModules();
QStringList p11KitRegisteredModules();

// The PIN a token takes: its length bounds (at least 1; max 0 when it sets none) and
// whether its reader has a PIN pad; and its tries as the token says them now (a card counts
// them itself). Nothing when the token is not there.
struct PinRules {
    unsigned long minLength = 1;
    unsigned long maxLength = 0;
    bool pinPad = false;
    bool countLow = false;  // a wrong PIN was given since the last right one
    bool finalTry = false;  // one more wrong PIN locks it
    bool locked = false;    // no PIN opens it any more (only the PUK)
};

// For tests and benchmarks only: the module that stands for p11-kit's proxy (empty: none)
// and the vendor table. Both unload every module; the next look loads them anew.
void setProxyModuleForTesting(const QString& path);
void setVendorDriversForTesting(const std::vector<VendorDriver>& drivers);
void restoreDefaultModulesForTesting();

}  // namespace norvane::tokens

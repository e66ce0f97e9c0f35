// The module files of the run: which modules p11-kit's proxy loads, and a module opened on
// its own (without libp11) to tell whether its tokens changed.

#include "certs/tokens/TokenModules.h"

#include <dlfcn.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>

namespace norvane::tokens::detail {

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


void RawModule::open(const QString& path) {
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
void RawModule::close() {
    if (functions && initializedByUs) functions->C_Finalize(nullptr);
    functions = nullptr;
    initializedByUs = false;
    if (handle) dlclose(handle);
    handle = nullptr;
}

std::optional<std::vector<QString>> RawModule::tokens() const {
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

}  // namespace norvane::tokens::detail

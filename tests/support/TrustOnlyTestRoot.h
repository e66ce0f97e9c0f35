#pragma once
// While it lives, the trust store (SSL_CERT_FILE, SSL_CERT_DIR) holds only the test PKI's
// root: for the program's checks and for the verifier commands that a test starts.

#include <QByteArray>
#include <QTemporaryDir>
#include <QtGlobal>
#include <map>
#include <optional>

#include "support/TestPki.h"

namespace norvane::test {

class TrustOnlyTestRoot {
public:
    TrustOnlyTestRoot() {
        set("SSL_CERT_FILE", TestPki::instance().trustFile().toUtf8());
        set("SSL_CERT_DIR", emptyFolder_.path().toUtf8());
    }
    ~TrustOnlyTestRoot() {
        for (const auto& [name, value] : saved_) {
            if (value)
                qputenv(name.constData(), *value);
            else
                qunsetenv(name.constData());
        }
    }
    TrustOnlyTestRoot(const TrustOnlyTestRoot&) = delete;
    TrustOnlyTestRoot& operator=(const TrustOnlyTestRoot&) = delete;

private:
    void set(const QByteArray& name, const QByteArray& value) {
        saved_[name] = qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData()))
                                                                    : std::nullopt;
        qputenv(name.constData(), value);
    }
    QTemporaryDir emptyFolder_;
    std::map<QByteArray, std::optional<QByteArray>> saved_;
};

}  // namespace norvane::test

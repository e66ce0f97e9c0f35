#pragma once
// SoftHSM2 tokens in a temporary folder, reached by the program through p11-kit's proxy
// module exactly as real smart cards and USB tokens are. While a SoftHsmTokens object
// lives, SOFTHSM2_CONF points at its folder and the trust store (SSL_CERT_FILE,
// SSL_CERT_DIR) holds only the test PKI's root; the destructor restores both.

#include <QString>
#include <QTemporaryDir>
#include <initializer_list>
#include <map>
#include <optional>
#include <vector>

#include "support/TestPki.h"

namespace norvane::test {

class SoftHsmTokens {
public:
    static constexpr const char* kUserPin = "1234";
    static constexpr const char* kSoPin = "123456";

    SoftHsmTokens();
    ~SoftHsmTokens();
    SoftHsmTokens(const SoftHsmTokens&) = delete;
    SoftHsmTokens& operator=(const SoftHsmTokens&) = delete;

    // Creates a token labelled `label` holding each certificate of `withKeys` together
    // with its private key (same CKA_ID), each certificate of `withoutKeys` alone, and,
    // when `withIntermediate`, the intermediate CA's certificate. Returns its serial.
    QString addToken(const QString& label, std::initializer_list<Cert> withKeys,
                     std::initializer_list<Cert> withoutKeys = {}, bool withIntermediate = true);

    // Creates a token labelled `label` holding one certificate (a DER file) with its key (a
    // PKCS#8 PEM file) under the CKA_ID `idHex`, and the certificates (DER files) of `alsoCertificates`
    // alone. Returns its serial.
    QString addTokenWith(const QString& label, const QString& certDerPath, const QString& keyPemPath,
                         const QString& idHex, const QString& name, const QStringList& alsoCertificates = {});

    // Keys written from now on carry CKA_ALWAYS_AUTHENTICATE (the PIN for every use).
    bool keysAlwaysAuthenticate = false;

    // "Pulls out" the token: it is gone from the next look at the tokens.
    void removeToken(const QString& label);

    QString folder() const { return dir_.path(); }
    QString serialOf(const QString& label) const { return serials_.at(label); }

    // The SoftHSM2 PKCS#11 module (for command-line tools in tests).
    static QString softHsmModule();

private:
    QString serialOfNew(const QString& label);
    QTemporaryDir dir_;
    std::map<QString, QString> serials_;
    std::map<QByteArray, std::optional<QByteArray>> savedEnv_;
};

// Runs a program; throws with its output when it fails. Returns its standard output.
QByteArray runTool(const QString& program, const QStringList& arguments, const QByteArray& input = {});

}  // namespace norvane::test

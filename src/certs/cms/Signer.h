#pragma once
// Signs bytes into a CMS SignedData with the content enclosed (see CmsBuilder.h): the
// signer's certificate, its chain without the root, and the three document attributes.
// One signer keeps its key on a token; another reads it from a PEM or PKCS#12 file (for
// tests and benchmarks).

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "certs/cms/CmsBuilder.h"
#include "certs/pki/CertificateStore.h"

namespace norvane::cms {

class Signer {
public:
    virtual ~Signer() = default;

    virtual std::shared_ptr<X509> certificate() const = 0;
    // The issuers up to, not including, the root: the certificates the signature carries.
    virtual std::vector<std::shared_ptr<X509>> chain() const = 0;

    // DER SignedData of the content. Throws norvane::Error (PinCancelled, PinRefused,
    // PinLocked, KeyUnreachable, TokenError, CryptoError, …). May be called off the GUI thread.
    QByteArray sign(const QByteArray& content, const SignedAttributeValues& attributes) const;

protected:
    // Runs `use` with the private key.
    virtual QByteArray withKey(const std::function<QByteArray(EVP_PKEY*)>& use) const = 0;
};

// The key on the token the certificate was read from; the PIN is asked when the token wants it.
class TokenSigner : public Signer {
public:
    explicit TokenSigner(pki::StoredCertificate certificate) : certificate_(std::move(certificate)) {}
    std::shared_ptr<X509> certificate() const override { return certificate_.certificate; }
    std::vector<std::shared_ptr<X509>> chain() const override { return certificate_.chainWithoutRoot(); }

protected:
    QByteArray withKey(const std::function<QByteArray(EVP_PKEY*)>& use) const override;

private:
    pki::StoredCertificate certificate_;
};

// A key and its certificate in files: a PKCS#12 file (its certificates after the first are
// the chain), or a PEM file holding the key with a PEM file of the certificate followed by
// its chain.
class KeyFileSigner : public Signer {
public:
    static std::unique_ptr<KeyFileSigner> fromPkcs12(const QString& path, const QString& password);
    static std::unique_ptr<KeyFileSigner> fromPem(const QString& keyPath, const QString& certificatesPath);
    ~KeyFileSigner() override;

    std::shared_ptr<X509> certificate() const override { return certificate_; }
    std::vector<std::shared_ptr<X509>> chain() const override { return chain_; }

protected:
    QByteArray withKey(const std::function<QByteArray(EVP_PKEY*)>& use) const override { return use(key_.get()); }

private:
    KeyFileSigner() = default;
    std::shared_ptr<EVP_PKEY> key_;
    std::shared_ptr<X509> certificate_;
    std::vector<std::shared_ptr<X509>> chain_;
};

}  // namespace norvane::cms

#include "certs/cms/Signer.h"

#include "core/SystemErrors.h"

#include <cerrno>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <QFile>

#include "certs/pki/Certificate.h"
#include "core/Error.h"

namespace norvane::cms {

namespace {

using Stack = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>;

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(ErrorKind::FileError,
                    QStringLiteral("Não foi possível abrir o arquivo %1: %2").arg(path, fileErrorText(file, errno)));
    return file.readAll();
}

std::unique_ptr<BIO, decltype(&BIO_free)> memoryOf(const QByteArray& bytes) {
    return {BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())), BIO_free};
}

std::shared_ptr<X509> own(X509* certificate) { return {certificate, X509_free}; }

}  // namespace

QByteArray Signer::sign(const QByteArray& content, const SignedAttributeValues& attributes) const {
    const std::shared_ptr<X509> signerCertificate = certificate();
    const std::vector<std::shared_ptr<X509>> issuers = chain();
    const Stack stack(sk_X509_new_null(), [](STACK_OF(X509) * s) { sk_X509_free(s); });
    for (const auto& c : issuers) sk_X509_push(stack.get(), c.get());
    return withKey([&](EVP_PKEY* key) {
        return buildSignedData(key, signerCertificate.get(), stack.get(), content, attributes);
    });
}

QByteArray TokenSigner::withKey(const std::function<QByteArray(EVP_PKEY*)>& use) const {
    return tokens::withPrivateKey(certificate_.token, use);
}

KeyFileSigner::~KeyFileSigner() = default;

std::unique_ptr<KeyFileSigner> KeyFileSigner::fromPkcs12(const QString& path, const QString& password) {
    const QByteArray bytes = readFile(path);
    const auto bio = memoryOf(bytes);
    std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(d2i_PKCS12_bio(bio.get(), nullptr), PKCS12_free);
    if (!p12) throwWithOpenSslErrors(ErrorKind::CryptoError, QStringLiteral("Arquivo PKCS#12 ilegível: ") + path);
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509)* cas = nullptr;
    if (PKCS12_parse(p12.get(), password.toUtf8().constData(), &key, &certificate, &cas) != 1)
        throwWithOpenSslErrors(ErrorKind::PinRefused, QStringLiteral("Senha do arquivo PKCS#12 incorreta: ") + path);
    std::unique_ptr<KeyFileSigner> signer(new KeyFileSigner);
    signer->key_.reset(key, EVP_PKEY_free);
    signer->certificate_ = own(certificate);
    for (int i = 0; cas && i < sk_X509_num(cas); ++i) {
        X509* issuer = sk_X509_value(cas, i);
        if (!pki::selfSigned(issuer)) {
            X509_up_ref(issuer);
            signer->chain_.push_back(own(issuer));
        }
    }
    sk_X509_pop_free(cas, X509_free);
    if (!signer->key_ || !signer->certificate_)
        throw Error(ErrorKind::CryptoError, QStringLiteral("O arquivo PKCS#12 não tem chave e certificado: ") + path);
    return signer;
}

std::unique_ptr<KeyFileSigner> KeyFileSigner::fromPem(const QString& keyPath, const QString& certificatesPath) {
    std::unique_ptr<KeyFileSigner> signer(new KeyFileSigner);
    const QByteArray keyBytes = readFile(keyPath);
    const auto keyBio = memoryOf(keyBytes);
    signer->key_.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!signer->key_) throwWithOpenSslErrors(ErrorKind::CryptoError, QStringLiteral("Chave PEM ilegível: ") + keyPath);
    const QByteArray certificateBytes = readFile(certificatesPath);
    const auto certificateBio = memoryOf(certificateBytes);
    while (X509* read = PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)) {
        if (!signer->certificate_)
            signer->certificate_ = own(read);
        else if (pki::selfSigned(read))
            X509_free(read);
        else
            signer->chain_.push_back(own(read));
    }
    ERR_clear_error();  // the end of the file reads as an error
    if (!signer->certificate_)
        throw Error(ErrorKind::CryptoError, QStringLiteral("Nenhum certificado PEM em ") + certificatesPath);
    return signer;
}

}  // namespace norvane::cms

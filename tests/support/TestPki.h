#pragma once
// An ICP-Brasil-shaped test PKI, generated with OpenSSL once per test process into a
// temporary folder: a root "AC Raiz", an intermediate, an unknown root, and end-entity
// certificates with subject CN "NAME:CPF" in the shapes the program must tell apart.

#include <QByteArray>
#include <QString>
#include <map>
#include <memory>

namespace norvane::test {

enum class Cert {
    Root,                // "AC Raiz Teste Norvane", self-signed; the only trust anchor
    Intermediate,        // "AC Intermediaria Teste Norvane", issues every end entity below
    UntrustedRoot,       // "AC Raiz Desconhecida", not in the trust store
    A3,                  // e-CPF A3, other-names as OCTET STRING, CPS qualifier, e-mail
    A3Printable,         // e-CPF A3, other-names as PrintableString
    A3Keyless,           // e-CPF A3 whose key is put on no token
    A1,                  // e-CPF A1 (2.16.76.1.2.1.x)
    ECnpj,               // e-CNPJ: 2.16.76.1.3.2/3.3/3.4/3.7 (3.4: the responsible person's data)
    TwoPolicies,         // A1 policy first, then an A3 policy
    Expired,             // valid until yesterday
    NotYetValid,         // valid from tomorrow
    NoNonRepudiation,    // key usage: digital signature + key encipherment only
    NoDigitalSignature,  // key usage: non-repudiation + key encipherment only
    NoKeyUsage,          // no key-usage extension at all (counts as every usage)
    Untrusted,           // issued by UntrustedRoot
    NoSan,               // A3 policy, no subject alternative name
};

struct TestCertificate {
    Cert which;
    QString name;        // the NAME part of the CN (or the CA's CN)
    QString commonName;  // the whole CN
    QString certPath;    // PEM
    QString derPath;     // DER
    QString keyPath;     // PKCS#8 PEM, unencrypted
    QByteArray der;
    QString thumbprint;  // SHA-1 of the DER, upper-case hex
    QString serial;      // upper-case hex
    QString keyId;       // CKA_ID to use on a token, hex
    // What the identity checks must give for it.
    QString expectedPolicy;
    QString expectedCpf;
};

class TestPki {
public:
    // The PKI of this process (generated on first use; about a second).
    static const TestPki& instance();

    const TestCertificate& operator[](Cert which) const { return certs_.at(which); }
    QString folder() const;
    // A PEM file holding only the trusted root (for SSL_CERT_FILE).
    QString trustFile() const;
    // Whether the certificate of this SHA-1 thumbprint (any letter case) is one of this PKI's:
    // the tests count their own certificates only, whatever other card the machine shows.
    bool issued(const QString& thumbprint) const;

    // The person data of the A3 certificates, as the certificates hold it.
    static constexpr const char* kA3Cpf = "11122233344";
    static constexpr const char* kA3PrintableCpf = "55566677788";
    static constexpr const char* kA1Cpf = "22233344455";
    static constexpr const char* kResponsavelCpf = "33344455566";
    static constexpr const char* kCnpj = "12345678000199";

    ~TestPki();

private:
    TestPki();
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::map<Cert, TestCertificate> certs_;
};

}  // namespace norvane::test

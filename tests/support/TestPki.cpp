#include "support/TestPki.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/conf.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <stdexcept>
#include <string>
#include <vector>

namespace norvane::test {

namespace {

[[noreturn]] void fail(const std::string& what) {
    char buffer[256] = {0};
    ERR_error_string_n(ERR_get_error(), buffer, sizeof buffer);
    throw std::runtime_error("test PKI: " + what + ": " + buffer);
}

// Extension texts in OpenSSL's configuration syntax; sections hold the long values.
const char* kConfig = R"(
[pol_a3]
policyIdentifier = 2.16.76.1.2.3.10
CPS.1 = "http://acteste.norvane.invalid/docs/dpc-ac-teste.pdf"

[pol_a1]
policyIdentifier = 2.16.76.1.2.1.20
CPS.1 = "http://acteste.norvane.invalid/docs/pc-a1.pdf"

[pol_two_first]
policyIdentifier = 2.16.76.1.2.1.5

[pol_two_second]
policyIdentifier = 2.16.76.1.2.3.7
CPS.1 = "http://acteste.norvane.invalid/docs/pc-a3.pdf"
)";

struct Shape {
    Cert which;
    QString name;
    QString cpf;  // the CPF in the CN and in 2.16.76.1.3.1 (or the CNPJ in the CN)
    Cert issuer;
    int fromDays, toDays;  // validity, relative to now
    bool ca;
    QString policies;  // "@pol_a3" or "@pol_two_first,@pol_two_second"; empty: none
    QString keyUsage;  // empty: no extension
    QString san;       // section name; empty: none
    QString expectedPolicy, expectedCpf;
};

// The person data of an e-CPF: date of birth, CPF, NIS, RG, issuing body and UF.
QString personData(const QString& birth, const QString& cpf) {
    return birth + cpf + "12345678901" + "000012345678901" + "SSPSP";
}

QString sanSection(const QString& section, const QString& type, const QString& birth, const QString& cpf,
                   const QString& mail) {
    return QString(
               "[%1]\n"
               "otherName.1 = 2.16.76.1.3.1;%2:%3\n"
               "otherName.2 = 2.16.76.1.3.6;%2:000000000000\n"
               "otherName.3 = 2.16.76.1.3.5;%2:1234567890120010123SAO PAULOSP\n"
               "email.1 = %4\n\n")
        .arg(section, type, personData(birth, cpf), mail);
}

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

struct Made {
    X509Ptr cert{nullptr, X509_free};
    KeyPtr key{nullptr, EVP_PKEY_free};
};

void addExtension(X509* cert, X509* issuer, CONF* conf, const char* name, const QString& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509V3_set_nconf(&ctx, conf);
    const QByteArray v = value.toUtf8();
    X509_EXTENSION* ext = X509V3_EXT_nconf(conf, &ctx, name, v.constData());
    if (!ext) fail(std::string("extension ") + name + " = " + v.toStdString());
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        throw std::runtime_error("test PKI: cannot write " + path.toStdString());
}

QByteArray bioBytes(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return QByteArray(data, static_cast<int>(n));
}

}  // namespace

struct TestPki::Impl {
    QTemporaryDir dir;
    std::map<Cert, Made> made;
};

TestPki::~TestPki() = default;

const TestPki& TestPki::instance() {
    static TestPki pki;
    return pki;
}

QString TestPki::folder() const { return impl_->dir.path(); }
QString TestPki::trustFile() const { return certs_.at(Cert::Root).certPath; }

bool TestPki::issued(const QString& thumbprint) const {
    for (const auto& [which, c] : certs_)
        if (c.thumbprint.compare(thumbprint, Qt::CaseInsensitive) == 0) return true;
    return false;
}

TestPki::TestPki() : impl_(std::make_unique<Impl>()) {
    if (!impl_->dir.isValid()) throw std::runtime_error("test PKI: no temporary folder");

    const QString a3Policy = "2.16.76.1.2.3.10";
    const QString eeUsage = "critical,digitalSignature,nonRepudiation,keyEncipherment";
    std::vector<Shape> shapes = {
        {Cert::Root, "AC Raiz Teste Norvane", "", Cert::Root, -365, 3650, true, "", "critical,keyCertSign,cRLSign", "",
         "", ""},
        {Cert::Intermediate, "AC Intermediaria Teste Norvane", "", Cert::Root, -300, 3000, true, "",
         "critical,keyCertSign,cRLSign", "", "", ""},
        {Cert::UntrustedRoot, "AC Raiz Desconhecida", "", Cert::UntrustedRoot, -365, 3650, true, "",
         "critical,keyCertSign,cRLSign", "", "", ""},
        {Cert::A3, "FULANO DE TAL", kA3Cpf, Cert::Intermediate, -1, 730, false, "@pol_a3", eeUsage, "san_a3", a3Policy,
         kA3Cpf},
        {Cert::A3Printable, "BELTRANA DA SILVA", kA3PrintableCpf, Cert::Intermediate, -1, 730, false, "@pol_a3",
         eeUsage, "san_a3p", a3Policy, kA3PrintableCpf},
        {Cert::A3Keyless, "SEM CHAVE NO TOKEN", "66677788899", Cert::Intermediate, -1, 730, false, "@pol_a3", eeUsage,
         "san_keyless", a3Policy, "66677788899"},
        {Cert::A1, "CICLANO ARQUIVO", kA1Cpf, Cert::Intermediate, -1, 365, false, "@pol_a1", eeUsage, "san_a1",
         "2.16.76.1.2.1.20", kA1Cpf},
        {Cert::ECnpj, "EMPRESA TESTE LTDA", kCnpj, Cert::Intermediate, -1, 730, false, "@pol_a3", eeUsage, "san_cnpj",
         a3Policy, "0"},
        {Cert::TwoPolicies, "DUAS POLITICAS", "44455566677", Cert::Intermediate, -1, 730, false,
         "@pol_two_first,@pol_two_second", eeUsage, "san_two", "2.16.76.1.2.3.7", "44455566677"},
        {Cert::Expired, "VENCIDO", "77788899900", Cert::Intermediate, -400, -1, false, "@pol_a3", eeUsage,
         "san_expired", a3Policy, "77788899900"},
        {Cert::NotYetValid, "AINDA NAO VALIDO", "88899900011", Cert::Intermediate, 1, 400, false, "@pol_a3", eeUsage,
         "san_future", a3Policy, "88899900011"},
        {Cert::NoNonRepudiation, "SEM NAO REPUDIO", "99900011122", Cert::Intermediate, -1, 730, false, "@pol_a3",
         "critical,digitalSignature,keyEncipherment", "san_nonr", a3Policy, "99900011122"},
        {Cert::NoDigitalSignature, "SEM ASSINATURA DIGITAL", "00011122233", Cert::Intermediate, -1, 730, false,
         "@pol_a3", "critical,nonRepudiation,keyEncipherment", "san_nods", a3Policy, "00011122233"},
        {Cert::NoKeyUsage, "SEM USO DE CHAVE", "10120230340", Cert::Intermediate, -1, 730, false, "@pol_a3", "",
         "san_noku", a3Policy, "10120230340"},
        {Cert::Untrusted, "EMISSOR DESCONHECIDO", "20230340450", Cert::UntrustedRoot, -1, 730, false, "@pol_a3",
         eeUsage, "san_untrusted", a3Policy, "20230340450"},
        {Cert::NoSan, "SEM NOME ALTERNATIVO", "30340450560", Cert::Intermediate, -1, 730, false, "@pol_a3", eeUsage, "",
         a3Policy, ""},
    };

    QString config = kConfig;
    config += sanSection("san_a3", "OCTETSTRING", "01011990", kA3Cpf, "fulano@example.com");
    config += sanSection("san_a3p", "PRINTABLESTRING", "15081985", kA3PrintableCpf, "beltrana@example.com");
    config += sanSection("san_keyless", "OCTETSTRING", "02021972", "66677788899", "semchave@example.com");
    config += sanSection("san_a1", "OCTETSTRING", "03031993", kA1Cpf, "ciclano@example.com");
    config += sanSection("san_two", "OCTETSTRING", "04041994", "44455566677", "duas@example.com");
    config += sanSection("san_expired", "OCTETSTRING", "05051995", "77788899900", "vencido@example.com");
    config += sanSection("san_future", "OCTETSTRING", "06061996", "88899900011", "futuro@example.com");
    config += sanSection("san_nonr", "OCTETSTRING", "07071997", "99900011122", "nonr@example.com");
    config += sanSection("san_nods", "OCTETSTRING", "08081998", "00011122233", "nods@example.com");
    config += sanSection("san_noku", "OCTETSTRING", "09091999", "10120230340", "noku@example.com");
    config += sanSection("san_untrusted", "OCTETSTRING", "10102000", "20230340450", "desconhecido@example.com");
    // e-CNPJ: the responsible person's data (3.4), his name (3.2, UTF8String), the CNPJ (3.3)
    // and the company's CEI (3.7).
    config += QString(
                  "[san_cnpj]\n"
                  "otherName.1 = 2.16.76.1.3.4;OCTETSTRING:%1\n"
                  "otherName.2 = 2.16.76.1.3.2;UTF8String:RESPONSÁVEL TESTE\n"
                  "otherName.3 = 2.16.76.1.3.3;OCTETSTRING:%2\n"
                  "otherName.4 = 2.16.76.1.3.7;OCTETSTRING:000000000000\n"
                  "email.1 = empresa@example.com\n\n")
                  .arg(personData("11111980", kResponsavelCpf), kCnpj);

    const QByteArray configBytes = config.toUtf8();
    std::unique_ptr<BIO, decltype(&BIO_free)> confBio(BIO_new_mem_buf(configBytes.constData(), configBytes.size()),
                                                      BIO_free);
    std::unique_ptr<CONF, decltype(&NCONF_free)> conf(NCONF_new(nullptr), NCONF_free);
    long errorLine = 0;
    if (NCONF_load_bio(conf.get(), confBio.get(), &errorLine) <= 0)
        fail("configuration line " + std::to_string(errorLine));

    int index = 0;
    for (const Shape& s : shapes) {
        ++index;
        Made m;
        m.key.reset(EVP_RSA_gen(2048));
        if (!m.key) fail("key");
        m.cert.reset(X509_new());
        X509* x = m.cert.get();
        X509_set_version(x, 2);

        // Serial: 16 random bytes, positive, with hex letters in practice.
        unsigned char serialBytes[16];
        RAND_bytes(serialBytes, sizeof serialBytes);
        serialBytes[0] = static_cast<unsigned char>((serialBytes[0] & 0x7f) | 0x40);
        BIGNUM* bn = BN_bin2bn(serialBytes, sizeof serialBytes, nullptr);
        BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x));
        BN_free(bn);

        X509_gmtime_adj(X509_getm_notBefore(x), static_cast<long>(s.fromDays) * 86400);
        X509_gmtime_adj(X509_getm_notAfter(x), static_cast<long>(s.toDays) * 86400);

        X509_NAME* subject = X509_get_subject_name(x);
        const QString cn = s.cpf.isEmpty() ? s.name : s.name + ":" + s.cpf;
        auto addEntry = [&](const char* field, const QString& value) {
            const QByteArray v = value.toUtf8();
            X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(v.constData()), -1, -1, 0);
        };
        addEntry("C", "BR");
        addEntry("O", "ICP-Brasil");
        if (!s.ca) {
            addEntry("OU", "AC Intermediaria Teste Norvane");
            addEntry("OU", s.which == Cert::ECnpj ? "Certificado PJ A3" : "Certificado PF A3");
        }
        addEntry("CN", cn);
        X509_set_pubkey(x, m.key.get());

        X509* issuerCert = s.issuer == s.which ? x : impl_->made.at(s.issuer).cert.get();
        EVP_PKEY* issuerKey = s.issuer == s.which ? m.key.get() : impl_->made.at(s.issuer).key.get();
        X509_set_issuer_name(x, X509_get_subject_name(issuerCert));

        addExtension(x, issuerCert, conf.get(), "subjectKeyIdentifier", "hash");
        addExtension(x, issuerCert, conf.get(), "authorityKeyIdentifier", "keyid:always");
        if (!s.policies.isEmpty()) addExtension(x, issuerCert, conf.get(), "certificatePolicies", s.policies);
        addExtension(x, issuerCert, conf.get(), "basicConstraints", s.ca ? "critical,CA:TRUE" : "CA:FALSE");
        if (!s.keyUsage.isEmpty()) addExtension(x, issuerCert, conf.get(), "keyUsage", s.keyUsage);
        if (!s.ca) addExtension(x, issuerCert, conf.get(), "extendedKeyUsage", "clientAuth,emailProtection");
        if (!s.san.isEmpty()) addExtension(x, issuerCert, conf.get(), "subjectAltName", "@" + s.san);

        if (X509_sign(x, issuerKey, EVP_sha256()) <= 0) fail("sign " + cn.toStdString());

        TestCertificate t;
        t.which = s.which;
        t.name = s.name;
        t.commonName = cn;
        t.expectedPolicy = s.expectedPolicy;
        t.expectedCpf = s.expectedCpf;
        const QString base = impl_->dir.filePath(QString("cert%1").arg(index, 2, 10, QChar('0')));
        t.certPath = base + ".pem";
        t.derPath = base + ".der";
        t.keyPath = base + ".key.pem";

        unsigned char* der = nullptr;
        int derLength = i2d_X509(x, &der);
        t.der = QByteArray(reinterpret_cast<const char*>(der), derLength);
        OPENSSL_free(der);
        t.thumbprint = QString::fromLatin1(QCryptographicHash::hash(t.der, QCryptographicHash::Sha1).toHex().toUpper());
        BIGNUM* sn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x), nullptr);
        char* snHex = BN_bn2hex(sn);
        t.serial = QString::fromLatin1(snHex).toUpper();
        OPENSSL_free(snHex);
        BN_free(sn);
        const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(x);
        t.keyId = QString::fromLatin1(
            QByteArray(reinterpret_cast<const char*>(ASN1_STRING_get0_data(ski)), ASN1_STRING_length(ski)).toHex());

        writeFile(t.derPath, t.der);
        std::unique_ptr<BIO, decltype(&BIO_free)> pem(BIO_new(BIO_s_mem()), BIO_free);
        PEM_write_bio_X509(pem.get(), x);
        writeFile(t.certPath, bioBytes(pem.get()));
        std::unique_ptr<BIO, decltype(&BIO_free)> keyPem(BIO_new(BIO_s_mem()), BIO_free);
        PEM_write_bio_PrivateKey(keyPem.get(), m.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        writeFile(t.keyPath, bioBytes(keyPem.get()));

        certs_.emplace(s.which, t);
        impl_->made.emplace(s.which, std::move(m));
    }
}

}  // namespace norvane::test

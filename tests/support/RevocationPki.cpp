#include "support/RevocationPki.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <QFile>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/Error.h"
#include "support/SoftHsmTokens.h"

namespace norvane::test {

namespace {

[[noreturn]] void fail(const QString& what) { throw Error(ErrorKind::Failure, QStringLiteral("revocation PKI: ") + what); }

QString nameOf(RevCert which) {
    switch (which) {
        case RevCert::Root: return QStringLiteral("raiz");
        case RevCert::Intermediate: return QStringLiteral("ac");
        case RevCert::CrlSigner: return QStringLiteral("lcr");
        case RevCert::OcspGood: return QStringLiteral("ocsp-bom");
        case RevCert::OcspRevoked: return QStringLiteral("ocsp-revogado");
        case RevCert::OcspUnknown: return QStringLiteral("ocsp-desconhecido");
        case RevCert::LoopLeaf: return QStringLiteral("laco");
        case RevCert::StrangerLeaf: return QStringLiteral("estranho");
        case RevCert::OtherKey: return QStringLiteral("outra-chave");
    }
    return QString();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) fail(QStringLiteral("cannot write ") + path);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) fail(QStringLiteral("cannot read ") + path);
    return file.readAll();
}

struct Issued {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
};

// A certificate for `cn` with a new key, signed by `issuerKey` in `issuerName`'s name (itself when null).
Issued issue(const char* cn, X509* issuerCert, EVP_PKEY* issuerKey, bool ca,
             const std::vector<std::pair<int, QString>>& extensions, EVP_PKEY* subjectKey = nullptr) {
    Issued made;
    if (subjectKey) EVP_PKEY_up_ref(subjectKey);
    made.key = subjectKey ? subjectKey : EVP_RSA_gen(2048);
    made.cert = X509_new();
    X509_set_version(made.cert, 2);
    BIGNUM* serial = BN_new();
    BN_rand(serial, 63, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(made.cert));
    BN_free(serial);
    X509_NAME* name = X509_get_subject_name(made.cert);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("BR"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(made.cert, issuerCert ? X509_get_subject_name(issuerCert) : name);
    X509_gmtime_adj(X509_getm_notBefore(made.cert), -86400);
    X509_gmtime_adj(X509_getm_notAfter(made.cert), 365L * 86400);
    X509_set_pubkey(made.cert, made.key);
    std::vector<std::pair<int, QString>> all = extensions;
    all.push_back({NID_basic_constraints, ca ? QStringLiteral("critical,CA:TRUE") : QStringLiteral("critical,CA:FALSE")});
    all.push_back({NID_key_usage, ca ? QStringLiteral("critical,keyCertSign,cRLSign")
                                     : QStringLiteral("critical,digitalSignature,nonRepudiation")});
    all.push_back({NID_subject_key_identifier, QStringLiteral("hash")});
    for (const auto& [nid, value] : all) {
        X509V3_CTX ctx;
        X509V3_set_ctx(&ctx, issuerCert ? issuerCert : made.cert, made.cert, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.toLatin1().constData());
        if (!ext) fail(QStringLiteral("extension ") + value);
        X509_add_ext(made.cert, ext, -1);
        X509_EXTENSION_free(ext);
    }
    if (X509_sign(made.cert, issuerKey ? issuerKey : made.key, EVP_sha256()) <= 0) fail(QStringLiteral("sign ") + cn);
    return made;
}

QByteArray derOf(X509* cert) {
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert, &der);
    QByteArray bytes(reinterpret_cast<const char*>(der), n);
    OPENSSL_free(der);
    return bytes;
}

QByteArray pemOf(X509* cert) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    QByteArray bytes(data, int(n));
    BIO_free(bio);
    return bytes;
}

QByteArray keyPemOf(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    QByteArray bytes(data, int(n));
    BIO_free(bio);
    return bytes;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        fail(QStringLiteral("no free port"));
    ::close(fd);
    return ntohs(address.sin_port);
}


QByteArray indexTime(const QDateTime& utc) { return utc.toUTC().toString(QStringLiteral("yyMMddHHmmss")).toLatin1() + 'Z'; }

}  // namespace

RevocationPki::RevocationPki(const DownloadServer& server) : server_(server) {
    ocspPort_ = freePort();
    const QString base = server.plainBaseUrl();
    const QString aia = QStringLiteral("caIssuers;URI:") + base + QStringLiteral("ac.cer");
    const QString ocsp = QStringLiteral("OCSP;URI:http://127.0.0.1:%1/").arg(ocspPort_);
    const Issued root = issue("AC Raiz Revogacao Teste", nullptr, nullptr, true, {});
    const Issued ac = issue("AC Intermediaria AIA Teste", root.cert, root.key, true,
                            {{NID_crl_distribution_points, QStringLiteral("URI:") + base + QStringLiteral("raiz.crl")}});
    const Issued loopA = issue("AC Laco A", nullptr, nullptr, true, {});
    const Issued loopB = issue("AC Laco B", loopA.cert, loopA.key, true,
                               {{NID_info_access, QStringLiteral("caIssuers;URI:") + base + QStringLiteral("laco-a.cer")}});
    // A again, now issued by B, naming B as its issuer.
    const Issued loopAByB = issue("AC Laco A", loopB.cert, loopB.key, true,
                                  {{NID_info_access, QStringLiteral("caIssuers;URI:") + base + QStringLiteral("laco-b.cer")}},
                                  loopA.key);
    const Issued stranger = issue("AC Raiz Estranha", nullptr, nullptr, true, {});
    std::map<RevCert, Issued> made{
        {RevCert::Root, root},
        {RevCert::Intermediate, ac},
        {RevCert::CrlSigner, issue("Titular LCR Teste:11122233344", ac.cert, ac.key, false,
                                   {{NID_info_access, aia},
                                    {NID_crl_distribution_points, QStringLiteral("URI:") + base + QStringLiteral("ac.crl")}})},
        {RevCert::OcspGood, issue("Titular OCSP Bom:22233344455", ac.cert, ac.key, false, {{NID_info_access, aia + "," + ocsp}})},
        {RevCert::OcspRevoked, issue("Titular OCSP Revogado:33344455566", ac.cert, ac.key, false, {{NID_info_access, aia + "," + ocsp}})},
        {RevCert::OcspUnknown, issue("Titular OCSP Desconhecido:44455566677", ac.cert, ac.key, false, {{NID_info_access, aia + "," + ocsp}})},
        {RevCert::LoopLeaf, issue("Titular Laco:55566677788", loopAByB.cert, loopA.key, false,
                                  {{NID_info_access, QStringLiteral("caIssuers;URI:") + base + QStringLiteral("laco-a.cer")}})},
        {RevCert::StrangerLeaf, issue("Titular Estranho:66677788899", stranger.cert, stranger.key, false,
                                      {{NID_info_access, QStringLiteral("caIssuers;URI:") + base + QStringLiteral("estranha.cer")}})},
        {RevCert::OtherKey, issue("AC Intermediaria AIA Teste", root.cert, root.key, true, {})},
    };
    for (const auto& [which, issued] : made) {
        writeFile(certPath(which), pemOf(issued.cert));
        writeFile(dir_.filePath(nameOf(which) + QStringLiteral(".der")), derOf(issued.cert));
        writeFile(keyPath(which), keyPemOf(issued.key));
    }
    writeFile(trustFile(), pemOf(root.cert));
    server.serve(QStringLiteral("laco-a.cer"), derOf(loopAByB.cert));
    server.serve(QStringLiteral("laco-b.cer"), derOf(loopB.cert));
    server.serve(QStringLiteral("estranha.cer"), derOf(stranger.cert));
    // The OCSP responder's index, in the format of `openssl ca`.
    const QByteArray expiry = indexTime(QDateTime::currentDateTimeUtc().addDays(365));
    const QByteArray revokedAt = indexTime(QDateTime::currentDateTimeUtc().addDays(-2));
    QByteArray index;
    index += "V\t" + expiry + "\t\t" + serialHex(RevCert::OcspGood) + "\tunknown\t/CN=Titular OCSP Bom\n";
    index += "R\t" + expiry + "\t" + revokedAt + ",keyCompromise\t" + serialHex(RevCert::OcspRevoked) +
             "\tunknown\t/CN=Titular OCSP Revogado\n";
    writeFile(dir_.filePath(QStringLiteral("index.txt")), index);
    for (auto& [which, issued] : made) {
        if (which == RevCert::Root || which == RevCert::Intermediate) continue;
        X509_free(issued.cert);
        EVP_PKEY_free(issued.key);
    }
    for (const Issued& issued : {root, ac, loopA, loopB, loopAByB, stranger}) {
        X509_free(issued.cert);
        EVP_PKEY_free(issued.key);
    }
}

RevocationPki::~RevocationPki() { stopResponder(); }

QString RevocationPki::certPath(RevCert which) const { return dir_.filePath(nameOf(which) + QStringLiteral(".pem")); }
QString RevocationPki::keyPath(RevCert which) const { return dir_.filePath(nameOf(which) + QStringLiteral(".key")); }
QString RevocationPki::derPath(RevCert which) const { return dir_.filePath(nameOf(which) + QStringLiteral(".der")); }
QByteArray RevocationPki::der(RevCert which) const { return readFile(derPath(which)); }
QString RevocationPki::trustFile() const { return dir_.filePath(QStringLiteral("ancora.pem")); }

QByteArray RevocationPki::serialHex(RevCert which) const {
    const QByteArray bytes = der(which);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    X509* cert = d2i_X509(nullptr, &p, long(bytes.size()));
    BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
    char* hex = BN_bn2hex(serial);
    QByteArray text(hex);
    OPENSSL_free(hex);
    BN_free(serial);
    X509_free(cert);
    return text;
}

QByteArray RevocationPki::crl(RevCert issuer, const std::vector<RevEntry>& entries, qint64 fromSeconds,
                              qint64 toSeconds) const {
    const QByteArray issuerDer = der(issuer);
    const auto* p = reinterpret_cast<const unsigned char*>(issuerDer.constData());
    X509* issuerCert = d2i_X509(nullptr, &p, long(issuerDer.size()));
    BIO* keyBio = BIO_new_file(keyPath(issuer).toLocal8Bit().constData(), "r");
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    BIO_free(keyBio);
    if (!issuerCert || !key) fail(QStringLiteral("issuer of a list"));
    X509_CRL* list = X509_CRL_new();
    X509_CRL_set_version(list, 1);
    X509_CRL_set_issuer_name(list, X509_get_subject_name(issuerCert));
    ASN1_TIME* from = X509_gmtime_adj(nullptr, long(fromSeconds));
    ASN1_TIME* to = X509_gmtime_adj(nullptr, long(toSeconds));
    X509_CRL_set1_lastUpdate(list, from);
    X509_CRL_set1_nextUpdate(list, to);
    ASN1_TIME_free(from);
    ASN1_TIME_free(to);
    for (const RevEntry& entry : entries) {
        X509_REVOKED* revoked = X509_REVOKED_new();
        BIGNUM* serial = nullptr;
        BN_hex2bn(&serial, entry.serialHex.constData());
        ASN1_INTEGER* number = BN_to_ASN1_INTEGER(serial, nullptr);
        X509_REVOKED_set_serialNumber(revoked, number);
        ASN1_INTEGER_free(number);
        BN_free(serial);
        ASN1_TIME* when = ASN1_TIME_set(nullptr, time_t(entry.revokedAt.toSecsSinceEpoch()));
        X509_REVOKED_set_revocationDate(revoked, when);
        ASN1_TIME_free(when);
        if (entry.reason >= 0) {
            ASN1_ENUMERATED* reason = ASN1_ENUMERATED_new();
            ASN1_ENUMERATED_set(reason, entry.reason);
            X509_REVOKED_add1_ext_i2d(revoked, NID_crl_reason, reason, 0, 0);
            ASN1_ENUMERATED_free(reason);
        }
        X509_CRL_add0_revoked(list, revoked);
    }
    X509_CRL_sort(list);
    if (X509_CRL_sign(list, key, EVP_sha256()) <= 0) fail(QStringLiteral("sign a list"));
    unsigned char* bytes = nullptr;
    const int n = i2d_X509_CRL(list, &bytes);
    QByteArray out(reinterpret_cast<const char*>(bytes), n);
    OPENSSL_free(bytes);
    X509_CRL_free(list);
    EVP_PKEY_free(key);
    X509_free(issuerCert);
    return out;
}

void RevocationPki::serveGood() const {
    server_.serve(QStringLiteral("ac.cer"), der(RevCert::Intermediate));
    server_.serve(QStringLiteral("raiz.crl"), crl(RevCert::Root, {}));
    server_.serve(QStringLiteral("ac.crl"), crl(RevCert::Intermediate, {}));
}

void RevocationPki::startResponder() {
    responder_.setProcessChannelMode(QProcess::MergedChannels);
    responder_.start(QStringLiteral("openssl"),
                     {"ocsp", "-index", dir_.filePath(QStringLiteral("index.txt")), "-port", QString::number(ocspPort_),
                      "-rsigner", certPath(RevCert::Intermediate), "-rkey", keyPath(RevCert::Intermediate), "-CA",
                      certPath(RevCert::Intermediate), "-nmin", "60", "-ignore_err"});
    if (!responder_.waitForStarted(10000)) fail(QStringLiteral("openssl ocsp did not start"));
    // Not probed with a connection: one that closes before its request stalls the responder.
    QByteArray said;
    while (!said.contains("waiting for OCSP client connections") && responder_.waitForReadyRead(10000))
        said += responder_.readAll();
    if (said.contains("waiting for OCSP client connections")) return;
    fail(QStringLiteral("openssl ocsp does not listen"));
}

SilentListener::SilentListener(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in address = loopback(port);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 8) != 0)
        fail(QStringLiteral("cannot listen on port %1").arg(port));
}

SilentListener::~SilentListener() {
    if (fd_ >= 0) ::close(fd_);
}

void RevocationPki::stopResponder() {
    if (responder_.state() == QProcess::NotRunning) return;
    responder_.kill();
    responder_.waitForFinished(5000);
}

QByteArray RevocationPki::signedBy(RevCert which, const QByteArray& content, bool withIntermediate) const {
    const QString in = dir_.filePath(QStringLiteral("conteudo.bin")), out = dir_.filePath(QStringLiteral("assinatura.p7s"));
    writeFile(in, content);
    QStringList arguments{"cms", "-sign", "-binary", "-nodetach", "-md", "sha256", "-signer", certPath(which),
                          "-inkey", keyPath(which), "-outform", "DER", "-in", in, "-out", out};
    if (withIntermediate) arguments << "-certfile" << certPath(RevCert::Intermediate);
    runTool(QStringLiteral("openssl"), arguments);
    return readFile(out);
}

}  // namespace norvane::test

// Signing a 100 KB, a 1 MiB and a 20 MiB file with AssinarArquivo against the floor: a bare
// OpenSSL CMS sign with the same token key (read the file, sign, write the .p7s), measured
// in the same run. Also measures the longest stall of the window's event loop while
// signing, and counts the PKCS#11 calls each signed file costs: the program's modules are
// loaded through OpenSC's pkcs11-spy in place of p11-kit's proxy (the spy passes every
// call on to the proxy and writes it down).
//
// The floor runs in a child process of this program (--floor ...), with a module context
// of its own.

#include "StallMeter.h"
#include "core/Background.h"
#include "app/ErrorReport.h"
#include "app/u_Principal.h"
#include "certs/tokens/TokenAccess.h"
#include "support/ScriptedDialogs.h"
#include "support/SoftHsmTokens.h"
#include "support/TestPki.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <libp11.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <map>
#include <stdexcept>
#include <vector>

using namespace norvane::test;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

X509* readPem(const char* path) {
    BIO* bio = BIO_new_file(path, "r");
    X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    return cert;
}

// --floor <token label> <signer PEM> <intermediate PEM> <key id hex>
// Then, for every file path read from its standard input, one line on its standard output:
// the milliseconds of read + sign + write of that file.
int runFloor(int argc, char** argv) {
    if (argc < 6) return 2;
    const char* label = argv[2];
    X509* signer = readPem(argv[3]);
    X509* intermediate = readPem(argv[4]);
    const QByteArray keyId = QByteArray::fromHex(argv[5]);
    if (!signer || !intermediate) return 3;

    PKCS11_CTX* ctx = PKCS11_CTX_new();
    if (PKCS11_CTX_load(ctx, NORVANE_P11KIT_PROXY) != 0) return 4;
    PKCS11_SLOT* slotList = nullptr;
    unsigned int slotCount = 0;
    if (PKCS11_enumerate_slots(ctx, &slotList, &slotCount) != 0) return 5;
    PKCS11_SLOT* tokenSlot = nullptr;
    for (unsigned int i = 0; i < slotCount; ++i)
        if (slotList[i].token && std::strcmp(slotList[i].token->label, label) == 0) tokenSlot = &slotList[i];
    if (!tokenSlot || PKCS11_open_session(tokenSlot, 0) != 0 || PKCS11_login(tokenSlot, 0, SoftHsmTokens::kUserPin) != 0)
        return 6;
    PKCS11_KEY* keys = nullptr;
    unsigned int keyCount = 0;
    if (PKCS11_enumerate_keys(tokenSlot->token, &keys, &keyCount) != 0) return 7;
    EVP_PKEY* key = nullptr;
    for (unsigned int i = 0; i < keyCount; ++i)
        if (QByteArray(reinterpret_cast<const char*>(keys[i].id), static_cast<int>(keys[i].id_len)) == keyId)
            key = PKCS11_get_private_key(&keys[i]);
    if (!key) return 8;
    STACK_OF(X509)* chain = sk_X509_new_null();
    sk_X509_push(chain, intermediate);
    std::printf("ready\n");
    std::fflush(stdout);

    char line[4096];
    while (std::fgets(line, sizeof line, stdin)) {
        const QString path = QString::fromUtf8(line).trimmed();
        QElapsedTimer clock;
        clock.start();
        QFile input(path);
        if (!input.open(QIODevice::ReadOnly)) return 9;
        const QByteArray content = input.readAll();
        BIO* bio = BIO_new_mem_buf(content.constData(), static_cast<int>(content.size()));
        CMS_ContentInfo* cms = CMS_sign(signer, key, chain, bio, CMS_BINARY);
        if (!cms) return 10;
        const int length = i2d_CMS_ContentInfo(cms, nullptr);
        QByteArray der(length, Qt::Uninitialized);
        auto* out = reinterpret_cast<unsigned char*>(der.data());
        i2d_CMS_ContentInfo(cms, &out);
        QSaveFile output(path + ".floor.p7s");
        if (!output.open(QIODevice::WriteOnly) || output.write(der) != der.size() || !output.commit()) return 11;
        CMS_ContentInfo_free(cms);
        BIO_free(bio);
        std::printf("%.3f\n", static_cast<double>(clock.nsecsElapsed()) / 1e6);
        std::fflush(stdout);
    }
    return 0;
}

QString makeFile(const QTemporaryDir& dir, const QString& name, qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size) throw std::runtime_error("cannot write input");
    return path;
}

// The calls the spy wrote down from `offset` on, by name.
std::map<QString, int> spyCalls(const QString& log, qint64 offset) {
    QFile file(log);
    std::map<QString, int> calls;
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset)) return calls;
    static const QRegularExpression call(QStringLiteral("^\\d+: (C_\\w+)"), QRegularExpression::MultilineOption);
    const QString text = QString::fromLatin1(file.readAll());
    for (auto it = call.globalMatch(text); it.hasNext();) ++calls[it.next().captured(1)];
    return calls;
}

const char* kSpy = "/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so";

int runBenchmark(int argc, char** argv) {
    ScriptedDialogs dialogs;
    SoftHsmTokens tokens;
    const TestPki& pki = TestPki::instance();
    const QString label = QStringLiteral("Bench");
    // Certificates beside the signer's: what a signature reads must not grow with them.
    tokens.addToken(label, {Cert::A3}, {Cert::A1, Cert::ECnpj, Cert::Expired, Cert::NoSan, Cert::A3Printable});

    QTemporaryDir spyDir;
    const QString spyLog = spyDir.filePath("spy.log");
    const bool spying = QFile::exists(kSpy);
    if (spying) {
        qputenv("PKCS11SPY", NORVANE_P11KIT_PROXY);
        qputenv("PKCS11SPY_OUTPUT", spyLog.toUtf8());
        norvane::tokens::setProxyModuleForTesting(kSpy);
    }
    norvane::tokens::setVendorDriversForTesting({});

    TFPrincipal window;
    // The pick list holds the other certificates too: the signer's is picked by its name.
    dialogs.pickAnswers = {std::nullopt};
    window.ListaCertificados(1);
    if (dialogs.picks.empty()) throw std::runtime_error("no pick list");
    for (size_t i = 0; i < dialogs.picks.back().choices.size(); ++i)
        if (dialogs.picks.back().choices[i].subject == pki[Cert::A3].commonName) dialogs.pickAnswers = {static_cast<int>(i)};
    dialogs.pinAnswers = {QString::fromLatin1(SoftHsmTokens::kUserPin)};
    if (window.ListaCertificados(1) != QLatin1String("1")) throw std::runtime_error("no certificate picked");

    QTemporaryDir dir;
    const QString folder = dir.path() + QLatin1Char('/');
    struct Case {
        const char* name;
        QString path;
        int repetitions;
    };
    const std::vector<Case> cases = {{"100 KB", makeFile(dir, "cem.pdf", 100 * 1000), 15},
                                     {"1 MiB", makeFile(dir, "um.pdf", 1 << 20), 9},
                                     {"20 MiB", makeFile(dir, "vinte.pdf", 20 << 20), 9}};

    // The first signature logs in to the token (PIN of the run); not measured.
    if (window.AssinarArquivo(makeFile(dir, "aquecer.pdf", 1000), window.Certificado_Thumbprint, folder).isEmpty())
        throw std::runtime_error("the warm-up signature failed: " +
                                 (dialogs.texts().empty() ? std::string() : dialogs.texts().back().toStdString()));

    // The PKCS#11 calls of each file of a batch, after the first signature of the run.
    bool callsMet = true;
    if (spying) {
        std::printf("PKCS#11 calls per signed file (pkcs11-spy over p11-kit's proxy; token with 7 certificates)\n");
        std::printf("%-6s %13s %8s %18s %20s %8s\n", "file", "C_Initialize", "C_Login", "C_FindObjectsInit",
                    "C_GetAttributeValue", "all");
        const QString small = makeFile(dir, "lote.pdf", 100 * 1000);
        for (int i = 1; i <= 5; ++i) {
            const qint64 offset = QFileInfo(spyLog).size();
            if (window.AssinarArquivo(small, window.Certificado_Thumbprint, folder).isEmpty())
                throw std::runtime_error("a batch signature failed");
            const auto calls = spyCalls(spyLog, offset);
            const auto count = [&](const char* name) {
                const auto it = calls.find(QString::fromLatin1(name));
                return it == calls.end() ? 0 : it->second;
            };
            int all = 0;
            for (const auto& [name, n] : calls) all += n;
            std::printf("%-6d %13d %8d %18d %20d %8d\n", i, count("C_Initialize"), count("C_Login"),
                        count("C_FindObjectsInit"), count("C_GetAttributeValue"), all);
            if (count("C_Initialize") || count("C_Login") || count("C_FindObjectsInit") > 2 ||
                count("C_GetAttributeValue") > 4)
                callsMet = false;
        }
        std::printf("Target (no C_Initialize or C_Login per file, object reads bounded): %s\n\n",
                    callsMet ? "met" : "NOT met");
    } else {
        std::printf("%s not found (package opensc-pkcs11): PKCS#11 calls not counted\n\n", kSpy);
    }

    // The floor, in a child process with its own module context; its runs alternate with
    // the engine's so that both meet the same load of the machine.
    QProcess floor;
    floor.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--floor"), label, pki[Cert::A3].certPath, pki[Cert::Intermediate].certPath,
                 pki[Cert::A3].keyId});
    const auto floorLine = [&floor]() {
        while (!floor.canReadLine())
            if (!floor.waitForReadyRead(120000))
                throw std::runtime_error("the floor process failed: " + floor.readAllStandardError().toStdString());
        return floor.readLine().trimmed();
    };
    if (floorLine() != "ready") throw std::runtime_error("the floor process did not start");

    std::printf("Signing benchmark (AssinarArquivo against a bare OpenSSL CMS sign with the same token key)\n");
    std::printf("%-8s %14s %14s %8s %16s\n", "file", "engine ms", "floor ms", "ratio", "longest stall ms");
    bool met = true;
    for (const Case& c : cases) {
        std::vector<double> engineTimes, floorTimes;
        double stall = 0;
        for (int r = 0; r < c.repetitions; ++r) {
            StallMeter meter;
            QElapsedTimer clock;
            meter.start();
            clock.start();
            const QString result = window.AssinarArquivo(c.path, window.Certificado_Thumbprint, folder);
            engineTimes.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
            stall = std::max(stall, meter.stopMs());
            if (result.isEmpty()) throw std::runtime_error("AssinarArquivo failed");

            floor.write(c.path.toUtf8() + '\n');
            floorTimes.push_back(floorLine().toDouble());
        }
        const double engine = median(engineTimes);
        const double floorMs = median(floorTimes);
        const double ratio = engine / floorMs;
        std::printf("%-8s %14.1f %14.1f %8.2f %16.1f\n", c.name, engine, floorMs, ratio, stall);
        if (std::strcmp(c.name, "100 KB") != 0 && ratio > 1.5) met = false;
        if (stall > 100) met = false;
    }
    floor.closeWriteChannel();
    floor.waitForFinished();
    std::printf("Targets (ratio <= 1.50 at 1 MiB and 20 MiB, no stall above 100 ms): %s\n", met ? "met" : "NOT met");

    // Whole batches from a fresh load of the modules (logged out): one C_Login per batch, plus
    // one context-specific login per file only where the key wants its PIN at every use.
    if (spying) {
        constexpr int kBatch = 10;
        std::printf("\nC_Login per batch of %d files, from a fresh load of the modules\n", kBatch);
        std::printf("%-26s %8s %17s %12s %8s\n", "key", "C_Login", "context-specific", "PIN prompts", "target");
        const QString small = makeFile(dir, "lote-novo.pdf", 100 * 1000);
        QString previous = label;
        bool loginsMet = true;
        for (const bool always : {false, true}) {
            const QString tokenLabel = always ? QStringLiteral("Bench AA") : QStringLiteral("Bench B");
            tokens.removeToken(previous);
            tokens.keysAlwaysAuthenticate = always;
            tokens.addToken(tokenLabel, {Cert::A3});
            previous = tokenLabel;
            norvane::tokens::forgetPins();
            norvane::tokens::setProxyModuleForTesting(kSpy);  // unloads: the next look starts logged out
            dialogs.pinPrompts.clear();
            dialogs.pickAnswers = {0};
            dialogs.pinAnswers = {QString::fromLatin1(SoftHsmTokens::kUserPin)};
            const qint64 offset = QFileInfo(spyLog).size();
            if (window.ListaCertificados(1) != QLatin1String("1")) throw std::runtime_error("no certificate picked");
            for (int i = 0; i < kBatch; ++i)
                if (window.AssinarArquivo(small, window.Certificado_Thumbprint, folder).isEmpty())
                    throw std::runtime_error("a batch signature failed");
            const auto calls = spyCalls(spyLog, offset);
            const int logins = calls.count(QStringLiteral("C_Login")) ? calls.at(QStringLiteral("C_Login")) : 0;
            QFile logFile(spyLog);
            int contextSpecific = 0;
            if (logFile.open(QIODevice::ReadOnly) && logFile.seek(offset))
                contextSpecific = int(logFile.readAll().count("CKU_CONTEXT_SPECIFIC"));
            const int expected = 1 + (always ? kBatch : 0);
            const bool ok = logins == expected && dialogs.pinPrompts.size() == 1;
            loginsMet = loginsMet && ok;
            std::printf("%-26s %8d %17d %12zu %8d\n", always ? "CKA_ALWAYS_AUTHENTICATE" : "ordinary", logins,
                        contextSpecific, dialogs.pinPrompts.size(), expected);
        }
        std::printf("Target (1 C_Login and 1 PIN prompt per batch; + 1 per file for keys that want the PIN at "
                    "every use): %s\n",
                    loginsMet ? "met" : "NOT met");
    }
    std::fflush(stdout);
    (void)argc;
    (void)argv;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--floor") == 0) return runFloor(argc, argv);
    if (qgetenv("QT_QPA_PLATFORM").isEmpty()) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    try {
        return runBenchmark(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
}

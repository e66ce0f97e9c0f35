#include "support/SoftHsmTokens.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <stdexcept>

namespace norvane::test {

QByteArray runTool(const QString& program, const QStringList& arguments, const QByteArray& input) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(30000)) throw std::runtime_error("cannot start " + program.toStdString());
    if (!input.isEmpty()) process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        throw std::runtime_error((program + " " + arguments.join(' ') + " failed: ").toStdString() +
                                 process.readAllStandardOutput().toStdString() +
                                 process.readAllStandardError().toStdString());
    }
    return process.readAllStandardOutput();
}

QString SoftHsmTokens::softHsmModule() {
    // Where a benchmark has put another module in SoftHSM's place, it names SoftHSM's here.
    if (const QString named = qEnvironmentVariable("NORVANE_SOFTHSM_MODULE"); !named.isEmpty()) return named;
    // The module that p11-kit loads for SoftHSM is the one the tools must write through.
    for (const QString& folder :
         {QStringLiteral("/etc/pkcs11/modules"), QStringLiteral("/usr/share/p11-kit/modules")}) {
        for (const QFileInfo& info : QDir(folder).entryInfoList({"*.module"}, QDir::Files)) {
            QFile f(info.filePath());
            if (!f.open(QIODevice::ReadOnly)) continue;
            for (const QByteArray& line : f.readAll().split('\n')) {
                const QByteArray t = line.trimmed();
                if (t.startsWith("module:") && t.contains("softhsm")) return QString::fromUtf8(t.mid(7).trimmed());
            }
        }
    }
    throw std::runtime_error(
        "SoftHSM2 is not registered with p11-kit (no softhsm module file in /usr/share/p11-kit/modules "
        "or /etc/pkcs11/modules); install the softhsm2 package");
}

SoftHsmTokens::SoftHsmTokens() {
    if (!dir_.isValid()) throw std::runtime_error("no temporary folder for the tokens");
    softHsmModule();  // fails early and clearly when p11-kit cannot reach SoftHSM
    QDir(dir_.path()).mkpath("tokens");
    QDir(dir_.path()).mkpath("certs");
    const QString conf = dir_.filePath("softhsm2.conf");
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write softhsm2.conf");
    f.write(QString("directories.tokendir = %1\nobjectstore.backend = file\nlog.level = ERROR\n"
                    "slots.removable = true\n")
                .arg(dir_.filePath("tokens"))
                .toUtf8());
    f.close();

    const auto set = [this](const QByteArray& name, const QString& value) {
        savedEnv_[name] =
            qEnvironmentVariableIsSet(name.constData()) ? std::optional(qgetenv(name.constData())) : std::nullopt;
        qputenv(name.constData(), value.toUtf8());
    };
    set("SOFTHSM2_CONF", conf);
    set("SSL_CERT_FILE", TestPki::instance().trustFile());
    set("SSL_CERT_DIR", dir_.filePath("certs"));
}

SoftHsmTokens::~SoftHsmTokens() {
    for (const auto& [name, value] : savedEnv_) {
        if (value)
            qputenv(name.constData(), *value);
        else
            qunsetenv(name.constData());
    }
}

QString SoftHsmTokens::addToken(const QString& label, std::initializer_list<Cert> withKeys,
                                std::initializer_list<Cert> withoutKeys, bool withIntermediate) {
    const TestPki& pki = TestPki::instance();
    runTool("softhsm2-util", {"--init-token", "--free", "--label", label, "--pin", kUserPin, "--so-pin", kSoPin});

    const auto writeCertificate = [&](const TestCertificate& c) {
        runTool("pkcs11-tool", {"--module", softHsmModule(), "--token-label", label, "--login", "--pin", kUserPin,
                                "--write-object", c.derPath, "--type", "cert", "--id", c.keyId, "--label", c.name});
    };
    for (Cert which : withKeys) {
        const TestCertificate& c = pki[which];
        if (keysAlwaysAuthenticate)
            runTool("pkcs11-tool", {"--module", softHsmModule(), "--token-label", label, "--login", "--pin", kUserPin,
                                    "--write-object", c.keyPath, "--type", "privkey", "--id", c.keyId, "--label",
                                    c.name, "--usage-sign", "--always-auth"});
        else
            runTool("softhsm2-util",
                    {"--import", c.keyPath, "--token", label, "--label", c.name, "--id", c.keyId, "--pin", kUserPin});
        writeCertificate(c);
    }
    for (Cert which : withoutKeys) writeCertificate(pki[which]);
    if (withIntermediate) writeCertificate(pki[Cert::Intermediate]);
    return serialOfNew(label);
}

QString SoftHsmTokens::addTokenWith(const QString& label, const QString& certDerPath, const QString& keyPemPath,
                                    const QString& idHex, const QString& name, const QStringList& alsoCertificates) {
    runTool("softhsm2-util", {"--init-token", "--free", "--label", label, "--pin", kUserPin, "--so-pin", kSoPin});
    runTool("softhsm2-util", {"--import", keyPemPath, "--token", label, "--label", name, "--id", idHex, "--pin", kUserPin});
    runTool("pkcs11-tool", {"--module", softHsmModule(), "--token-label", label, "--login", "--pin", kUserPin,
                            "--write-object", certDerPath, "--type", "cert", "--id", idHex, "--label", name});
    for (const QString& path : alsoCertificates)
        runTool("pkcs11-tool", {"--module", softHsmModule(), "--token-label", label, "--login", "--pin", kUserPin,
                                "--write-object", path, "--type", "cert", "--label", QFileInfo(path).baseName()});
    return serialOfNew(label);
}

// The serial SoftHSM gave the token just made.
QString SoftHsmTokens::serialOfNew(const QString& label) {
    const QString shown = QString::fromUtf8(runTool("softhsm2-util", {"--show-slots"}));
    QString serial;
    for (const QString& line : shown.split('\n')) {
        const QString t = line.trimmed();
        if (t.startsWith("Serial number:")) serial = t.mid(14).trimmed();
        if (t.startsWith("Label:") && t.mid(6).trimmed() == label) {
            serials_[label] = serial;
            return serial;
        }
    }
    throw std::runtime_error("token " + label.toStdString() + " not found after creating it");
}

void SoftHsmTokens::removeToken(const QString& label) {
    runTool("softhsm2-util", {"--delete-token", "--token", label});
    serials_.erase(label);
}

}  // namespace norvane::test

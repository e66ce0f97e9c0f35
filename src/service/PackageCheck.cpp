#include "service/PackageCheck.h"

#include "core/SystemErrors.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace norvane {

namespace {

constexpr int kDpkgDebTimeoutMs = 60000;

QString dpkgDeb() {
    const QString found = QStandardPaths::findExecutable(QStringLiteral("dpkg-deb"));
    if (!found.isEmpty()) return found;
    return QStandardPaths::findExecutable(QStringLiteral("dpkg-deb"), {QStringLiteral("/usr/bin"), QStringLiteral("/bin")});
}

}  // namespace

QString packageName() { return QStringLiteral(NORVANE_PACKAGE_NAME); }

std::optional<PackageFields> readPackageFields(const QString& path) {
    const QString program = dpkgDeb();
    if (program.isEmpty())
        throw Error(
            ErrorKind::ProgramMissing,
            QStringLiteral("Não foi possível verificar o pacote baixado: o programa dpkg-deb não foi encontrado."));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    // "--" : a path that starts with "-" stays a path.
    process.start(program, {QStringLiteral("--field"), QStringLiteral("--"), path, QStringLiteral("Package"),
                            QStringLiteral("Version")});
    if (!process.waitForStarted())
        throw Error(ErrorKind::ProgramMissing,
                    QStringLiteral("Não foi possível verificar o pacote baixado: %1").arg(processErrorText(process)));
    process.closeWriteChannel();
    if (!process.waitForFinished(kDpkgDebTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) return std::nullopt;

    // One "Field: value" line per field that the control data has.
    PackageFields fields;
    for (const QByteArray& raw : process.readAllStandardOutput().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0) continue;
        const QString name = line.left(colon).trimmed();
        const QString value = line.mid(colon + 1).trimmed();
        if (name.compare(QStringLiteral("Package"), Qt::CaseInsensitive) == 0)
            fields.package = value;
        else if (name.compare(QStringLiteral("Version"), Qt::CaseInsensitive) == 0)
            fields.version = value;
    }
    return fields;
}

QString leadingVersion(const QString& debianVersion) {
    QString upstream = debianVersion.trimmed();
    static const QRegularExpression epoch(QStringLiteral("^[0-9]+:"));
    upstream.remove(epoch);
    const qsizetype hyphen = upstream.lastIndexOf(QLatin1Char('-'));
    if (hyphen >= 0) upstream.truncate(hyphen);
    static const QRegularExpression numbers(QStringLiteral("^[0-9]+(?:\\.[0-9]+){0,2}"));
    return numbers.match(upstream).captured(0);
}

QString describeNonPackage(const QString& path) {
    QFile file(path);
    const qint64 size = QFileInfo(path).size();
    if (size == 0) return QStringLiteral("um arquivo vazio");
    QByteArray head;
    if (file.open(QIODevice::ReadOnly)) head = file.read(1024);
    if (head.startsWith("MZ")) return QStringLiteral("um programa do Windows");
    QByteArray text = head;
    if (text.startsWith("\xEF\xBB\xBF")) text.remove(0, 3);
    text = text.trimmed().toLower();
    if (text.startsWith("<!doctype html") || text.startsWith("<html") || text.contains("<html"))
        return QStringLiteral("uma página HTML");
    return QStringLiteral("um arquivo de %1 bytes de outro tipo").arg(size);
}

void acceptDownloadedPackage(const QString& path, const QString& version) {
    // The file goes whatever the reason it is refused, also when it cannot be checked at all.
    const auto removed = [&] {
        return QFile::remove(path) || !QFile::exists(path)
                   ? QStringLiteral("O arquivo foi apagado: %1").arg(path)
                   : QStringLiteral("Não foi possível apagar o arquivo: %1").arg(path);
    };
    const auto refuse = [&](PackageRefused::Kind kind, const QString& found) {
        throw PackageRefused(kind, (found + QLatin1Char('\n') + removed()).toStdString());
    };

    std::optional<PackageFields> fields;
    try {
        fields = readPackageFields(path);
    } catch (const Error& error) {
        // The same failure, now also saying what became of the file.
        throw Error(error.kind(), error.message() + QLatin1Char('\n') + removed(), error);
    }
    if (!fields)
        refuse(PackageRefused::Kind::NotAPackage,
               QStringLiteral("O arquivo baixado não é um pacote Debian: é %1.").arg(describeNonPackage(path)));
    if (fields->package != packageName())
        refuse(PackageRefused::Kind::OtherPackage,
               QStringLiteral("O arquivo baixado não é o pacote do assinador (%1): é o pacote \"%2\", versão %3.")
                   .arg(packageName(), fields->package, fields->version));
    if (leadingVersion(fields->version) != version)
        refuse(PackageRefused::Kind::OtherVersion,
               QStringLiteral("O pacote baixado é da versão %1, e não da versão %2 anunciada pelo serviço.")
                   .arg(fields->version, version));
}

}  // namespace norvane

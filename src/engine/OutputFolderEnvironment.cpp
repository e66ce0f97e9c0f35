#include "engine/OutputFolderEnvironment.h"

#include "core/Environment.h"
#include "engine/Journal.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvane {

std::optional<QString> otherEnvironmentSent(const QString& folder, const QString& ambiente) {
    const QByteArray path = QFile::encodeName(QDir(folder).filePath(kJournalFileName));
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    QFile journal;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !journal.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return std::nullopt;
    }
    while (!journal.atEnd()) {
        const QByteArray line = journal.readLine();
        if (!line.contains("\"enviado\"")) continue;  // most lines: no parse needed
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        if (object.value(QStringLiteral("norvane")).toInt() != 1 ||
            object.value(QStringLiteral("evento")).toString() != QLatin1String("enviado"))
            continue;
        const QJsonValue recorded = object.value(QStringLiteral("ambiente"));
        if (recorded.isString() && isProducao(recorded.toString()) != isProducao(ambiente))
            return recorded.toString();
    }
    return std::nullopt;
}

QString otherEnvironmentText(const QString& folder, const QString& recorded, const QString& ambiente) {
    return QStringLiteral("A pasta de saída %1 guarda arquivos enviados ao ambiente de %2 (veja %3); o ambiente "
                          "agora é %4. Escolha outra pasta de saída. Nada foi assinado nem enviado.")
        .arg(folder, environmentLabel(recorded), kJournalFileName, environmentLabel(ambiente));
}

}  // namespace norvane

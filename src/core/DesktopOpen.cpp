#include "core/DesktopOpen.h"

#include "core/Background.h"

#include <QDesktopServices>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace norvane {

namespace {
FileOpener& replacement() {
    static FileOpener opener;
    return opener;
}
}  // namespace

std::optional<QString> defaultHandlerFor(const QString& path) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const QString xdgMime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (xdgMime.isEmpty()) return std::nullopt;
    const QString type = QMimeDatabase().mimeTypeForFile(path).name();
    QProcess query;
    query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), type});
    query.closeWriteChannel();
    if (!query.waitForFinished(10000) || query.exitStatus() != QProcess::NormalExit) {
        query.kill();
        query.waitForFinished();
        return std::nullopt;
    }
    return QString::fromUtf8(query.readAllStandardOutput()).trimmed();
#else
    Q_UNUSED(path);
    return std::nullopt;
#endif
}

bool openWithDefaultHandler(const QString& path) {
    if (replacement()) return replacement()(path);
    // xdg-open would fall back to whatever takes any file (a browser, a text editor).
    const std::optional<QString> handler = runInBackground([path] { return defaultHandlerFor(path); });
    if (handler && handler->isEmpty()) return false;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void setFileOpener(FileOpener opener) { replacement() = std::move(opener); }

}  // namespace norvane

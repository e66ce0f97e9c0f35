#include "core/DesktopOpen.h"

#include <QDesktopServices>
#include <QUrl>

namespace norvane {

namespace {
FileOpener& replacement() {
    static FileOpener opener;
    return opener;
}
}  // namespace

bool openWithDefaultHandler(const QString& path) {
    if (replacement()) return replacement()(path);
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void setFileOpener(FileOpener opener) { replacement() = std::move(opener); }

}  // namespace norvane

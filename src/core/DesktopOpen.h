#pragma once
// Opening a file with the desktop's default handler for its type (the downloaded
// installer). Tests put a replacement in place.

#include <QString>
#include <functional>

namespace norvane {

// True when the handler was started.
using FileOpener = std::function<bool(const QString& path)>;

bool openWithDefaultHandler(const QString& path);

// Installs a replacement; an empty one restores the desktop's.
void setFileOpener(FileOpener replacement);

}  // namespace norvane

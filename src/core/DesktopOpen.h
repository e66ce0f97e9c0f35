#pragma once
// Opening a file with the desktop's default handler for its type (the downloaded
// installer). Tests put a replacement in place.

#include <QString>
#include <functional>
#include <optional>

namespace norvane {

// True when the handler was started. On Linux, false also when the desktop names no
// handler for the file's type (xdg-mime), so that nothing unsuited opens it instead.
using FileOpener = std::function<bool(const QString& path)>;

bool openWithDefaultHandler(const QString& path);

// Installs a replacement; an empty one restores the desktop's.
void setFileOpener(FileOpener replacement);

// The desktop entry of the default handler for the file's type, as xdg-mime names it
// ("" when there is none); nothing when xdg-mime cannot be asked.
std::optional<QString> defaultHandlerFor(const QString& path);

}  // namespace norvane

#pragma once

#include <QString>

namespace norvane {

// The folder part of a path, ending in its separator: everything up to and including the
// last separator, or the ":" of a drive where drives have letters ("/docs/a.pdf" -> "/docs/",
// "/a.pdf" -> "/"); empty when there is none.
QString folderWithSeparator(const QString& path);

}  // namespace norvane

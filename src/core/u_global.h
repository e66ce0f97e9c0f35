#pragma once

#include <QString>

// Version text of an executable file: format filled with major, minor, release, build.
// An empty file name means the running program. A file without a version record
// gives the empty text.
QString GetFileVersionText(const QString& fileName, const QString& format);

// Full path of a special folder by keyword: "desktop", "documentos" ("rede" has no
// folder here: the empty text); any other keyword gives the desktop.
QString GetSpecialFolder(const QString& keyword);

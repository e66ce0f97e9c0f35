#pragma once

#include <QString>
#include <QStringList>

// Cuts a text at every character equal to the whole delimiter text. An empty piece is
// kept except at the very end; a delimiter that is not one character never matches.
QStringList SplitByChar(const QString& delimiter, const QString& text);

// Size of a file (or folder) as decimal text, in bytes or whole kilobytes; "-1" when
// there is no such file.
QString GetFileSizeText(const QString& fileName, bool inKilobytes);

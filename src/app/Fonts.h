#pragma once

#include <QFont>

namespace norvane {

// The forms' typeface at a pixel size: Tahoma where it exists, else the closest
// metric-compatible sans serif installed.
inline QFont tahoma(int pixelSize, bool bold = false) {
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
                      QStringLiteral("DejaVu Sans")});
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

}  // namespace norvane

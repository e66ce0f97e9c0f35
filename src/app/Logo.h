#pragma once

#include <QByteArray>
#include <QPixmap>

class QPainter;
class QRectF;

namespace norvane {

// The program's 113 x 49 logo.
QPixmap makeLogo();

// The logo's seal (a navy disc with a white check mark) filling a square; the program's
// icon. sealSvg is the same drawing as an SVG document of size x size pixels, with the
// seal in the square (margin, margin, size - 2 margin).
void drawSeal(QPainter& painter, const QRectF& square);
QByteArray sealSvg(int size, double margin);

}  // namespace norvane

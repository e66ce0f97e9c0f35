// Writes the program's icons for the hicolor theme into a folder: the logo's seal as a
// 48 x 48 PNG and as a scalable SVG.
//   usage: make_icons FOLDER NAME   (writes FOLDER/NAME.png and FOLDER/NAME.svg)

#include "app/Logo.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FOLDER NAME\n", argv[0]);
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    const QString name = QString::fromLocal8Bit(argv[2]);
    constexpr int size = 48;
    constexpr double margin = 2;

    QImage png(size, size, QImage::Format_ARGB32_Premultiplied);
    png.fill(Qt::transparent);
    {
        QPainter painter(&png);
        painter.setRenderHint(QPainter::Antialiasing);
        norvane::drawSeal(painter, QRectF(margin, margin, size - 2 * margin, size - 2 * margin));
    }
    QSaveFile pngFile(folder.filePath(name + ".png"));
    QSaveFile svgFile(folder.filePath(name + ".svg"));
    if (!pngFile.open(QIODevice::WriteOnly) || !png.save(&pngFile, "PNG") || !pngFile.commit() ||
        !svgFile.open(QIODevice::WriteOnly) || svgFile.write(norvane::sealSvg(size, margin)) < 0 || !svgFile.commit()) {
        std::fprintf(stderr, "make_icons: cannot write the icons into %s\n", argv[1]);
        return 1;
    }
    return 0;
}

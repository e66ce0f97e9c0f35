#include "app/Logo.h"

#include "app/Fonts.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>

namespace norvane {

namespace {

// The seal in a unit square: the disc fills it, the gradient runs top to bottom a little
// beyond it, the check mark is a round-capped polyline.
const QColor kSealTop(0x1f, 0x4e, 0x8c);
const QColor kSealBottom(0x12, 0x2f, 0x57);
constexpr double kGradientFrom = -2.0 / 37, kGradientTo = 39.0 / 37;
constexpr QPointF kCheck[] = {{9.0 / 37, 19.0 / 37}, {16.0 / 37, 26.0 / 37}, {29.0 / 37, 11.0 / 37}};
constexpr double kCheckWidth = 4.0 / 37;

}  // namespace

void drawSeal(QPainter& painter, const QRectF& square) {
    const auto at = [&](QPointF p) { return square.topLeft() + QPointF(p.x() * square.width(), p.y() * square.height()); };
    painter.save();
    QLinearGradient disc(at({0, kGradientFrom}), at({0, kGradientTo}));
    disc.setColorAt(0, kSealTop);
    disc.setColorAt(1, kSealBottom);
    painter.setPen(Qt::NoPen);
    painter.setBrush(disc);
    painter.drawEllipse(square);
    QPainterPath check;
    check.moveTo(at(kCheck[0]));
    check.lineTo(at(kCheck[1]));
    check.lineTo(at(kCheck[2]));
    painter.setPen(QPen(Qt::white, kCheckWidth * square.width(), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(check);
    painter.restore();
}

QByteArray sealSvg(int size, double margin) {
    const double side = size - 2 * margin;
    const auto x = [&](double u) { return QString::number(margin + u * side, 'f', 2); };
    QString points;
    for (const QPointF& p : kCheck) points += x(p.x()) + ',' + x(p.y()) + ' ';
    const QString svg =
        QStringLiteral(
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" viewBox=\"0 0 %1 %1\">\n"
            "  <defs><linearGradient id=\"disc\" gradientUnits=\"userSpaceOnUse\" x1=\"0\" y1=\"%2\" x2=\"0\" "
            "y2=\"%3\">"
            "<stop offset=\"0\" stop-color=\"%4\"/><stop offset=\"1\" stop-color=\"%5\"/></linearGradient></defs>\n"
            "  <circle cx=\"%6\" cy=\"%6\" r=\"%7\" fill=\"url(#disc) #1a3f72\"/>\n"
            "  <polyline points=\"%8\" fill=\"none\" stroke=\"#ffffff\" stroke-width=\"%9\" "
            "stroke-linecap=\"round\" stroke-linejoin=\"round\"/>\n"
            "</svg>\n")
            .arg(size)
            .arg(x(kGradientFrom), x(kGradientTo), kSealTop.name(), kSealBottom.name(), x(0.5),
                 QString::number(side / 2, 'f', 2), points.trimmed(), QString::number(kCheckWidth * side, 'f', 2));
    return svg.toUtf8();
}

QPixmap makeLogo() {
    QPixmap logo(113, 49);
    logo.fill(Qt::transparent);
    QPainter painter(&logo);
    painter.setRenderHint(QPainter::Antialiasing);

    // The seal, and the name beside it.
    drawSeal(painter, QRectF(2, 6, 37, 37));

    QFont name = tahoma(16, true);
    // Fit the name in the space beside the seal whatever typeface stands in for Tahoma.
    while (name.pixelSize() > 9 && QFontMetrics(name).horizontalAdvance(QStringLiteral("Norvane")) > 68)
        name.setPixelSize(name.pixelSize() - 1);
    painter.setFont(name);
    painter.setPen(QColor(0x12, 0x2f, 0x57));
    painter.drawText(QRectF(43, 6, 70, 22), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Norvane"));
    painter.setFont(tahoma(10));
    painter.setPen(QColor(0x55, 0x5f, 0x6d));
    painter.drawText(QRectF(43, 27, 70, 16), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Assinador IP"));
    return logo;
}

}  // namespace norvane

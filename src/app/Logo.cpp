#include "app/Logo.h"

#include "app/Fonts.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace norvane {

QPixmap makeLogo() {
    QPixmap logo(113, 49);
    logo.fill(Qt::transparent);
    QPainter painter(&logo);
    painter.setRenderHint(QPainter::Antialiasing);

    // A seal: a navy disc with a white check mark, and the name beside it.
    QLinearGradient disc(0, 4, 0, 45);
    disc.setColorAt(0, QColor(0x1f, 0x4e, 0x8c));
    disc.setColorAt(1, QColor(0x12, 0x2f, 0x57));
    painter.setPen(Qt::NoPen);
    painter.setBrush(disc);
    painter.drawEllipse(QRectF(2, 6, 37, 37));
    QPainterPath check;
    check.moveTo(11, 25);
    check.lineTo(18, 32);
    check.lineTo(31, 17);
    painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(check);

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

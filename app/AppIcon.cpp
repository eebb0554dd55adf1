#include "AppIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace korvalis {

QImage KorvalisIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // Device body.
    const QRectF body(s * 0.16, s * 0.04, s * 0.68, s * 0.92);
    QLinearGradient shell(body.topLeft(), body.bottomRight());
    shell.setColorAt(0, QColor(0x3a, 0x44, 0x55));
    shell.setColorAt(1, QColor(0x1c, 0x22, 0x2c));
    p.setPen(Qt::NoPen);
    p.setBrush(shell);
    p.drawRoundedRect(body, s * 0.08, s * 0.08);
    // Screen, 3:4 like the device's.
    const QRectF screen(s * 0.22, s * 0.10, s * 0.56, s * 0.747);
    QLinearGradient glow(screen.topLeft(), screen.bottomLeft());
    glow.setColorAt(0, QColor(0x12, 0x8c, 0xd8));
    glow.setColorAt(1, QColor(0x0b, 0x3d, 0x78));
    p.setBrush(glow);
    p.drawRoundedRect(screen, s * 0.03, s * 0.03);
    // The "K".
    QPainterPath k;
    const qreal x0 = s * 0.36, x1 = s * 0.64, y0 = s * 0.22, y1 = s * 0.74, ym = (y0 + y1) / 2;
    k.moveTo(x0, y0);
    k.lineTo(x0, y1);
    k.moveTo(x1, y0);
    k.lineTo(x0 + s * 0.02, ym);
    k.lineTo(x1, y1);
    QPen pen(QColor(0xff, 0xb3, 0x1a), std::max<qreal>(1.5, s * 0.09), Qt::SolidLine, Qt::RoundCap,
             Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawPath(k);
    // Button below the screen.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x9a, 0xa5, 0xb5));
    p.drawEllipse(QPointF(s * 0.5, s * 0.905), s * 0.035, s * 0.035);
    return image;
}

QIcon KorvalisIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(QPixmap::fromImage(KorvalisIconImage(size)));
    return icon;
}

} // namespace korvalis

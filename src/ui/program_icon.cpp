#include "ui/program_icon.h"

#include <QPainter>
#include <QPixmap>

namespace tessaly::ui {

QImage drawProgramIcon(int size) {
    // An image, not a pixmap: the package's icon files are drawn without a display.
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double unit = size / 16.0;
    // A certificate sheet with a seal and a circular arrow: renewal.
    painter.setPen(QPen(QColor(40, 60, 110), unit));
    painter.setBrush(QColor(250, 250, 245));
    painter.drawRect(QRectF(1.5 * unit, 1.5 * unit, 10 * unit, 12 * unit));
    painter.setPen(QPen(QColor(90, 110, 150), unit * 0.8));
    for (int line = 0; line < 3; ++line) {
        const double y = (4 + 2.5 * line) * unit;
        painter.drawLine(QPointF(3.5 * unit, y), QPointF(9.5 * unit, y));
    }
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(200, 40, 40));
    painter.drawEllipse(QRectF(8.5 * unit, 8.5 * unit, 6.5 * unit, 6.5 * unit));
    painter.setPen(QPen(Qt::white, unit * 1.1));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(10 * unit, 10 * unit, 3.5 * unit, 3.5 * unit), 90 * 16, 270 * 16);
    return image;
}

QIcon programIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(drawProgramIcon(16)));
    icon.addPixmap(QPixmap::fromImage(drawProgramIcon(32)));
    return icon;
}

}  // namespace tessaly::ui

// Draws the window's images (logo and arrows) as PNG files, so the repository
// holds the recipe instead of opaque binaries.
#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QTransform>

#include <cstdio>

namespace
{

QImage transparentImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

// A red shield with a white "V" and "H" drawn as strokes.
QImage drawLogo()
{
    QImage image = transparentImage(100, 131);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shield;
    shield.moveTo(6, 6);
    shield.lineTo(94, 6);
    shield.lineTo(94, 80);
    shield.quadTo(94, 110, 50, 126);
    shield.quadTo(6, 110, 6, 80);
    shield.closeSubpath();
    painter.fillPath(shield, QColor(196, 24, 32));
    painter.setPen(QPen(QColor(120, 10, 16), 3));
    painter.drawPath(shield);
    painter.setPen(QPen(Qt::white, 9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawPolyline(QPolygonF({{18, 24}, {30, 62}, {42, 24}}));
    painter.drawLine(QPointF(56, 24), QPointF(56, 62));
    painter.drawLine(QPointF(82, 24), QPointF(82, 62));
    painter.drawLine(QPointF(56, 43), QPointF(82, 43));
    painter.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(22, 80), QPointF(78, 80));
    painter.drawLine(QPointF(30, 92), QPointF(70, 92));
    return image;
}

// A filled arrow pointing right, rotated by the given angle in degrees.
QImage drawArrow(int size, qreal angle)
{
    QImage image = transparentImage(size, size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const QPolygonF arrow({{0.15 * s, 0.38 * s},
                           {0.55 * s, 0.38 * s},
                           {0.55 * s, 0.18 * s},
                           {0.88 * s, 0.50 * s},
                           {0.55 * s, 0.82 * s},
                           {0.55 * s, 0.62 * s},
                           {0.15 * s, 0.62 * s}});
    QTransform turn;
    turn.translate(s / 2, s / 2).rotate(angle).translate(-s / 2, -s / 2);
    painter.setPen(QPen(QColor(40, 40, 40), 2));
    painter.setBrush(QColor(90, 90, 90));
    painter.drawPolygon(turn.map(arrow));
    return image;
}

bool save(const QImage &image, const QDir &dir, const char *name)
{
    if (image.save(dir.filePath(QString::fromLatin1(name)), "PNG"))
        return true;
    std::fprintf(stderr, "imagegen: cannot write %s\n", name);
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: imagegen <output folder>\n");
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral(".")))
        return 1;
    bool ok = save(drawLogo(), dir, "logo_vh_red.png");
    ok = save(drawArrow(50, 180), dir, "arr_left.png") && ok;
    ok = save(drawArrow(50, 270), dir, "arr_up.png") && ok;
    ok = save(drawArrow(50, 90), dir, "arr_down.png") && ok;
    ok = save(drawArrow(50, 0), dir, "arr_right.png") && ok;
    ok = save(drawArrow(40, 90), dir, "arr_down_cmb.png") && ok;
    return ok ? 0 : 1;
}

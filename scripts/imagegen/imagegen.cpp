// Draws the splash images and button icons of the updater. Run once by hand
// (scripts/imagegen/run.sh); the PNG files it writes are kept in the tree.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QDir>

static void splash(const QString &file, const QString &title, QColor a, QColor b)
{
    QImage img(480, 280, QImage::Format_ARGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 480, 280);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    p.fillRect(img.rect(), g);
    // a plain cross in a circle: the family's mark
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawEllipse(QPointF(90, 140), 52, 52);
    p.setBrush(a.darker(120));
    p.drawRect(QRectF(80, 108, 20, 64));
    p.drawRect(QRectF(58, 130, 64, 20));
    p.setPen(Qt::white);
    QFont f(QStringLiteral("DejaVu Sans"), 28, QFont::Bold);
    p.setFont(f);
    p.drawText(QRectF(165, 95, 300, 50), Qt::AlignLeft | Qt::AlignVCenter, title);
    f.setPointSize(12);
    f.setBold(false);
    p.setFont(f);
    p.drawText(QRectF(167, 145, 300, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("updater 1.0.0.25"));
    p.end();
    img.save(file);
}

static void icon(const QString &file, QColor c, int kind)
{
    QImage img(32, 32, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(c.darker(150), 1.5));
    p.setBrush(c);
    switch (kind) {
    case 0: { // run: a triangle
        QPainterPath path;
        path.moveTo(9, 5); path.lineTo(27, 16); path.lineTo(9, 27); path.closeSubpath();
        p.drawPath(path);
        break; }
    case 1: // add: plus
        p.drawRect(QRectF(13, 4, 6, 24)); p.drawRect(QRectF(4, 13, 24, 6));
        break;
    case 2: // remove: minus
        p.drawRect(QRectF(4, 13, 24, 6));
        break;
    case 3: // refresh: ring
        p.setBrush(Qt::NoBrush); p.setPen(QPen(c, 5)); p.drawArc(QRectF(6, 6, 20, 20), 30 * 16, 300 * 16);
        break;
    case 4: // settings: gear-ish
        p.drawEllipse(QPointF(16, 16), 11, 11); p.setBrush(Qt::white); p.drawEllipse(QPointF(16, 16), 4, 4);
        break;
    case 6: // cancel: a cross in a circle
        p.drawEllipse(QPointF(16, 16), 13, 13);
        p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(11, 11), QPointF(21, 21)); p.drawLine(QPointF(21, 11), QPointF(11, 21));
        break;
    case 7: { // apply: a tick
        p.setBrush(Qt::NoBrush); p.setPen(QPen(c, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        QPainterPath path;
        path.moveTo(6, 17); path.lineTo(13, 24); path.lineTo(26, 8);
        p.drawPath(path);
        break; }
    case 8: { // edit (install): a box with an arrow into it
        p.drawRect(QRectF(5, 15, 22, 13));
        p.setPen(Qt::NoPen); p.setBrush(c.darker(140));
        QPainterPath path;
        path.moveTo(16, 22); path.lineTo(9, 13); path.lineTo(13.5, 13); path.lineTo(13.5, 3);
        path.lineTo(18.5, 3); path.lineTo(18.5, 13); path.lineTo(23, 13); path.closeSubpath();
        p.drawPath(path);
        break; }
    case 9: // del: a bin
        p.drawRect(QRectF(8, 9, 16, 19)); p.drawRect(QRectF(5, 5, 22, 4)); p.drawRect(QRectF(13, 2, 6, 3));
        p.setPen(QPen(Qt::white, 2)); p.drawLine(12, 12, 12, 25); p.drawLine(16, 12, 16, 25); p.drawLine(20, 12, 20, 25);
        break;
    case 10: // mirror: two stacked disks
        p.drawEllipse(QRectF(4, 15, 24, 10)); p.drawRect(QRectF(4, 11, 24, 9)); p.setPen(Qt::NoPen);
        p.drawRect(QRectF(4.8, 15, 22.4, 5)); p.setPen(QPen(c.darker(150), 1.5)); p.drawEllipse(QRectF(4, 6, 24, 10));
        break;
    default: // link: arrow
        p.drawRect(QRectF(5, 5, 22, 22)); p.setPen(QPen(Qt::white, 3)); p.drawLine(10, 22, 22, 10); p.drawLine(14, 10, 22, 10); p.drawLine(22, 10, 22, 18);
        break;
    }
    p.end();
    img.save(file);
}

// The edition's mark as a 64 x 64 image: shortcuts and program rows show it
// where a program brings no icon of its own.
static void editionIcon(const QString &file, QColor a, QColor b)
{
    QImage img(64, 64, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 64, 64);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    p.setBrush(QColor(255, 255, 255, 235));
    p.drawEllipse(QPointF(32, 32), 22, 22);
    p.setBrush(a.darker(120));
    p.drawRect(QRectF(27, 17, 10, 30));
    p.drawRect(QRectF(17, 27, 30, 10));
    p.end();
    img.save(file);
}

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(out);
    splash(out + "/splash.png", QStringLiteral("Updater"), QColor(0x3a, 0x6e, 0xa5), QColor(0x1d, 0x37, 0x52));
    splash(out + "/splash_kestra.png", QStringLiteral("Kestra"), QColor(0x2e, 0x8b, 0x57), QColor(0x14, 0x45, 0x2b));
    splash(out + "/splash_orvel.png", QStringLiteral("Orvel"), QColor(0xb0, 0x5a, 0x2a), QColor(0x5a, 0x2a, 0x12));
    editionIcon(out + "/palladupd.png", QColor(0x3a, 0x6e, 0xa5), QColor(0x1d, 0x37, 0x52));
    editionIcon(out + "/kestraupd.png", QColor(0x2e, 0x8b, 0x57), QColor(0x14, 0x45, 0x2b));
    editionIcon(out + "/orvelupd.png", QColor(0xb0, 0x5a, 0x2a), QColor(0x5a, 0x2a, 0x12));
    icon(out + "/run.png", QColor(0x2e, 0x9b, 0x4f), 0);
    icon(out + "/add.png", QColor(0x2f, 0x6f, 0xc0), 1);
    icon(out + "/remove.png", QColor(0xc0, 0x3a, 0x2f), 2);
    icon(out + "/refresh.png", QColor(0x2f, 0x8f, 0xa0), 3);
    icon(out + "/settings.png", QColor(0x70, 0x70, 0x70), 4);
    icon(out + "/link.png", QColor(0x8a, 0x5a, 0xc0), 5);
    icon(out + "/cancel.png", QColor(0xc8, 0x3c, 0x32), 6);
    icon(out + "/apply.png", QColor(0x2e, 0x9b, 0x4f), 7);
    icon(out + "/edit.png", QColor(0xd8, 0xa8, 0x50), 8);
    icon(out + "/del.png", QColor(0xc0, 0x3a, 0x2f), 9);
    icon(out + "/mirror.png", QColor(0x4a, 0x7a, 0xb8), 10);
    icon(out + "/run.ico", QColor(0x2e, 0x9b, 0x4f), 0);
    return 0;
}

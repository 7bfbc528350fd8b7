// Draws the program's own toolbar bitmaps, host state images and application icon.
// Run once by hand (target velmora_draw_images) when a picture changes; its output files
// are committed beside it:  velmora_draw_images <resources dir>
#include <cmath>
#include <functional>

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace {

// Masked bitmaps: every pixel of the colour of the first stored pixel is transparent.
const QColor kToolbarMask(255, 0, 255);

using Drawer = std::function<void(QPainter&)>;

QImage DrawAntialiased(int w, int h, const Drawer& draw) {
    QImage img(w, h, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    return img;
}

// Flattens onto the mask colour without blended fringes: half-covered pixels become solid.
QImage Flatten(const QImage& argb, const QColor& mask) {
    QImage out(argb.size(), QImage::Format_RGB888);
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            QColor c = argb.pixelColor(x, y);
            if (c.alpha() < 110) {
                out.setPixelColor(x, y, mask);
            } else {
                c.setAlpha(255);
                if (c == mask)
                    c = QColor(mask.red(), mask.green(), mask.blue() ^ 1);
                out.setPixelColor(x, y, c);
            }
        }
    }
    return out;
}

QImage Disabled(const QImage& normal, const QColor& mask) {
    QImage out = normal;
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            QColor c = out.pixelColor(x, y);
            if (c == mask)
                continue;
            const int g = 128 + qGray(c.rgb()) / 2;
            out.setPixelColor(x, y, QColor(g, g, g));
        }
    }
    return out;
}

void Arrow(QPainter& p, QPointF from, QPointF to, const QColor& color, double width) {
    const double dx = to.x() - from.x(), dy = to.y() - from.y();
    const double len = std::sqrt(dx * dx + dy * dy);
    const double ux = dx / len, uy = dy / len;
    const QPointF base(to.x() - ux * width * 1.6, to.y() - uy * width * 1.6);
    p.setPen(QPen(color.darker(130), 1));
    p.setBrush(color);
    QPolygonF head;
    head << to << QPointF(base.x() - uy * width * 1.3, base.y() + ux * width * 1.3)
         << QPointF(base.x() + uy * width * 1.3, base.y() - ux * width * 1.3);
    QPolygonF shaft;
    const double hw = width / 2;
    shaft << QPointF(from.x() - uy * hw, from.y() + ux * hw)
          << QPointF(from.x() + uy * hw, from.y() - ux * hw)
          << QPointF(base.x() + uy * hw, base.y() - ux * hw)
          << QPointF(base.x() - uy * hw, base.y() + ux * hw);
    p.drawPolygon(shaft);
    p.drawPolygon(head);
}

void Folder(QPainter& p) {
    p.setPen(QPen(QColor(150, 110, 20), 1.2));
    p.setBrush(QColor(240, 200, 80));
    QPainterPath back;
    back.moveTo(3, 10);
    back.lineTo(11, 10);
    back.lineTo(13, 13);
    back.lineTo(28, 13);
    back.lineTo(28, 27);
    back.lineTo(3, 27);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(252, 222, 120));
    p.drawRect(QRectF(3, 16, 25, 11));
}

void Monitor(QPainter& p, QRectF r) {
    p.setPen(QPen(QColor(60, 60, 70), 1.2));
    p.setBrush(QColor(200, 200, 205));
    p.drawRoundedRect(r, 1.5, 1.5);
    p.setBrush(QColor(40, 110, 200));
    p.drawRect(r.adjusted(2.5, 2.5, -2.5, -2.5));
    p.setBrush(QColor(200, 200, 205));
    const double cx = r.center().x();
    p.drawRect(QRectF(cx - 1.5, r.bottom(), 3, 2.5));
    p.drawRect(QRectF(cx - 5, r.bottom() + 2.5, 10, 2));
}

void Plus(QPainter& p, QPointF c, double s) {
    p.setPen(QPen(QColor(20, 100, 20), 1));
    p.setBrush(QColor(40, 180, 50));
    p.drawRect(QRectF(c.x() - s, c.y() - s / 3, 2 * s, 2 * s / 3));
    p.drawRect(QRectF(c.x() - s / 3, c.y() - s, 2 * s / 3, 2 * s));
}

void Circle(QPainter& p, const QColor& color) {
    p.setPen(QPen(color.darker(140), 1.5));
    QRadialGradient g(QPointF(13, 11), 16);
    g.setColorAt(0, color.lighter(150));
    g.setColorAt(1, color);
    p.setBrush(g);
    p.drawEllipse(QRectF(3, 3, 26, 26));
}

void CenteredText(QPainter& p, const QString& text, int pixelSize) {
    QFont f("DejaVu Sans");
    f.setBold(true);
    f.setPixelSize(pixelSize);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(3, 3, 26, 26), Qt::AlignCenter, text);
}

std::vector<Drawer> ToolbarDrawers() {
    return {
        // Import: an arrow into a folder.
        [](QPainter& p) {
            Folder(p);
            Arrow(p, QPointF(22, 1), QPointF(16, 21), QColor(40, 170, 60), 4);
        },
        // Export: an arrow out of a folder.
        [](QPainter& p) {
            Folder(p);
            Arrow(p, QPointF(14, 22), QPointF(25, 2), QColor(40, 110, 210), 4);
        },
        // Add IP.
        [](QPainter& p) {
            Monitor(p, QRectF(2, 5, 22, 17));
            Plus(p, QPointF(24, 22), 6);
        },
        // Add IP range: two hosts.
        [](QPainter& p) {
            Monitor(p, QRectF(1, 2, 16, 12));
            Monitor(p, QRectF(9, 12, 16, 12));
            Plus(p, QPointF(25, 8), 5.5);
        },
        // Delete.
        [](QPainter& p) {
            p.setPen(QPen(QColor(200, 30, 30), 6, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(8, 8), QPointF(24, 24));
            p.drawLine(QPointF(24, 8), QPointF(8, 24));
        },
        // Move down.
        [](QPainter& p) { Arrow(p, QPointF(16, 3), QPointF(16, 29), QColor(40, 110, 210), 7); },
        // Move up.
        [](QPainter& p) { Arrow(p, QPointF(16, 29), QPointF(16, 3), QColor(40, 110, 210), 7); },
        // Setting: a gear.
        [](QPainter& p) {
            QPainterPath gear;
            const QPointF c(16, 16);
            for (int i = 0; i < 16; ++i) {
                const double a = i * M_PI / 8;
                const double r = (i % 2 == 0) ? 14 : 10.5;
                const double a0 = a - M_PI / 16, a1 = a + M_PI / 16;
                QPointF p0(c.x() + r * std::cos(a0), c.y() + r * std::sin(a0));
                QPointF p1(c.x() + r * std::cos(a1), c.y() + r * std::sin(a1));
                if (i == 0)
                    gear.moveTo(p0);
                else
                    gear.lineTo(p0);
                gear.lineTo(p1);
            }
            gear.closeSubpath();
            gear.addEllipse(c, 4.5, 4.5);
            p.setPen(QPen(QColor(70, 70, 80), 1.2));
            p.setBrush(QColor(160, 165, 175));
            p.drawPath(gear);
        },
        // Start service: play.
        [](QPainter& p) {
            p.setPen(QPen(QColor(20, 110, 30), 1.5));
            p.setBrush(QColor(50, 190, 60));
            QPolygonF t;
            t << QPointF(8, 4) << QPointF(28, 16) << QPointF(8, 28);
            p.drawPolygon(t);
        },
        // Stop service.
        [](QPainter& p) {
            p.setPen(QPen(QColor(130, 20, 20), 1.5));
            p.setBrush(QColor(210, 50, 40));
            p.drawRoundedRect(QRectF(6, 6, 20, 20), 2, 2);
        },
        // Stop sound: a speaker, struck out.
        [](QPainter& p) {
            p.setPen(QPen(QColor(50, 50, 60), 1.2));
            p.setBrush(QColor(120, 125, 135));
            QPolygonF s;
            s << QPointF(3, 12) << QPointF(9, 12) << QPointF(17, 5) << QPointF(17, 27)
              << QPointF(9, 20) << QPointF(3, 20);
            p.drawPolygon(s);
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(QColor(90, 90, 100), 2));
            p.drawArc(QRectF(14, 9, 10, 14), -60 * 16, 120 * 16);
            p.setPen(QPen(QColor(210, 30, 30), 3.5, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(4, 28), QPointF(28, 4));
        },
        // View log file: a page with lines.
        [](QPainter& p) {
            p.setPen(QPen(QColor(80, 80, 90), 1.2));
            p.setBrush(Qt::white);
            QPolygonF page;
            page << QPointF(6, 2) << QPointF(21, 2) << QPointF(27, 8) << QPointF(27, 30)
                 << QPointF(6, 30);
            p.drawPolygon(page);
            p.setPen(QPen(QColor(40, 90, 180), 1.6));
            for (int i = 0; i < 6; ++i)
                p.drawLine(QPointF(9, 10 + 3.5 * i), QPointF(i == 5 ? 18 : 24, 10 + 3.5 * i));
        },
        // Help.
        [](QPainter& p) {
            Circle(p, QColor(30, 100, 200));
            CenteredText(p, "?", 20);
        },
        // About.
        [](QPainter& p) {
            Circle(p, QColor(20, 140, 150));
            CenteredText(p, "i", 20);
        },
    };
}

// One host state image: a shaded disc of `fill`, or of `fill` on the left half and
// `right` on the right, or (ring) a disc of `fill` inside a thick ring of `right`.
enum class StateShape { kDisc, kHalves, kRing };

QImage StateImage(StateShape shape, const QColor& fill, const QColor& right = QColor()) {
    return DrawAntialiased(16, 16, [&](QPainter& p) {
        const QRectF disc(1.5, 1.5, 13, 13);
        auto shaded = [](const QColor& colour) {
            QRadialGradient g(QPointF(6, 6), 9);
            g.setColorAt(0, colour.lighter(150));
            g.setColorAt(1, colour);
            return QBrush(g);
        };
        p.setPen(Qt::NoPen);
        switch (shape) {
            case StateShape::kDisc:
                p.setBrush(shaded(fill));
                p.drawEllipse(disc);
                break;
            case StateShape::kHalves:
                p.setBrush(shaded(fill));
                p.drawPie(disc, 90 * 16, 180 * 16);
                p.setBrush(shaded(right));
                p.drawPie(disc, 270 * 16, 180 * 16);
                break;
            case StateShape::kRing:
                p.setBrush(shaded(right));
                p.drawEllipse(disc);
                p.setBrush(shaded(fill));
                p.drawEllipse(QRectF(4.5, 4.5, 7, 7));
                break;
        }
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(0, 0, 0, 110), 1));
        p.drawEllipse(disc);
    });
}

QImage AppIcon(int size) {
    return DrawAntialiased(size, size, [&](QPainter& p) {
        p.scale(size / 32.0, size / 32.0);
        p.setPen(QPen(QColor(10, 40, 80), 1.2));
        QRadialGradient g(QPointF(12, 10), 22);
        g.setColorAt(0, QColor(60, 120, 200));
        g.setColorAt(1, QColor(15, 50, 110));
        p.setBrush(g);
        p.drawEllipse(QRectF(1, 1, 30, 30));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor(90, 230, 110), 2.2, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 3; ++i) {
            const double r = 6 + 5.5 * i;
            p.drawArc(QRectF(9 - r, 23 - r, 2 * r, 2 * r), 5 * 16, 80 * 16);
        }
        p.setBrush(QColor(90, 230, 110));
        p.drawEllipse(QRectF(7, 21, 4, 4));
    });
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString(".");

    const std::vector<Drawer> drawers = ToolbarDrawers();
    QImage strip(32 * static_cast<int>(drawers.size()), 32, QImage::Format_RGB888);
    strip.fill(kToolbarMask);
    {
        QPainter p(&strip);
        for (size_t i = 0; i < drawers.size(); ++i)
            p.drawImage(32 * static_cast<int>(i), 0,
                        Flatten(DrawAntialiased(32, 32, drawers[i]), kToolbarMask));
    }
    if (!strip.save(dir + "/toolbar_166.bmp") ||
        !Disabled(strip, kToolbarMask).save(dir + "/toolbar_184.bmp"))
        return 1;

    // Host states 0 up, 1 changing, 2 down, 3 (never used), 4 loss over the threshold,
    // on a white ground; the image list's mask colour appears nowhere in them.
    const QColor green(30, 170, 50), yellow(240, 200, 20), red(215, 30, 30);
    const QImage states[] = {
        StateImage(StateShape::kDisc, green),       StateImage(StateShape::kDisc, yellow),
        StateImage(StateShape::kDisc, red),         StateImage(StateShape::kHalves, red, yellow),
        StateImage(StateShape::kRing, yellow, red),
    };
    QImage stateStrip(16 * 5, 16, QImage::Format_RGB888);
    stateStrip.fill(Qt::white);
    {
        QPainter p(&stateStrip);
        for (int i = 0; i < 5; ++i)
            p.drawImage(16 * i, 0, states[i]);
    }
    if (!stateStrip.save(dir + "/host_states_136.bmp"))
        return 1;

    // The window and tray take 16 to 64; 128 is for the desktop's application menu.
    for (int size : {16, 32, 48, 64, 128})
        if (!AppIcon(size).save(dir + QString("/icon_128_%1.png").arg(size)))
            return 1;
    return 0;
}

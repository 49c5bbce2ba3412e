// Draws the window skins into PNG files. Run once after changing a look; the PNGs are
// committed so that the program never depends on this tool:
//   QT_QPA_PLATFORM=offscreen build/resources/skin_painter resources/skins resources/icons
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgGenerator>
#include <cstdio>

namespace {

const QColor kDeep(9, 22, 48);
const QColor kNavy(16, 42, 86);
const QColor kBlue(34, 92, 168);
const QColor kCyan(86, 196, 255);
const QColor kLine(60, 130, 210, 90);

QImage canvas(int w, int h) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
}

void grid(QPainter& p, const QRect& r, int step) {
    p.setPen(QPen(QColor(70, 140, 220, 28), 1));
    for (int x = r.left(); x <= r.right(); x += step)
        p.drawLine(x, r.top(), x, r.bottom());
    for (int y = r.top(); y <= r.bottom(); y += step)
        p.drawLine(r.left(), y, r.right(), y);
}

// A circuit-board trace: a polyline ending in a small pad.
void trace(QPainter& p, std::initializer_list<QPoint> points) {
    p.setPen(QPen(kLine, 1.5));
    p.setBrush(Qt::NoBrush);
    QPainterPath path;
    bool first = true;
    QPoint last;
    for (const QPoint& pt : points) {
        if (first)
            path.moveTo(pt);
        else
            path.lineTo(pt);
        first = false;
        last = pt;
    }
    p.drawPath(path);
    p.setBrush(QColor(86, 196, 255, 120));
    p.drawEllipse(last, 3, 3);
    p.setBrush(Qt::NoBrush);
}

QImage mainBackground() {
    QImage img = canvas(705, 497);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 0, 497);
    bg.setColorAt(0, kNavy);
    bg.setColorAt(1, kDeep);
    p.fillRect(img.rect(), bg);
    grid(p, img.rect(), 16);

    // Title band with the program's name.
    QLinearGradient band(0, 0, 705, 0);
    band.setColorAt(0, QColor(28, 78, 150));
    band.setColorAt(1, QColor(12, 34, 72));
    p.fillRect(QRect(0, 0, 705, 26), band);
    p.setPen(QPen(kCyan, 1));
    p.drawLine(0, 26, 705, 26);
    QFont title("WenQuanYi Micro Hei");
    title.setPixelSize(14);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(220, 238, 255));
    p.drawText(QRect(12, 0, 400, 26), Qt::AlignVCenter,
               QStringLiteral("LED异步控制器  CPU配置工具"));

    // Banner: a stylised LED matrix.
    QRect banner(16, 38, 673, 60);
    QLinearGradient bb(banner.topLeft(), banner.bottomLeft());
    bb.setColorAt(0, QColor(20, 56, 110));
    bb.setColorAt(1, QColor(10, 28, 60));
    p.setPen(QPen(QColor(60, 130, 210), 1));
    p.setBrush(bb);
    p.drawRoundedRect(banner, 6, 6);
    p.setPen(Qt::NoPen);
    for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 64; ++col) {
            const bool lit = ((col * 7 + row * 3) % 11) < 4;
            p.setBrush(lit ? QColor(86, 196, 255, 200) : QColor(40, 80, 140, 110));
            p.drawEllipse(QPointF(banner.left() + 18 + col * 10, banner.top() + 10 + row * 10), 2.6,
                          2.6);
        }

    // Left navigation column behind the buttons.
    QRect nav(8, 104, 144, 250);
    p.setPen(QPen(QColor(60, 130, 210, 120), 1));
    p.setBrush(QColor(14, 36, 76, 200));
    p.drawRoundedRect(nav, 6, 6);

    // Work area where the panels sit.
    QRect work(212, 187, 434, 265);
    p.setPen(QPen(QColor(86, 196, 255, 150), 1));
    p.setBrush(QColor(8, 20, 44, 160));
    p.drawRoundedRect(work, 6, 6);

    trace(p, {{152, 200}, {180, 200}, {180, 240}, {205, 240}});
    trace(p, {{152, 300}, {170, 300}, {170, 400}, {205, 400}});
    trace(p, {{660, 120}, {660, 170}, {640, 170}});
    trace(p, {{40, 380}, {40, 430}, {120, 430}});

    // Status strip along the bottom.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(6, 16, 36));
    p.drawRect(0, 466, 705, 31);
    p.setPen(QPen(kBlue, 1));
    p.drawLine(0, 466, 705, 466);
    return img;
}

QImage panelBackground() {
    QImage img = canvas(450, 248);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient bg(0, 0, 450, 248);
    bg.setColorAt(0, QColor(226, 236, 248));
    bg.setColorAt(1, QColor(196, 214, 236));
    p.fillRect(img.rect(), bg);
    p.setPen(QPen(QColor(120, 160, 210, 60), 1));
    for (int x = 0; x < 450; x += 12)
        p.drawLine(x, 0, x, 248);
    for (int y = 0; y < 248; y += 12)
        p.drawLine(0, y, 450, y);
    p.setPen(QPen(QColor(34, 92, 168), 2));
    p.drawLine(33, 1, 450, 1);
    return img;
}

// A small rounded glyph button: the frame, then whatever the glyph draws.
template <class Glyph> QImage glyphButton(QColor hot, Glyph glyph) {
    QImage img = canvas(19, 18);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 18);
    g.setColorAt(0, hot.lighter(130));
    g.setColorAt(1, hot.darker(140));
    p.setPen(QPen(QColor(200, 225, 255, 180), 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, 18, 17), 3, 3);
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    glyph(p);
    return img;
}

QImage textButton(const QString& text, QColor top, QColor bottom) {
    QImage img = canvas(55, 23);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 23);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(QPen(kCyan, 1));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0.5, 0.5, 54, 22), 4, 4);
    QFont f("WenQuanYi Micro Hei");
    f.setPixelSize(12);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 0, 55, 23), Qt::AlignCenter, text);
    return img;
}

// Decoration beside the menu button: a strip of link lamps.
QImage signalStrip() {
    QImage img = canvas(55, 23);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(60, 130, 210), 1));
    p.setBrush(QColor(10, 28, 60));
    p.drawRoundedRect(QRectF(0.5, 0.5, 54, 22), 4, 4);
    const QColor lamps[] = {QColor(60, 220, 120), QColor(86, 196, 255), QColor(250, 190, 60)};
    for (int i = 0; i < 3; ++i) {
        QRadialGradient g(QPointF(12 + i * 15.5, 11.5), 6);
        g.setColorAt(0, lamps[i].lighter(150));
        g.setColorAt(1, lamps[i].darker(200));
        p.setPen(Qt::NoPen);
        p.setBrush(g);
        p.drawEllipse(QPointF(12 + i * 15.5, 11.5), 5, 5);
    }
    return img;
}

// The program's icon on a 256 x 256 grid, at whatever scale p is set to: the same drawing
// gives every bitmap size and the scalable icon.
void paintAppIcon(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 256, 256);
    g.setColorAt(0, kBlue);
    g.setColorAt(1, kDeep);
    p.setPen(QPen(kCyan, 6));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(12, 12, 232, 232), 40, 40);
    // A chip with pins.
    p.setPen(QPen(QColor(200, 230, 255), 8, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 4; ++i) {
        const int c = 84 + i * 29;
        p.drawLine(c, 48, c, 70);
        p.drawLine(c, 186, c, 208);
        p.drawLine(48, c, 70, c);
        p.drawLine(186, c, 208, c);
    }
    p.setPen(QPen(kCyan, 4));
    p.setBrush(QColor(12, 34, 72));
    p.drawRoundedRect(QRectF(70, 70, 116, 116), 14, 14);
    QFont f("DejaVu Sans");
    f.setPixelSize(44);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(70, 70, 116, 116), Qt::AlignCenter, QStringLiteral("CPU"));
}

QImage appIcon(int size = 256) {
    QImage img = canvas(size, size);
    QPainter p(&img);
    p.scale(size / 256.0, size / 256.0);
    paintAppIcon(p);
    return img;
}

// The desktop's icon theme: hicolor/<n>x<n>/apps/cpuconfig.png and the scalable SVG.
bool saveThemeIcons(const QDir& root) {
    bool ok = true;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("hicolor/%1x%1/apps").arg(size);
        ok &= root.mkpath(dir) &&
              appIcon(size).save(root.filePath(dir + QStringLiteral("/cpuconfig.png")), "PNG");
    }
    ok &= root.mkpath(QStringLiteral("hicolor/scalable/apps"));
    QSvgGenerator svg;
    svg.setFileName(root.filePath(QStringLiteral("hicolor/scalable/apps/cpuconfig.svg")));
    svg.setSize(QSize(256, 256));
    svg.setViewBox(QRect(0, 0, 256, 256));
    svg.setTitle(QStringLiteral("cpuconfig"));
    {
        QPainter p(&svg);
        paintAppIcon(p);
        ok &= p.isActive();
    }
    if (!ok)
        std::fprintf(stderr, "skin_painter: cannot write the icons under %s\n",
                     qPrintable(root.path()));
    return ok;
}

bool save(const QImage& img, const QDir& dir, const char* name) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!img.save(path, "PNG")) {
        std::fprintf(stderr, "skin_painter: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    if (!QDir().mkpath(dir.path()))
        return 1;
    bool ok = save(mainBackground(), dir, "main_background.png");
    ok &= save(glyphButton(QColor(190, 50, 50),
                           [](QPainter& p) {
                               p.drawLine(QPointF(6, 5.5), QPointF(13, 12.5));
                               p.drawLine(QPointF(13, 5.5), QPointF(6, 12.5));
                           }),
               dir, "close.png");
    ok &= save(glyphButton(QColor(40, 100, 180),
                           [](QPainter& p) { p.drawLine(QPointF(5.5, 12), QPointF(13.5, 12)); }),
               dir, "minimise.png");
    ok &= save(textButton(QStringLiteral("菜 单"), QColor(44, 112, 200), QColor(18, 52, 110)), dir,
               "menu_button.png");
    ok &= save(signalStrip(), dir, "second_button.png");
    ok &= save(panelBackground(), dir, "panel_background.png");
    ok &= save(appIcon(), dir, "app_icon.png");
    // The executable's own icon on Windows (Explorer, taskbar before the window exists).
    const QImage icon = appIcon().scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (!icon.save(dir.filePath(QStringLiteral("app_icon.ico")), "ICO")) {
        std::fprintf(stderr, "skin_painter: cannot write app_icon.ico\n");
        ok = false;
    }
    if (argc > 2)
        ok &= saveThemeIcons(QDir(QString::fromLocal8Bit(argv[2])));
    return ok ? 0 : 1;
}

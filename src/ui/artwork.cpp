#include "ui/artwork.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

namespace kestrum {
namespace {

// The palette of the diagram: one colour per branch.
const QColor kInk(0x33, 0x41, 0x55);
const QColor kMuted(0x94, 0xa3, 0xb8);
const QColor kHttp(0x25, 0x63, 0xeb);
const QColor kOptions(0x64, 0x74, 0x8b);
const QColor kMysql(0xd9, 0x77, 0x06);
const QColor kRedis(0xdc, 0x26, 0x26);
const QColor kCron(0x05, 0x96, 0x69);
const QColor kCentre(0x4f, 0x46, 0xe5);

QFont uiFont(qreal pointSize, bool bold = false) {
    QFont font;
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void drawPill(QPainter& p, const QRectF& box, const QColor& colour, const QString& text) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 28));
    p.drawRoundedRect(box.translated(0, 2), box.height() / 2, box.height() / 2);
    QLinearGradient fill(box.topLeft(), box.bottomLeft());
    fill.setColorAt(0, colour.lighter(112));
    fill.setColorAt(1, colour);
    p.setBrush(fill);
    p.drawRoundedRect(box, box.height() / 2, box.height() / 2);
    p.setPen(Qt::white);
    p.setFont(uiFont(10.5, true));
    p.drawText(box, Qt::AlignCenter, text);
    p.restore();
}

// A labelled leaf: a curve from the branch node to the label, the label right-aligned against the control
// it names, and a rule under label and control.
struct Leaf {
    const char* label;
    qreal labelRight;  // where the control starts
    qreal centreY;     // vertical centre of the control
    qreal lineEnd;     // right end of the rule
};

void drawLeaves(QPainter& p, QPointF from, const QColor& colour, std::initializer_list<Leaf> leaves,
                qreal ruleOffset = 10) {
    p.save();
    QFont font = uiFont(9);
    QFontMetricsF metrics(font);
    p.setFont(font);
    for (const Leaf& leaf : leaves) {
        const QString text = QString::fromUtf8(leaf.label);
        const qreal width = text.isEmpty() ? 0 : metrics.horizontalAdvance(text);
        const qreal labelLeft = leaf.labelRight - 5 - width;
        const qreal ruleY = leaf.centreY + ruleOffset;
        const QPointF start(labelLeft - 6, ruleY);
        QPainterPath curve(from);
        const qreal bend = (start.x() - from.x()) * 0.55;
        curve.cubicTo(from.x() + bend, from.y(), start.x() - bend, start.y(), start.x(), start.y());
        QPen pen(colour, 1.6);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawPath(curve);
        p.drawLine(start, QPointF(leaf.lineEnd, ruleY));
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(start, 2.4, 2.4);
        if (!text.isEmpty()) {
            p.setPen(kInk);
            p.drawText(QRectF(labelLeft, leaf.centreY - 9, width + 2, 18), Qt::AlignLeft | Qt::AlignVCenter,
                       text);
        }
    }
    p.restore();
}

// A thick tapered connector from the centre node to a branch node.
void drawConnector(QPainter& p, const QPainterPath& path, const QColor& colour) {
    p.save();
    p.setBrush(Qt::NoBrush);
    QPen halo(QColor(255, 255, 255, 200), 7);
    halo.setCapStyle(Qt::RoundCap);
    p.setPen(halo);
    p.drawPath(path);
    QPen pen(colour, 3.2);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.drawPath(path);
    p.restore();
}

// The spot where a module's "×" mark sits: a green tick, covered by the mark while the module is off.
void drawModuleSpot(QPainter& p, QPointF centre) {
    p.save();
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(QColor(0x16, 0xa3, 0x4a));
    p.drawEllipse(centre, 7.5, 7.5);
    QPen tick(Qt::white, 1.8);
    tick.setCapStyle(Qt::RoundCap);
    tick.setJoinStyle(Qt::RoundJoin);
    p.setPen(tick);
    QPainterPath mark;
    mark.moveTo(centre + QPointF(-3.5, 0.2));
    mark.lineTo(centre + QPointF(-1, 2.8));
    mark.lineTo(centre + QPointF(3.6, -2.6));
    p.setBrush(Qt::NoBrush);
    p.drawPath(mark);
    p.restore();
}

void drawProgramMark(QPainter& p, const QRectF& box) {
    // A hub with three satellites: the program in front of its back ends.
    p.save();
    const QPointF c = box.center();
    const qreal r = box.width();
    const QPointF sat[] = {c + QPointF(-0.30 * r, -0.22 * r), c + QPointF(0.30 * r, -0.20 * r),
                           c + QPointF(0.02 * r, 0.32 * r)};
    QPen line(QColor(255, 255, 255, 230), std::max(1.0, r * 0.06));
    line.setCapStyle(Qt::RoundCap);
    p.setPen(line);
    for (const QPointF& s : sat)
        p.drawLine(c, s);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(c, r * 0.15, r * 0.15);
    for (const QPointF& s : sat)
        p.drawEllipse(s, r * 0.095, r * 0.095);
    p.restore();
}

QPixmap drawBackground(QSize size) {
    QPixmap pixmap(size);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor(0xf8, 0xfa, 0xfc));
    sky.setColorAt(1, QColor(0xea, 0xef, 0xf6));
    p.fillRect(pixmap.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xcb, 0xd5, 0xe1, 110));
    for (int y = 12; y < size.height(); y += 24) {
        for (int x = 12; x < size.width(); x += 24)
            p.drawEllipse(QPointF(x, y), 0.9, 0.9);
    }

    const QRectF centre(350, 255, 172, 62);
    const QRectF http(150, 96, 70, 28);
    const QRectF options(34, 428, 84, 28);
    const QRectF mysql(520, 50, 72, 28);
    const QRectF redis(560, 200, 66, 28);
    const QRectF cron(540, 398, 86, 28);
    const QPointF mysqlMark(414, 151), redisMark(490, 227), cronMark(453, 409);

    // Connectors first, nodes and leaves on top.
    QPainterPath toHttp(QPointF(352, 272));
    toHttp.cubicTo(300, 262, 352, 112, 220, 110);
    drawConnector(p, toHttp, kHttp);
    QPainterPath toOptions(QPointF(372, 315));
    toOptions.cubicTo(300, 372, 90, 352, 76, 428);
    drawConnector(p, toOptions, kOptions);
    QPainterPath toMysql(QPointF(412, 256));
    toMysql.cubicTo(413, 220, 414, 185, mysqlMark.x(), mysqlMark.y());
    toMysql.cubicTo(414, 100, 470, 64, 520, 64);
    drawConnector(p, toMysql, kMysql);
    QPainterPath toRedis(QPointF(494, 256));
    toRedis.cubicTo(493, 246, 490, 238, redisMark.x(), redisMark.y());
    toRedis.cubicTo(490, 214, 520, 214, 560, 214);
    drawConnector(p, toRedis, kRedis);
    QPainterPath toCron(QPointF(446, 316));
    toCron.cubicTo(448, 350, 452, 380, cronMark.x(), cronMark.y());
    toCron.cubicTo(454, 430, 500, 412, 540, 412);
    drawConnector(p, toCron, kCron);

    // Fields of the http branch: http: (151), https: (179), heart: (207), 16 pixels high.
    {
        p.save();
        QFont font = uiFont(9);
        p.setFont(font);
        QFontMetricsF metrics(font);
        const struct {
            const char* label;
            qreal top;
            qreal end;
        } rows[] = {{"http:", 151, 330}, {"https:", 179, 322}, {"heart:", 207, 322}};
        for (const auto& row : rows) {
            const QString text = QString::fromUtf8(row.label);
            const qreal left = 125 - metrics.horizontalAdvance(text);
            const qreal ruleY = row.top + 18;
            // One trunk down the left side, a rule under each row.
            const QPointF start(84, ruleY);
            QPainterPath curve(QPointF(150, 110));
            curve.cubicTo(96, 110, 84, 116, 84, 134);
            curve.lineTo(start);
            QPen pen(kHttp, 1.6);
            pen.setCapStyle(Qt::RoundCap);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            p.drawPath(curve);
            p.drawLine(start, QPointF(row.end, ruleY));
            p.setPen(Qt::NoPen);
            p.setBrush(kHttp);
            p.drawEllipse(start, 2.4, 2.4);
            p.setPen(kInk);
            p.drawText(QRectF(left, row.top - 1, 60, 18), Qt::AlignLeft | Qt::AlignVCenter, text);
        }
        p.restore();
    }
    // options: three unlabelled lines under the config.ini, log and help links.
    drawLeaves(p, QPointF(118, 442), kOptions,
               {{"", 177, 400, 252}, {"", 177, 428, 280}, {"", 177, 456, 244}}, 12);
    drawLeaves(p, QPointF(592, 64), kMysql,
               {{"config:", 690, 28.5, 714}, {"connect sum:", 730, 72, 792}, {"api root:", 711, 109, 824}});
    drawLeaves(p, QPointF(626, 214), kRedis, {{"config:", 711, 187.5, 734}, {"api root:", 715, 240, 822}});
    drawLeaves(p, QPointF(626, 412), kCron,
               {{"config:", 701, 332.5, 724},
                {"task:", 701, 376.5, 724},
                {"sum:", 701, 415, 756},
                {"edit:", 701, 457, 818}});

    drawPill(p, http, kHttp, "http");
    drawPill(p, options, kOptions, "options");
    drawPill(p, mysql, kMysql, "mysql");
    drawPill(p, redis, kRedis, "redis");
    drawPill(p, cron, kCron, "crontab");

    // The centre node: the program's mark and its name.
    {
        p.save();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 0, 34));
        p.drawRoundedRect(centre.translated(0, 3), 16, 16);
        QLinearGradient fill(centre.topLeft(), centre.bottomRight());
        fill.setColorAt(0, kCentre);
        fill.setColorAt(1, QColor(0x0d, 0x94, 0x88));
        p.setBrush(fill);
        p.drawRoundedRect(centre, 16, 16);
        drawProgramMark(p, QRectF(centre.left() + 10, centre.top() + 11, 40, 40));
        p.setPen(Qt::white);
        p.setFont(uiFont(16, true));
        p.drawText(QRectF(centre.left() + 56, centre.top() + 6, 110, 30), Qt::AlignLeft | Qt::AlignVCenter,
                   "kestrum");
        p.setPen(QColor(255, 255, 255, 200));
        p.setFont(uiFont(8));
        p.drawText(QRectF(centre.left() + 57, centre.top() + 34, 110, 18), Qt::AlignLeft | Qt::AlignVCenter,
                   "middleware server");
        p.restore();
    }

    drawModuleSpot(p, mysqlMark);
    drawModuleSpot(p, redisMark);
    drawModuleSpot(p, cronMark);

    p.setPen(kMuted);
    p.setFont(uiFont(8));
    p.drawText(QRectF(0, size.height() - 26, size.width() - 14, 20), Qt::AlignRight | Qt::AlignVCenter,
               QString::fromUtf8("kestrum · HTTP/HTTPS gateway to MySQL, Redis and timed tasks"));
    return pixmap;
}

void drawFace(QPainter& p, QPointF c, qreal r, bool cheerful) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 30));
    p.drawEllipse(c + QPointF(0, 3), r, r);
    QRadialGradient skin(c + QPointF(-r * 0.3, -r * 0.35), r * 1.4);
    skin.setColorAt(0, cheerful ? QColor(0xfe, 0xf0, 0x8a) : QColor(0xfe, 0xd7, 0xaa));
    skin.setColorAt(1, cheerful ? QColor(0xfa, 0xcc, 0x15) : QColor(0xfb, 0x92, 0x3c));
    p.setBrush(skin);
    p.setPen(QPen(cheerful ? QColor(0xca, 0x8a, 0x04) : QColor(0xc2, 0x41, 0x0c), 1.5));
    p.drawEllipse(c, r, r);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf4, 0x72, 0xb6, cheerful ? 90 : 40));
    p.drawEllipse(c + QPointF(-r * 0.55, r * 0.18), r * 0.16, r * 0.11);
    p.drawEllipse(c + QPointF(r * 0.55, r * 0.18), r * 0.16, r * 0.11);

    const QColor ink(0x3f, 0x2d, 0x20);
    QPen stroke(ink, r * 0.085);
    stroke.setCapStyle(Qt::RoundCap);
    if (cheerful) {
        // Happy closed eyes and a wide smile.
        p.setPen(stroke);
        p.setBrush(Qt::NoBrush);
        for (qreal side : {-1.0, 1.0}) {
            QPainterPath eye(c + QPointF(side * r * 0.36 - r * 0.14, -r * 0.14));
            eye.quadTo(c + QPointF(side * r * 0.36, -r * 0.36),
                       c + QPointF(side * r * 0.36 + r * 0.14, -r * 0.14));
            p.drawPath(eye);
        }
        QPainterPath smile(c + QPointF(-r * 0.42, r * 0.18));
        smile.cubicTo(c + QPointF(-r * 0.25, r * 0.62), c + QPointF(r * 0.25, r * 0.62),
                      c + QPointF(r * 0.42, r * 0.18));
        smile.closeSubpath();
        p.setBrush(QColor(0x9f, 0x12, 0x39));
        p.drawPath(smile);
    } else {
        // Worried: raised brows, round eyes, a wavy mouth and a drop of sweat.
        p.setPen(Qt::NoPen);
        p.setBrush(ink);
        p.drawEllipse(c + QPointF(-r * 0.34, -r * 0.08), r * 0.09, r * 0.12);
        p.drawEllipse(c + QPointF(r * 0.34, -r * 0.08), r * 0.09, r * 0.12);
        p.setPen(stroke);
        p.setBrush(Qt::NoBrush);
        p.drawLine(c + QPointF(-r * 0.50, -r * 0.30), c + QPointF(-r * 0.20, -r * 0.42));
        p.drawLine(c + QPointF(r * 0.50, -r * 0.30), c + QPointF(r * 0.20, -r * 0.42));
        QPainterPath mouth(c + QPointF(-r * 0.32, r * 0.42));
        mouth.cubicTo(c + QPointF(-r * 0.16, r * 0.26), c + QPointF(-r * 0.05, r * 0.26),
                      c + QPointF(0, r * 0.38));
        mouth.cubicTo(c + QPointF(r * 0.05, r * 0.50), c + QPointF(r * 0.16, r * 0.50),
                      c + QPointF(r * 0.32, r * 0.34));
        p.drawPath(mouth);
        QPainterPath drop(c + QPointF(r * 0.78, -r * 0.62));
        drop.cubicTo(c + QPointF(r * 0.62, -r * 0.30), c + QPointF(r * 0.70, -r * 0.12),
                     c + QPointF(r * 0.80, -r * 0.12));
        drop.cubicTo(c + QPointF(r * 0.90, -r * 0.12), c + QPointF(r * 0.98, -r * 0.30),
                     c + QPointF(r * 0.78, -r * 0.62));
        p.setPen(QPen(QColor(0x25, 0x63, 0xeb), 1));
        p.setBrush(QColor(0x93, 0xc5, 0xfd));
        p.drawPath(drop);
    }
    p.restore();
}

QPixmap drawNotice(NoticePicture kind) {
    const bool cheerful = kind == NoticePicture::Success;
    QPixmap pixmap(492, 211);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient paper(0, 0, 492, 211);
    paper.setColorAt(0, cheerful ? QColor(0xf5, 0xf9, 0xff) : QColor(0xff, 0xf8, 0xf3));
    paper.setColorAt(1, cheerful ? QColor(0xe3, 0xf2, 0xea) : QColor(0xfd, 0xe8, 0xe4));
    p.fillRect(pixmap.rect(), paper);

    // The street map: blocks, a park, a river and roads, faint on the left where the text goes.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe2, 0xe8, 0xf0, 150));
    for (int x = 230; x < 492; x += 64) {
        for (int y = 8; y < 211; y += 52)
            p.drawRoundedRect(QRectF(x + 8, y + 8, 46, 34), 4, 4);
    }
    p.setBrush(QColor(0xbb, 0xf7, 0xd0, 170));
    p.drawRoundedRect(QRectF(300, 120, 52, 60), 10, 10);
    QPainterPath river(QPointF(230, 211));
    river.cubicTo(290, 170, 330, 215, 400, 180);
    river.cubicTo(440, 160, 470, 190, 492, 170);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0xbf, 0xdb, 0xfe, 200), 9, Qt::SolidLine, Qt::RoundCap));
    p.drawPath(river);
    QPen road(QColor(255, 255, 255, 230), 8, Qt::SolidLine, Qt::RoundCap);
    QPen kerb(QColor(0xcb, 0xd5, 0xe1, 200), 10, Qt::SolidLine, Qt::RoundCap);
    const QLineF roads[] = {{230, 4, 230, 207},   {294, 4, 294, 207}, {358, 4, 358, 207},
                            {422, 4, 422, 207},   {200, 60, 492, 60}, {200, 112, 492, 112},
                            {200, 164, 492, 164}, {180, 200, 480, 10}};
    for (const QPen& pen : {kerb, road}) {
        p.setPen(pen);
        for (const QLineF& line : roads)
            p.drawLine(line);
    }
    QLinearGradient fade(0, 0, 330, 0);
    fade.setColorAt(0, QColor(255, 255, 255, 235));
    fade.setColorAt(0.6, QColor(255, 255, 255, 200));
    fade.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(QRectF(0, 0, 330, 211), fade);

    // A map pin under the face.
    const QColor accent = cheerful ? QColor(0x16, 0xa3, 0x4a) : QColor(0xdc, 0x26, 0x26);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 25));
    p.drawEllipse(QPointF(415, 140), 18, 5);
    p.setBrush(accent);
    QPainterPath pin(QPointF(415, 140));
    pin.lineTo(405, 118);
    pin.lineTo(425, 118);
    pin.closeSubpath();
    p.drawPath(pin);
    drawFace(p, QPointF(415, 86), 36, cheerful);

    // Title strip and frame.
    p.fillRect(QRectF(0, 0, 492, 30), QColor(255, 255, 255, 170));
    p.fillRect(QRectF(0, 30, 492, 1), QColor(0xcb, 0xd5, 0xe1));
    p.fillRect(QRectF(0, 0, 4, 211), accent);
    p.setPen(QPen(QColor(0x94, 0xa3, 0xb8), 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, 491, 210));
    return pixmap;
}

void drawButtonIcon(QPainter& p, ButtonIcon kind) {
    // On a 16-unit grid.
    p.setRenderHint(QPainter::Antialiasing);
    switch (kind) {
        case ButtonIcon::Config: {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0x47, 0x55, 0x69));
            p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3.5, 3.5);
            QPen line(Qt::white, 1.4, Qt::SolidLine, Qt::RoundCap);
            const qreal ys[] = {4.5, 8, 11.5};
            const qreal knobs[] = {10, 5.5, 9};
            for (int i = 0; i < 3; ++i) {
                p.setPen(line);
                p.drawLine(QPointF(3.5, ys[i]), QPointF(12.5, ys[i]));
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(0xfb, 0xbf, 0x24));
                p.drawEllipse(QPointF(knobs[i], ys[i]), 1.9, 1.9);
            }
            break;
        }
        case ButtonIcon::Folder:
        case ButtonIcon::LogFolder: {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0xd9, 0x77, 0x06));
            QPainterPath tab;
            tab.addRoundedRect(QRectF(0.5, 2, 7, 4), 1.2, 1.2);
            p.drawPath(tab);
            p.drawRoundedRect(QRectF(0.5, 3.5, 15, 11.5), 1.8, 1.8);
            p.setBrush(QColor(0xfb, 0xbf, 0x24));
            p.drawRoundedRect(QRectF(0.5, 5.5, 15, 9.5), 1.8, 1.8);
            if (kind == ButtonIcon::LogFolder) {
                p.setPen(QPen(QColor(0x92, 0x40, 0x0e), 1.2, Qt::SolidLine, Qt::RoundCap));
                p.drawLine(QPointF(3.5, 8.5), QPointF(12.5, 8.5));
                p.drawLine(QPointF(3.5, 11.5), QPointF(10, 11.5));
            }
            break;
        }
        case ButtonIcon::Add:
        case ButtonIcon::Delete: {
            const bool add = kind == ButtonIcon::Add;
            p.setPen(Qt::NoPen);
            p.setBrush(add ? QColor(0x16, 0xa3, 0x4a) : QColor(0xdc, 0x26, 0x26));
            p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
            p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(4.5, 8), QPointF(11.5, 8));
            if (add)
                p.drawLine(QPointF(8, 4.5), QPointF(8, 11.5));
            break;
        }
    }
}

void drawHelpIcon(QPainter& p, HelpIcon kind) {
    // On a 32-unit grid.
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF tile(1, 1, 30, 30);
    const QColor colours[] = {kCentre, kMysql, kRedis, kCron, kHttp};
    const QColor colour = colours[static_cast<int>(kind)];
    p.setPen(Qt::NoPen);
    QLinearGradient fill(tile.topLeft(), tile.bottomLeft());
    fill.setColorAt(0, colour.lighter(118));
    fill.setColorAt(1, colour);
    p.setBrush(fill);
    p.drawRoundedRect(tile, 8, 8);
    QPen white(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    switch (kind) {
        case HelpIcon::System:
            drawProgramMark(p, QRectF(5, 5, 22, 22));
            break;
        case HelpIcon::Mysql: {
            p.setPen(white);
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QRectF(9, 7, 14, 5));
            p.drawLine(QPointF(9, 9.5), QPointF(9, 22.5));
            p.drawLine(QPointF(23, 9.5), QPointF(23, 22.5));
            p.drawArc(QRectF(9, 20, 14, 5), 180 * 16, 180 * 16);
            p.drawArc(QRectF(9, 14, 14, 5), 180 * 16, 180 * 16);
            break;
        }
        case HelpIcon::Redis: {
            p.setPen(white);
            p.setBrush(Qt::NoBrush);
            for (qreal y : {9.0, 14.0, 19.0}) {
                QPainterPath layer(QPointF(8, y + 2));
                layer.lineTo(16, y - 1);
                layer.lineTo(24, y + 2);
                layer.lineTo(16, y + 5);
                layer.closeSubpath();
                p.drawPath(layer);
            }
            break;
        }
        case HelpIcon::Crontab: {
            p.setPen(white);
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QPointF(16, 16), 8.5, 8.5);
            p.drawLine(QPointF(16, 16), QPointF(16, 10.5));
            p.drawLine(QPointF(16, 16), QPointF(20, 18));
            break;
        }
        case HelpIcon::Browser: {
            p.setPen(QPen(Qt::white, 1.8));
            p.setBrush(Qt::NoBrush);
            p.drawEllipse(QPointF(16, 16), 9, 9);
            p.drawEllipse(QRectF(12, 7, 8, 18));
            p.drawLine(QPointF(7, 16), QPointF(25, 16));
            p.drawLine(QPointF(9, 11.5), QPointF(23, 11.5));
            p.drawLine(QPointF(9, 20.5), QPointF(23, 20.5));
            break;
        }
    }
}

QPixmap drawProgramIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const QRectF tile(s * 0.04, s * 0.04, s * 0.92, s * 0.92);
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0, kCentre);
    fill.setColorAt(1, QColor(0x0d, 0x94, 0x88));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(tile, s * 0.22, s * 0.22);
    drawProgramMark(p, QRectF(s * 0.14, s * 0.16, s * 0.72, s * 0.72));
    return pixmap;
}

}  // namespace

QPixmap backgroundPicture(QSize size) {
    return drawBackground(size);
}

QPixmap noticePicture(NoticePicture kind) {
    return drawNotice(kind);
}

QIcon buttonIcon(ButtonIcon kind) {
    QIcon icon;
    for (int size : {15, 30, 45}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.scale(size / 16.0, size / 16.0);
        drawButtonIcon(p, kind);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QPixmap helpIcon(HelpIcon kind, int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.scale(size / 32.0, size / 32.0);
    drawHelpIcon(p, kind);
    return pixmap;
}

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128})
        icon.addPixmap(drawProgramIcon(size));
    return icon;
}

}  // namespace kestrum

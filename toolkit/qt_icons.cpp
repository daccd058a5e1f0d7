// The program's image list: 11 pictures of 16 by 16 pixels, drawn here so
// they share one style (a dark outline, flat colours, a folded page corner for
// files). Index meanings: 0 video, 1 folder, 2 link, 3 program, 4 library,
// 5 any other file, 6 archive, 7 text, 8 drive, 9 parent folder, 10 picture.
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>

#include "toolkit/qt_private.h"

namespace toolkit {

namespace {

const QColor kOutline(60, 60, 70);

// A sheet with its top-right corner folded; content goes inside 4..12.
void DrawPage(QPainter& p, const QColor& fill = QColor(255, 255, 255)) {
    QPainterPath page;
    page.moveTo(2.5, 0.5);
    page.lineTo(10.5, 0.5);
    page.lineTo(13.5, 3.5);
    page.lineTo(13.5, 15.5);
    page.lineTo(2.5, 15.5);
    page.closeSubpath();
    p.setPen(QPen(kOutline, 1));
    p.setBrush(fill);
    p.drawPath(page);
    QPainterPath fold;
    fold.moveTo(10.5, 0.5);
    fold.lineTo(10.5, 3.5);
    fold.lineTo(13.5, 3.5);
    p.setBrush(QColor(220, 220, 225));
    p.drawPath(fold);
}

void DrawFolder(QPainter& p) {
    p.setPen(QPen(QColor(150, 110, 20), 1));
    p.setBrush(QColor(240, 190, 60));
    QPainterPath back;
    back.moveTo(0.5, 3.5);
    back.lineTo(5.5, 3.5);
    back.lineTo(7.5, 5.5);
    back.lineTo(15.5, 5.5);
    back.lineTo(15.5, 14.5);
    back.lineTo(0.5, 14.5);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(255, 215, 100));
    p.drawRect(QRectF(0.5, 7.5, 15, 7));
}

QPixmap Draw(int index) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    switch (index) {
        case 0: {  // video: a film frame with a play mark
            p.setPen(QPen(kOutline, 1));
            p.setBrush(QColor(50, 50, 60));
            p.drawRect(QRectF(0.5, 2.5, 15, 11));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(230, 230, 230));
            for (int x = 2; x < 15; x += 3) {
                p.drawRect(x, 3, 2, 1);
                p.drawRect(x, 12, 2, 1);
            }
            p.setBrush(QColor(240, 80, 60));
            const QPointF play[] = {{6, 5}, {11, 8}, {6, 11}};
            p.drawPolygon(play, 3);
            break;
        }
        case 1:
            DrawFolder(p);
            break;
        case 2: {  // link: a page with a curved arrow
            DrawPage(p);
            p.setPen(QPen(QColor(30, 120, 200), 2));
            p.drawArc(QRectF(4, 6, 7, 7), 90 * 16, 180 * 16);
            p.drawLine(QPointF(7.5, 6), QPointF(10.5, 6));
            break;
        }
        case 3: {  // program: a small window
            p.setPen(QPen(kOutline, 1));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(0.5, 1.5, 15, 13));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(40, 100, 200));
            p.drawRect(1, 2, 15, 3);
            p.setBrush(QColor(240, 80, 60));
            p.drawRect(12, 3, 2, 1);
            p.setBrush(QColor(170, 190, 220));
            p.drawRect(3, 7, 10, 1);
            p.drawRect(3, 9, 7, 1);
            p.drawRect(3, 11, 9, 1);
            break;
        }
        case 4: {  // library: a page with a cog
            DrawPage(p);
            p.setPen(QPen(QColor(90, 90, 110), 1));
            p.setBrush(QColor(160, 160, 180));
            p.drawEllipse(QRectF(4.5, 6.5, 6, 6));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(90, 90, 110));
            p.drawRect(7, 5, 2, 2);
            p.drawRect(7, 12, 2, 2);
            p.drawRect(3, 9, 2, 1);
            p.drawRect(11, 9, 2, 1);
            p.setBrush(Qt::white);
            p.drawEllipse(QRectF(6.5, 8.5, 2, 2));
            break;
        }
        case 5:
            DrawPage(p);
            break;
        case 6: {  // archive: a page bound by a zipper
            DrawPage(p, QColor(250, 230, 170));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(120, 90, 40));
            for (int y = 2; y < 11; y += 2) p.drawRect(y % 4 == 2 ? 7 : 8, y, 1, 1);
            p.drawRect(6, 11, 4, 3);
            break;
        }
        case 7: {  // text: a page with lines
            DrawPage(p);
            p.setPen(QPen(QColor(110, 110, 130), 1));
            for (int y = 5; y <= 13; y += 2) p.drawLine(4, y, y == 13 ? 9 : 11, y);
            break;
        }
        case 8: {  // drive: a flat box with a light
            p.setPen(QPen(kOutline, 1));
            p.setBrush(QColor(200, 200, 210));
            p.drawRect(QRectF(0.5, 5.5, 15, 6));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(60, 200, 80));
            p.drawRect(12, 8, 2, 2);
            break;
        }
        case 9: {  // parent folder: a folder with an up arrow
            DrawFolder(p);
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(30, 150, 60));
            const QPointF arrow[] = {{8, 1}, {13, 6}, {10, 6}, {10, 12}, {6, 12}, {6, 6}, {3, 6}};
            p.drawPolygon(arrow, 7);
            break;
        }
        case 10: {  // picture: sky, sun and a hill
            p.setPen(QPen(kOutline, 1));
            p.setBrush(QColor(150, 200, 250));
            p.drawRect(QRectF(0.5, 1.5, 15, 13));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(250, 210, 40));
            p.drawEllipse(QRectF(10, 3, 4, 4));
            p.setBrush(QColor(60, 160, 70));
            const QPointF hill[] = {{1, 14}, {6, 7}, {10, 11}, {12, 9}, {15, 12}, {15, 14}};
            p.drawPolygon(hill, 6);
            break;
        }
        default:
            break;
    }
    return pixmap;
}

}  // namespace

const QIcon& ImageIcon(int index) {
    static const std::array<QIcon, kImageCount> icons = [] {
        std::array<QIcon, kImageCount> made;
        for (int i = 0; i < kImageCount; ++i) made[static_cast<std::size_t>(i)] = QIcon(Draw(i));
        return made;
    }();
    static const QIcon none;
    if (index < 0 || index >= kImageCount) return none;
    return icons[static_cast<std::size_t>(index)];
}

}  // namespace toolkit

// The group frame and the hyperlink, drawing their own text.
#include "toolkit/qt_caption_widgets.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QUrl>
#include <algorithm>

namespace toolkit {

namespace {

// Where a group caption starts, as on the desktop the form was made for.
constexpr int kCaptionLeft = 8;
// The frame's top line keeps this far from the caption on either side.
constexpr int kCaptionGap = 2;
// The smallest font a hyperlink shrinks to.
constexpr int kSmallestLinkPixels = 7;

}  // namespace

// ---- GroupBoxWidget ---------------------------------------------------------

QRect GroupBoxWidget::Ink() const {
    if (inkOf_ == title() && inkFont_ == font()) return ink_;
    inkOf_ = title();
    inkFont_ = font();
    const QFontMetrics fm(font());
    const int margin = 4;
    QImage image(fm.horizontalAdvance(title()) + 2 * margin, fm.height() + 2 * margin, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setFont(font());
        p.setPen(Qt::black);
        p.drawText(QPoint(margin, margin + fm.ascent()), title());
    }
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) == 0) continue;
            left = std::min(left, x);
            right = std::max(right, x);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    ink_ = right < 0
               ? QRect()
               : QRect(QPoint(left, top), QPoint(right, bottom)).translated(-margin, -margin - fm.ascent());
    return ink_;
}

// The ink's top row is the box's first row.
int GroupBoxWidget::Baseline() const { return -Ink().top(); }

int GroupBoxWidget::TextLeft() const { return kCaptionLeft - Ink().left(); }

QRect GroupBoxWidget::CaptionInk() const {
    if (title().isEmpty()) return {};
    return Ink().translated(TextLeft(), Baseline());
}

QImage GroupBoxWidget::CaptionAlone(qreal devicePixelRatio) const {
    const QRect ink = CaptionInk();
    QImage image((QSizeF(ink.size()) * devicePixelRatio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(palette().color(QPalette::Window));
    QPainter p(&image);
    p.translate(-ink.topLeft());
    p.setFont(font());
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QPoint(TextLeft(), Baseline()), title());
    return image;
}

void GroupBoxWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect ink = CaptionInk();
    const int frameTop = ink.isEmpty() ? 0 : ink.center().y();
    QStyleOptionFrame frame;
    frame.initFrom(this);
    frame.rect = QRect(0, frameTop, width(), height() - frameTop);
    frame.lineWidth = 1;
    frame.midLineWidth = 0;
    style()->drawPrimitive(QStyle::PE_FrameGroupBox, &frame, &p, this);
    if (ink.isEmpty()) return;
    p.fillRect(QRect(ink.left() - kCaptionGap, 0, ink.width() + 2 * kCaptionGap, ink.bottom() + 1),
               palette().color(QPalette::Window));
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QPoint(TextLeft(), Baseline()), title());
}

// ---- HyperLinkWidget --------------------------------------------------------

HyperLinkWidget::HyperLinkWidget() {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void HyperLinkWidget::SetLink(const QString& caption, const QString& address) {
    caption_ = caption;
    address_ = address;
    setToolTip(address);
    Relayout();
}

QRect HyperLinkWidget::TextRect() const {
    const QFontMetrics fm(captionFont_);
    int widest = 0;
    for (const QString& line : lines_) widest = std::max(widest, fm.boundingRect(line).right() + 1);
    const int height =
        lines_.isEmpty() ? 0 : static_cast<int>((lines_.size() - 1) * fm.lineSpacing() + fm.height());
    return QRect(0, std::max(0, (this->height() - height) / 2), widest, height);
}

void HyperLinkWidget::Relayout() {
    // One line, as an address reads: the largest font, up to the window's,
    // at which it fits the box; below the smallest one the end gives way to
    // "…" (the tool tip and the click still have the whole address).
    QFont f = font();
    const int largest = f.pixelSize() > 0 ? f.pixelSize() : kFontPixels;
    for (int pixels = largest; pixels >= kSmallestLinkPixels; --pixels) {
        f.setPixelSize(pixels);
        captionFont_ = f;
        lines_ = QStringList{caption_};
        const QRect text = TextRect();
        fits_ = text.width() <= width() && text.height() <= height();
        if (fits_) break;
    }
    if (!fits_)
        lines_ = QStringList{QFontMetrics(captionFont_).elidedText(caption_, Qt::ElideRight, width())};
    update();
}

void HyperLinkWidget::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QFont f = captionFont_;
    f.setUnderline(true);
    p.setFont(f);
    p.setPen(palette().color(QPalette::Link));
    const QFontMetrics fm(captionFont_);
    const QRect text = TextRect();
    int baseline = text.top() + fm.ascent();
    for (const QString& line : lines_) {
        p.drawText(QPoint(0, baseline), line);
        baseline += fm.lineSpacing();
    }
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = text;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    }
}

void HyperLinkWidget::resizeEvent(QResizeEvent*) { Relayout(); }

void HyperLinkWidget::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) Relayout();
}

void HyperLinkWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && TextRect().contains(event->position().toPoint())) Open();
}

void HyperLinkWidget::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space) {
        Open();
        return;
    }
    QWidget::keyPressEvent(event);
}

void HyperLinkWidget::Open() {
    if (!address_.isEmpty()) QDesktopServices::openUrl(QUrl(address_));
}

}  // namespace toolkit

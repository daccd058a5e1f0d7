// Two widgets that draw their own text so that it is whole in the space the
// form gives it: the group frame, whose caption must fit above the controls
// placed 14 pixels down inside it, and the hyperlink, whose address must fit
// a box of 80 by 32 pixels on one line. Inside the Qt implementation only.
#pragma once

#include <QFont>
#include <QGroupBox>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace toolkit {

// Pixel size of the window's font: the form was laid out for a 9-point CJK
// font at 96 dots per inch.
inline constexpr int kFontPixels = 12;

// A group frame with its caption in the rows above its content: the caption's
// ink starts on the first row, and the frame's top line runs through the
// middle of the caption, broken where the caption is.
class GroupBoxWidget : public QGroupBox {
public:
    // Where the caption's ink is drawn, in the box's coordinates.
    QRect CaptionInk() const;
    // The caption drawn alone on the box's background, over the ink rectangle:
    // what the window must show there when nothing covers the caption.
    QImage CaptionAlone(qreal devicePixelRatio) const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The pixels the caption covers, relative to the pen position on the
    // baseline; measured by drawing it, since the font's boxes are generous.
    QRect Ink() const;
    int Baseline() const;
    int TextLeft() const;

    mutable QString inkOf_;
    mutable QFont inkFont_;
    mutable QRect ink_;
};

// A hyperlink that shows its caption on one line at the largest font, up to
// the window's, at which it fits the box; a line wrapped inside an address
// reads as two addresses.
// Clicking it, or Enter or Space while it has the focus, opens the address.
class HyperLinkWidget : public QWidget {
public:
    HyperLinkWidget();
    void SetLink(const QString& caption, const QString& address);
    QString Caption() const { return caption_; }
    // Whether the caption fits whole at the chosen font.
    bool CaptionFits() const { return fits_; }
    // The lines as drawn, and the rectangle they take.
    QStringList Lines() const { return lines_; }
    QRect TextRect() const;
    QFont CaptionFont() const { return captionFont_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Relayout();
    void Open();

    QString caption_;
    QString address_;
    QStringList lines_;
    QFont captionFont_;
    bool fits_ = false;
};

}  // namespace toolkit

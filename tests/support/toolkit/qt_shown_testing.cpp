// Test helpers: texts and states the toolkit has no getter for, the
// hyperlink's pixels in the window, and the desktop's open requests caught.
#include <QAction>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QImage>
#include <QLayout>
#include <QMenuBar>
#include <QObject>
#include <QTreeWidget>
#include <QUrl>
#include <algorithm>

#include "support/toolkit/shown_testing.h"
#include "toolkit/qt_caption_widgets.h"
#include "toolkit/qt_private.h"

namespace toolkit::testing {

namespace {

// Receives the addresses QDesktopServices would give the desktop.
class OpenCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<std::string> opened;

public Q_SLOTS:
    void Open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }
};

OpenCatcher& Catcher() {
    static OpenCatcher catcher;
    return catcher;
}

}  // namespace

std::vector<std::string> ColumnTitles(ListView& list) {
    std::vector<std::string> titles;
    auto* tree = qobject_cast<QTreeWidget*>(list.impl().widget.data());
    if (tree == nullptr) return titles;
    for (int i = 0; i < tree->columnCount(); ++i) titles.push_back(tree->headerItem()->text(i).toStdString());
    return titles;
}

std::vector<std::string> MenuBarTitles(Window& window) {
    std::vector<std::string> titles;
    QMenuBar* bar = window.impl().menuBar.data();
    if (bar == nullptr) return titles;
    for (QAction* action : bar->actions()) titles.push_back(action->text().toStdString());
    return titles;
}

bool ShownMaximized(Window& window) {
    QWidget* widget = window.impl().widget.data();
    return widget != nullptr && widget->isVisible() && (widget->windowState() & Qt::WindowMaximized) != 0;
}

LinkPixels CheckLinkPixels(HyperLink& link) {
    LinkPixels check;
    auto* widget = dynamic_cast<HyperLinkWidget*>(link.impl().widget.data());
    if (widget == nullptr) {
        check.detail = "no hyperlink";
        return check;
    }
    QWidget* top = widget->window();
    if (top->layout() != nullptr) top->layout()->activate();
    const QRect box(widget->mapTo(top, QPoint(0, 0)), widget->size());
    if (!top->rect().contains(box)) {
        check.detail = "the box is cut by the window";
        return check;
    }
    const QImage shown = top->grab(box).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage alone = widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    if (shown.size() != alone.size()) {
        check.detail = "the picture has another size";
        return check;
    }
    // Ink: what the link draws in another colour than its own background.
    const QRgb background = widget->palette().color(QPalette::Window).rgb();
    int top0 = -1, bottom = -1, right = -1, covered = 0;
    std::vector<bool> inkRow(static_cast<std::size_t>(alone.height()), false);
    for (int y = 0; y < alone.height(); ++y) {
        for (int x = 0; x < alone.width(); ++x) {
            if ((alone.pixel(x, y) & 0xFFFFFF) == (background & 0xFFFFFF)) continue;
            covered += shown.pixel(x, y) != alone.pixel(x, y) ? 1 : 0;
            inkRow[static_cast<std::size_t>(y)] = true;
            if (top0 < 0) top0 = y;
            bottom = y;
            right = std::max(right, x);
        }
    }
    // Anti-aliased edges blend into whatever lies behind: only a count, for
    // the message.
    check.differing = covered;
    if (top0 < 0) {
        check.detail = "no ink";
        return check;
    }
    // Bands of ink rows; a gap shorter than a third of a line joins two bands
    // (an underline below letters without descenders).
    const int lineHeight = QFontMetrics(widget->CaptionFont()).height();
    int bands = 0, gap = lineHeight;
    for (int y = top0; y <= bottom; ++y) {
        if (inkRow[static_cast<std::size_t>(y)]) {
            if (gap * 3 >= lineHeight) ++bands;
            gap = 0;
        } else {
            ++gap;
        }
    }
    check.inkLines = bands;
    const int dpr = static_cast<int>(shown.devicePixelRatio());
    if (right >= alone.width() - 1 * dpr || bottom >= alone.height() - 1 * dpr) {
        check.detail = "the ink reaches the edge of the box: cut off";
        return check;
    }
    check.whole = true;
    return check;
}

void CatchOpenedAddresses(bool on) {
    for (const char* scheme : {"http", "https"}) {
        if (on) {
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &Catcher(), "Open");
        } else {
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        }
    }
}

std::vector<std::string> TakeOpenedAddresses() {
    std::vector<std::string> opened;
    opened.swap(Catcher().opened);
    return opened;
}

}  // namespace toolkit::testing

#include "qt_shown_testing.moc"

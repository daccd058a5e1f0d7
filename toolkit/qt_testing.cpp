// Test hooks that drive the real widgets with real mouse and key events.
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTreeWidget>

#include "toolkit/qt_private.h"
#include "toolkit/testing.h"

namespace toolkit::testing {

namespace {

void SendMouse(QWidget* target, QEvent::Type type, const QPoint& local, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(local), QPointF(target->mapToGlobal(local)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// Where a row's first cell is, in the list's viewport.
bool RowPoint(ListView& list, int row, QWidget*& viewport, QPoint& at) {
    auto* tree = static_cast<QTreeWidget*>(list.impl().widget.data());
    if (tree == nullptr) return false;
    QTreeWidgetItem* item = tree->topLevelItem(row);
    if (item == nullptr) return false;
    tree->scrollToItem(item);
    const QRect r = tree->visualItemRect(item);
    viewport = tree->viewport();
    at = QPoint(r.x() + 20, r.center().y());
    return true;
}

QWidget* KeyTarget(Control& control) {
    QWidget* w = control.impl().widget;
    if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->lineEdit();
    return w;
}

}  // namespace

void DragSplitter(Splitter& splitter, int dx, int dy) {
    QWidget* bar = splitter.impl().widget;
    if (bar == nullptr) return;
    const QPoint start(bar->width() / 2, bar->height() / 2);
    const QPoint globalStart = bar->mapToGlobal(start);
    // The bar follows the mouse while it moves, so each event is placed by
    // the mouse's screen position.
    auto send = [bar](QEvent::Type type, const QPoint& global, Qt::MouseButton button,
                      Qt::MouseButtons buttons) {
        QMouseEvent event(type, QPointF(bar->mapFromGlobal(global)), QPointF(global), button, buttons,
                          Qt::NoModifier);
        QApplication::sendEvent(bar, &event);
    };
    send(QEvent::MouseButtonPress, globalStart, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, globalStart + QPoint(dx / 2, dy / 2), Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseMove, globalStart + QPoint(dx, dy), Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, globalStart + QPoint(dx, dy), Qt::LeftButton, Qt::NoButton);
}

void ClickRow(ListView& list, int row) {
    QWidget* viewport = nullptr;
    QPoint at;
    if (!RowPoint(list, row, viewport, at)) return;
    SendMouse(viewport, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
}

void DoubleClickRow(ListView& list, int row) {
    QWidget* viewport = nullptr;
    QPoint at;
    if (!RowPoint(list, row, viewport, at)) return;
    SendMouse(viewport, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
    SendMouse(viewport, QEvent::MouseButtonDblClick, at, Qt::LeftButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
}

void RightClickRow(ListView& list, int row) {
    QWidget* viewport = nullptr;
    QPoint at;
    if (!RowPoint(list, row, viewport, at)) return;
    SendMouse(viewport, QEvent::MouseButtonPress, at, Qt::RightButton, Qt::RightButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, at, Qt::RightButton, Qt::NoButton);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, viewport->mapToGlobal(at));
    QApplication::sendEvent(viewport, &menu);
}

void TypeText(Control& control, const std::string& text) {
    QWidget* target = KeyTarget(control);
    if (target == nullptr) return;
    for (QChar c : QString::fromUtf8(Bytes(text))) {
        const int key = c.isLetter() ? Qt::Key_A + (c.toUpper().unicode() - u'A') : c.unicode();
        QKeyEvent press(QEvent::KeyPress, c.isLetter() && c.unicode() < 128 ? key : c.unicode(),
                        Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &press);
        QKeyEvent release(QEvent::KeyRelease, press.key(), Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &release);
    }
}

void PressKey(Control& control, int keyCode) {
    QWidget* target = KeyTarget(control);
    if (target == nullptr) return;
    const int key = keyCode == 13 ? int(Qt::Key_Return) : keyCode;
    const QString text = keyCode == 13 ? QStringLiteral("\r") : QString(QChar(keyCode));
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &release);
}

void ChooseEntry(ComboBox& combo, int index) {
    auto* box = qobject_cast<QComboBox*>(combo.impl().widget.data());
    if (box == nullptr || index < 0 || index >= box->count()) return;
    // What the drop-down list does when an entry is clicked.
    box->setCurrentIndex(index);
    emit box->activated(index);
}

std::string DisplayedText(EditBox& edit) {
    auto* line = qobject_cast<QLineEdit*>(edit.impl().widget.data());
    return line != nullptr ? line->displayText().toUtf8().toStdString() : std::string{};
}

Rect GeometryInWindow(Control& control) {
    QWidget* w = control.impl().widget;
    if (w == nullptr) return {};
    QWidget* top = w->window();
    QWidget* client = top;
    for (QWidget* child : top->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->inherits("QMenuBar") || child->isWindow()) continue;
        client = child;
        break;
    }
    const QPoint at = w->mapTo(client, QPoint(0, 0));
    return Rect{at.x(), at.y(), w->width(), w->height()};
}

bool IsChildOf(Control& child, Control& container) {
    QWidget* w = child.impl().widget;
    QWidget* c = container.impl().client ? container.impl().client.data() : container.impl().widget.data();
    return w != nullptr && c != nullptr && w->parentWidget() == c;
}

bool PopupMenuVisible(Menu& menu) {
    (void)menu;
    const QWidget* popup = QApplication::activePopupWidget();
    return popup != nullptr && popup->isVisible();
}

void ClosePopupMenus() {
    while (QWidget* popup = QApplication::activePopupWidget()) popup->close();
}

bool SaveScreenshot(Window& window, const std::string& path) {
    QWidget* w = window.impl().widget;
    if (w == nullptr) return false;
    return w->grab().save(QString::fromUtf8(Bytes(path)), "PNG");
}

bool SaveScreen(const std::string& path) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return false;
    return screen->grabWindow(0).save(QString::fromUtf8(Bytes(path)), "PNG");
}

bool FontHasGlyphs(Window& window, const std::string& text) {
    (void)window;
    (void)text;
    return !QFontDatabase::families(QFontDatabase::SimplifiedChinese).isEmpty();
}

std::vector<std::uint32_t> ImagePixels(int index) {
    std::vector<std::uint32_t> pixels;
    const QIcon& icon = ImageIcon(index);
    if (icon.isNull()) return pixels;
    const QImage image = icon.pixmap(16, 16).toImage().convertToFormat(QImage::Format_ARGB32);
    if (image.width() != 16 || image.height() != 16) return pixels;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) pixels.push_back(image.pixel(x, y));
    }
    return pixels;
}

std::vector<int> WindowIconSizes(Window& window) {
    return OnUi([&] {
        std::vector<int> sizes;
        const QWidget* widget = window.impl().widget;
        if (widget == nullptr) return sizes;
        for (const QSize& size : widget->windowIcon().availableSizes()) sizes.push_back(size.width());
        return sizes;
    });
}

std::vector<std::uint32_t> WindowIconPixels(Window& window, int size) {
    return OnUi([&] {
        std::vector<std::uint32_t> pixels;
        const QWidget* widget = window.impl().widget;
        if (widget == nullptr) return pixels;
        const QSize wanted(size, size);
        if (!widget->windowIcon().availableSizes().contains(wanted)) return pixels;
        const QImage image =
            widget->windowIcon().pixmap(wanted).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.size() != wanted) return pixels;
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) pixels.push_back(image.pixel(x, y));
        }
        return pixels;
    });
}

}  // namespace toolkit::testing

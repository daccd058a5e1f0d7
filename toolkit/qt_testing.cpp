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
#include <QTreeWidget>

#include "toolkit/qt_private.h"
#include "toolkit/testing.h"

namespace toolkit::testing {

namespace {

// A mouse event at a point of the top-level window, delivered to the widget a
// real click there reaches (the deepest visible child under it).
QWidget* WidgetAt(QWidget* anyInWindow, const QPoint& global) {
    QWidget* top = anyInWindow->window();
    QWidget* hit = top->childAt(top->mapFromGlobal(global));
    return hit != nullptr ? hit : top;
}

void SendMouseAt(const QPoint& global, QWidget* anyInWindow, QEvent::Type type, Qt::MouseButton button,
                 Qt::MouseButtons buttons) {
    QWidget* target = WidgetAt(anyInWindow, global);
    if (type == QEvent::MouseButtonPress) {
        // A press gives the keyboard focus to what takes it on a click, as
        // the application does for a real click.
        QWidget* focus = target;
        while (focus != nullptr && !(focus->focusPolicy() & Qt::ClickFocus) && !focus->isWindow())
            focus = focus->parentWidget();
        if (focus != nullptr && (focus->focusPolicy() & Qt::ClickFocus))
            focus->setFocus(Qt::MouseFocusReason);
    }
    const QPoint local = target->mapFromGlobal(global);
    QMouseEvent event(type, QPointF(local), QPointF(global), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// Where a row's first cell is, in screen coordinates.
bool RowPoint(ListView& list, int row, QWidget*& viewport, QPoint& global) {
    auto* tree = static_cast<QTreeWidget*>(list.impl().widget.data());
    if (tree == nullptr) return false;
    QTreeWidgetItem* item = tree->topLevelItem(row);
    if (item == nullptr) return false;
    tree->scrollToItem(item);
    const QRect r = tree->visualItemRect(item);
    viewport = tree->viewport();
    global = viewport->mapToGlobal(QPoint(r.x() + 20, r.center().y()));
    return true;
}

// The window of the control is the active one, as after the user clicked it.
void Activate(QWidget* w) {
    QWidget* top = w->window();
    if (!top->isVisible()) return;
    if (QApplication::activeWindow() != top) {
        top->activateWindow();
        QApplication::setActiveWindow(top);
    }
}

// Gives the control the keyboard focus as Tab or a click would, and returns
// the widget that real keys reach now: the application's focus widget.
QWidget* FocusedTarget(Control& control) {
    QWidget* w = control.impl().widget;
    if (w == nullptr) return nullptr;
    Activate(w);
    w->setFocus(Qt::TabFocusReason);
    QWidget* focus = QApplication::focusWidget();
    return focus != nullptr ? focus : w;
}

// Qt key and text of one of the Application's key codes.
std::pair<int, QString> QtKey(int keyCode) {
    switch (keyCode) {
        case 13:
            return {Qt::Key_Return, QStringLiteral("\r")};
        case 27:
            return {Qt::Key_Escape, QString(QChar(27))};
        case 9:
            return {Qt::Key_Tab, QStringLiteral("\t")};
        case 8:
            return {Qt::Key_Backspace, QString(QChar(8))};
        case 38:
            return {Qt::Key_Up, QString()};
        case 40:
            return {Qt::Key_Down, QString()};
        default:
            break;
    }
    if (keyCode >= 'A' && keyCode <= 'Z') return {Qt::Key_A + (keyCode - 'A'), QString(QChar(keyCode + 32))};
    return {keyCode, QString(QChar(keyCode))};
}

void SendKey(QWidget* target, int key, const QString& text) {
    if (target == nullptr) return;
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    // The press may have moved the focus (Tab); the release goes where the
    // focus is now, as a real one would.
    QWidget* now = QApplication::focusWidget();
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(now != nullptr ? now : target, &release);
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
    Activate(viewport);
    SendMouseAt(at, viewport, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
    SendMouseAt(at, viewport, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
}

void DoubleClickRow(ListView& list, int row) {
    QWidget* viewport = nullptr;
    QPoint at;
    if (!RowPoint(list, row, viewport, at)) return;
    Activate(viewport);
    SendMouseAt(at, viewport, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
    SendMouseAt(at, viewport, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
    SendMouseAt(at, viewport, QEvent::MouseButtonDblClick, Qt::LeftButton, Qt::LeftButton);
    SendMouseAt(at, viewport, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
}

void RightClickRow(ListView& list, int row) {
    QWidget* viewport = nullptr;
    QPoint at;
    if (!RowPoint(list, row, viewport, at)) return;
    Activate(viewport);
    SendMouseAt(at, viewport, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton);
    SendMouseAt(at, viewport, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton);
    QWidget* target = WidgetAt(viewport, at);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, target->mapFromGlobal(at), at);
    QApplication::sendEvent(target, &menu);
}

void ClickControl(Control& control) {
    QWidget* w = control.impl().widget;
    if (w == nullptr) return;
    Activate(w);
    const QPoint at = w->mapToGlobal(w->rect().center());
    SendMouseAt(at, w, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
    SendMouseAt(at, w, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
}

void FocusControl(Control& control) { FocusedTarget(control); }

bool HasFocus(Control& control) {
    QWidget* w = control.impl().widget;
    QWidget* focus = QApplication::focusWidget();
    return w != nullptr && focus != nullptr && (focus == w || w->isAncestorOf(focus));
}

void TypeText(Control& control, const std::string& text) {
    QWidget* target = FocusedTarget(control);
    for (QChar c : QString::fromUtf8(Bytes(text))) {
        const bool latin = c.unicode() < 128;
        const int key = latin && c.isLetter() ? Qt::Key_A + (c.toUpper().unicode() - u'A') : c.unicode();
        SendKey(QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : target, key,
                QString(c));
    }
}

void TypeOver(Control& control, const std::string& text) {
    QWidget* target = FocusedTarget(control);
    if (target == nullptr) return;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::ControlModifier, QString(QChar(1)));
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::ControlModifier, QString(QChar(1)));
    QApplication::sendEvent(target, &release);
    SendKey(target, Qt::Key_Backspace, QString(QChar(8)));
    TypeText(control, text);
}

void PressKey(Control& control, int keyCode) {
    QWidget* target = FocusedTarget(control);
    const auto [key, text] = QtKey(keyCode);
    SendKey(target, key, text);
}

void PressKeyOnFocus(int keyCode) {
    QWidget* target = QApplication::focusWidget();
    if (target == nullptr) return;
    const auto [key, text] = QtKey(keyCode);
    SendKey(target, key, text);
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

}  // namespace toolkit::testing

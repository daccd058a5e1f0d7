// Test hooks that drive the real widgets with real mouse and key events.
#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QImage>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>
#include <memory>

#include "support/toolkit/testing.h"
#include "toolkit/qt_caption_widgets.h"
#include "toolkit/qt_private.h"

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
    auto* tree = WidgetAs<QTreeWidget>(list.impl());
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

bool RowShown(ListView& list, int row) {
    auto* tree = WidgetAs<QTreeWidget>(list.impl());
    if (tree == nullptr) return false;
    QTreeWidgetItem* item = tree->topLevelItem(row);
    if (item == nullptr) return false;
    // The rows' places follow only once the view has laid them out.
    tree->doItemsLayout();
    const QRect r = tree->visualItemRect(item);
    return r.isValid() && tree->viewport()->rect().contains(r.topLeft()) &&
           tree->viewport()->rect().contains(QPoint(r.left(), r.bottom()));
}

bool RowScreenPoint(ListView& list, int row, int& x, int& y) {
    QWidget* viewport = nullptr;
    QPoint at;
    if (!RowPoint(list, row, viewport, at)) return false;
    x = at.x();
    y = at.y();
    return true;
}

bool ControlScreenCenter(Control& control, int& x, int& y) {
    QWidget* w = control.impl().widget;
    if (auto* view = qobject_cast<QAbstractScrollArea*>(w)) w = view->viewport();
    if (w == nullptr) return false;
    const QPoint at = w->mapToGlobal(w->rect().center());
    x = at.x();
    y = at.y();
    return true;
}

bool IsExposed(Window& window) {
    QWidget* w = window.impl().widget;
    return w != nullptr && w->windowHandle() != nullptr && w->windowHandle()->isExposed();
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
    auto* box = WidgetAs<QComboBox>(combo.impl());
    if (box == nullptr || index < 0 || index >= box->count()) return;
    // What the drop-down list does when an entry is clicked.
    box->setCurrentIndex(index);
    emit box->activated(index);
}

std::string DisplayedText(EditBox& edit) {
    auto* line = WidgetAs<QLineEdit>(edit.impl());
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
    QWidget* c = ContainerOf(container);
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

CaptionCheck CheckGroupCaption(GroupBox& box) {
    CaptionCheck check;
    auto* group = WidgetAs<GroupBoxWidget>(box.impl());
    if (group == nullptr) {
        check.detail = "no group box";
        return check;
    }
    QWidget* top = group->window();
    // Before the window is first shown its own layout (menu bar above the
    // client area) may not be in place yet.
    if (top->layout() != nullptr) top->layout()->activate();
    const QRect ink = group->CaptionInk();
    if (ink.isEmpty()) {
        check.detail = "no caption";
        return check;
    }
    if (!group->rect().contains(ink)) {
        check.detail = "the caption reaches out of its box";
        return check;
    }
    const QRect inWindow(group->mapTo(top, ink.topLeft()), ink.size());
    // Every container up to the window must show the caption's rectangle.
    for (QWidget* w = group->parentWidget(); w != nullptr && w != top; w = w->parentWidget()) {
        if (!QRect(w->mapTo(top, QPoint(0, 0)), w->size()).contains(inWindow)) {
            check.detail = "the caption is cut by its container";
            return check;
        }
    }
    if (!top->rect().contains(inWindow)) {
        check.detail = "the caption is cut by the window";
        return check;
    }
    for (QWidget* w : top->findChildren<QWidget*>()) {
        if (w == group || w->isAncestorOf(group) || !w->isVisibleTo(top) || w->isWindow()) continue;
        if (group->isAncestorOf(w) && w->parentWidget() != group) continue;  // inside a child checked itself
        const QRect other(w->mapTo(top, QPoint(0, 0)), w->size());
        if (other.intersects(inWindow)) {
            const QString name = !w->accessibleName().isEmpty() ? w->accessibleName()
                                 : !w->objectName().isEmpty()
                                     ? w->objectName()
                                     : QString::fromLatin1(w->metaObject()->className());
            check.detail = "covered by " + name.toStdString() + " at " + std::to_string(other.x()) + "," +
                           std::to_string(other.y()) + " " + std::to_string(other.width()) + "x" +
                           std::to_string(other.height()) + "; caption at " + std::to_string(inWindow.x()) +
                           "," + std::to_string(inWindow.y()) + " " + std::to_string(inWindow.width()) + "x" +
                           std::to_string(inWindow.height());
            return check;
        }
    }
    // What the window shows there is the caption drawn alone.
    const QImage shown = top->grab(inWindow).toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage alone = group->CaptionAlone(shown.devicePixelRatio()).convertToFormat(QImage::Format_ARGB32);
    if (shown.size() != alone.size()) {
        check.detail = "the picture has another size";
        return check;
    }
    int differing = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) differing += shown.pixel(x, y) != alone.pixel(x, y) ? 1 : 0;
    }
    if (differing > 0) {
        check.detail = std::to_string(differing) + " pixels differ from the caption drawn alone";
        return check;
    }
    check.whole = true;
    return check;
}

LinkCheck CheckLinkCaption(HyperLink& link) {
    LinkCheck check;
    auto* widget = WidgetAs<HyperLinkWidget>(link.impl());
    if (widget == nullptr) return check;
    const QRect text = widget->TextRect();
    // Every character is on a line, and the lines lie inside the box.
    check.fits = widget->CaptionFits() && widget->rect().contains(text) &&
                 widget->Lines().join(QString()) == widget->Caption();
    check.lines = static_cast<int>(widget->Lines().size());
    check.pixelSize = widget->CaptionFont().pixelSize();
    return check;
}

namespace {

struct DialogWatch {
    std::unique_ptr<QTimer> timer;
    std::string button;
    std::string screenshot;
    std::optional<RealDialog> answered;
};

DialogWatch& Watch() {
    static DialogWatch watch;
    return watch;
}

void SaveDialogPicture(QWidget* dialog, const std::string& path) {
    QWidget* behind = dialog->parentWidget() != nullptr ? dialog->parentWidget()->window() : nullptr;
    QPixmap picture;
    if (behind != nullptr && behind->isVisible()) {
        picture = behind->grab();
        QPainter p(&picture);
        p.drawPixmap(dialog->geometry().topLeft() - behind->geometry().topLeft(), dialog->grab());
    } else {
        picture = dialog->grab();
    }
    picture.save(QString::fromUtf8(Bytes(path)), "PNG");
}

void LookForDialog() {
    DialogWatch& watch = Watch();
    QWidget* dialog = QApplication::activeModalWidget();
    if (dialog == nullptr || !dialog->isVisible()) return;
    watch.timer->stop();
    RealDialog seen;
    seen.title = dialog->windowTitle().toUtf8().toStdString();
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) seen.text = box->text().toUtf8().toStdString();
    if (auto* input = qobject_cast<QInputDialog*>(dialog))
        seen.text = input->labelText().toUtf8().toStdString();
    QList<QAbstractButton*> buttons = dialog->findChildren<QAbstractButton*>();
    std::sort(buttons.begin(), buttons.end(), [dialog](QAbstractButton* a, QAbstractButton* b) {
        return a->mapTo(dialog, QPoint()).x() < b->mapTo(dialog, QPoint()).x();
    });
    if (!watch.screenshot.empty()) SaveDialogPicture(dialog, watch.screenshot);
    QAbstractButton* target = nullptr;
    for (QAbstractButton* b : buttons) {
        if (!b->isVisible()) continue;
        seen.buttons.push_back(b->text().toUtf8().toStdString());
        if (b->text().toUtf8().toStdString() == watch.button) target = b;
    }
    if (target != nullptr) {
        const QPoint at = target->mapToGlobal(target->rect().center());
        SendMouseAt(at, target, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton);
        SendMouseAt(at, target, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton);
        seen.clicked = true;
    } else {
        // Nobody would answer it: close it as the window's close button would.
        dialog->close();
    }
    watch.answered = seen;
}

}  // namespace

void AnswerNextDialog(const std::string& buttonText, const std::string& screenshotPath) {
    DialogWatch& watch = Watch();
    watch.button = buttonText;
    watch.screenshot = screenshotPath;
    watch.answered.reset();
    if (!watch.timer) {
        watch.timer = std::make_unique<QTimer>();
        QObject::connect(watch.timer.get(), &QTimer::timeout, watch.timer.get(), [] { LookForDialog(); });
    }
    watch.timer->start(10);
}

std::optional<RealDialog> TakeAnsweredDialog() {
    std::optional<RealDialog> answered;
    answered.swap(Watch().answered);
    return answered;
}

std::string QtText(const char* context, const char* source) {
    return QCoreApplication::translate(context, source).toUtf8().toStdString();
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

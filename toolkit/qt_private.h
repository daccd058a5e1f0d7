// Inside the Qt implementation of the toolkit: the widget behind each control
// and helpers shared by the implementation files. Included outside toolkit/
// only by the toolkit's hooks for tests (tests/support/toolkit/).
#pragma once

#include <QIcon>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "toolkit/toolkit.h"

class QMenuBar;

namespace toolkit {

enum class Kind {
    Window,
    GroupBox,
    Label,
    HyperLink,
    Button,
    EditBox,
    ListBox,
    ComboBox,
    ListView,
    StatusBar,
    ProgressBar,
    Splitter,
};

struct Pane {
    QString shown;
    std::string bytes;
    int width = 0;
};

struct Control::Impl {
    Kind kind = Kind::Label;
    QPointer<QWidget> widget;        // the control itself
    QPointer<QWidget> client;        // where children go (a window's client area)
    std::unique_ptr<QWidget> owned;  // only a window owns its widget tree
    QPointer<QMenuBar> menuBar;

    // The bytes last given as text and how they were shown: reading the text
    // back hands out those bytes while the shown text is unchanged.
    std::string textBytes;
    QString textShown;

    std::function<void()> onCreated;
    std::function<void()> onSizeChanged;
    std::function<void()> onClosed;
    std::function<void()> onClicked;
    std::function<void()> onEntrySelected;
    std::function<void()> onActivated;
    std::function<void()> onRightClick;
    std::function<void(int)> onKey;
    std::function<void(int)> onDragged;

    bool maximizeOnShow = false;
    bool createdRan = false;

    // List view: whether this fill shows foreign texts as GBK.
    bool foreignAsGbk = false;

    std::vector<Pane> panes;
};

// The widget behind a control as the Qt type W, or, with `part`, another of
// its widgets (a window's client area). Nothing when there is none (not
// created yet, or destroyed already) or when it is not a W: every access to a
// control's widget as its own type goes through this check.
template <class W>
W* WidgetAs(const Control::Impl& d, QPointer<QWidget> Control::Impl::*part = &Control::Impl::widget) {
    return dynamic_cast<W*>((d.*part).data());
}

// The item data role under which list boxes, combo boxes and list views keep
// the bytes of each text they show.
inline constexpr int kBytesRole = Qt::UserRole;

// Where the children of a control go: a window's client area, a status bar,
// or the control's own widget.
QWidget* ContainerOf(Control& parent);
// Makes w the control's widget of that kind, at r in the parent's container.
void Place(Control::Impl& d, QWidget* w, Control& parent, const Rect& r, Kind kind);
// The bytes last given as text and how they were shown (see Control::Impl).
void Remember(Control::Impl& d, const std::string& bytes, const QString& shown);
// Keeps the bar along the bottom edge of the window's client area as the
// window is resized.
void DockAtBottom(Control::Impl& window, QWidget* bar);

// Carries out f on the UI thread (directly when already there) and returns
// its result; a default value when the runtime is shutting down.
template <class F>
auto OnUi(F&& f) -> decltype(f()) {
    using R = decltype(f());
    if (IsUiThread()) return f();
    if constexpr (std::is_void_v<R>) {
        RunOnUiThread(std::function<void()>(f));
    } else {
        R result{};
        RunOnUiThread([&] { result = f(); });
        return result;
    }
}

// What `read` takes from the control's widget as W, on the UI thread; `none`
// when the control has no such widget.
template <class W, class R, class F>
R ReadWidget(const Control::Impl& d, R none, F&& read) {
    return OnUi([&]() -> R {
        const W* widget = WidgetAs<W>(d);
        return widget != nullptr ? read(*widget) : none;
    });
}

// How a text is shown: valid UTF-8 as it is, anything else as GBK.
QString ShowText(const std::string& bytes);
// A foreign text within a fill that shows foreign texts as GBK.
QString ShowForeign(const std::string& bytes, bool asGbk);
QByteArray Bytes(const std::string& s);
std::string FromBytes(const QByteArray& b);

const QIcon& ImageIcon(int index);

// Answers to the window's dialogs that come from somewhere other than a
// user (a test's script). A dialog asks the hook first and shows itself only
// when the hook leaves it to the user. No hook is set in the programs.
class DialogHook {
public:
    virtual ~DialogHook() = default;
    // The answer to an input box (true: OK with `entered`), or nothing.
    virtual std::optional<bool> Input(const std::string& prompt, const std::string& title,
                                      const std::string& initial, int type, std::string& entered) = 0;
    virtual std::optional<int> Message(const std::string& text, int style, const std::string& caption) = 0;
    // True when the about box need not be shown.
    virtual bool About(const std::string& text, const std::string& caption) = 0;
};
void SetDialogHook(DialogHook* hook);

// The screen size the program is told instead of the real one (0: the real one).
void SetScreenSizeOverride(int width, int height);
// Lets the runtime run again after BeginShutdown.
void EndShutdown();

}  // namespace toolkit

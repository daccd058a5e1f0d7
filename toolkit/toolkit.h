// The window toolkit the Application is written against: one top-level window
// with absolutely placed controls, report-style list views sharing one image
// list, a status bar with panes, splitter bars, timers, popup menus, modal
// dialogs, pending-event processing, repaint suspension and cross-thread calls
// carried out on the UI thread. The implementation sits on Qt 6 Widgets; no Qt
// type appears here.
//
// Geometry is in pixels relative to the client area of the container (for a
// window: its outer rectangle). Every operation may be called from any thread:
// off the UI thread it is carried out by the UI thread while the caller waits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/files.h"
#include "toolkit/text.h"

namespace toolkit {

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    bool operator==(const Rect&) const = default;
};

// Where a text comes from. Program texts are UTF-8; foreign texts (names from a
// server or a disk) are bytes of unknown encoding, shown as GBK when a list
// fill holds any foreign text that is not valid UTF-8.
enum class TextOrigin { Program, Foreign };

// Number of pictures in the shared image list (16 by 16 pixels each).
inline constexpr int kImageCount = 11;

// ---- runtime -------------------------------------------------------------

// The UI runtime of the program; exactly one, created first in main and
// destroyed last.
class Runtime {
public:
    Runtime(int& argc, char** argv);
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;
    // Runs the event loop until the last window is closed; returns its exit code.
    int Run();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// Creates a UI runtime for the rest of the process when none exists yet (test
// programs); it draws off screen unless QT_QPA_PLATFORM says otherwise.
void EnsureApplication();

// Runs the event loop until no event is waiting, then returns.
void ProcessPendingEvents();

// Runs the event loop for about `milliseconds`, as the running program does:
// calls from other threads are served the moment they arrive.
void RunEventLoopFor(int milliseconds);

bool IsUiThread();

// Carries out fn on the UI thread and waits for it. Returns false without
// running fn when the runtime is shutting down (see BeginShutdown).
bool RunOnUiThread(const std::function<void()>& fn);

// Called on the UI thread when the window has closed: every waiting and every
// later cross-thread call returns at once without touching a widget.
void BeginShutdown();
bool IsShuttingDown();

int ScreenWidth();
int ScreenHeight();

// The program's icon for every window, dialog and the task bar, from PNG
// images (their bytes) of the sizes a desktop asks for. False when none of
// them could be read.
bool SetProgramIcon(const std::vector<std::string>& pngImages);

// The name of the program's desktop entry (without ".desktop"), by which a
// desktop finds the entry's name and icon for the program's windows.
void SetDesktopEntryName(const std::string& name);

// ---- controls ------------------------------------------------------------

class Window;

class Control {
public:
    virtual ~Control();
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    int Left() const;
    int Top() const;
    int Width() const;
    int Height() const;
    Rect Geometry() const;
    void SetLeft(int value);
    void SetTop(int value);
    void SetWidth(int value);
    void SetHeight(int value);
    void SetGeometry(const Rect& r);
    bool Visible() const;
    void SetVisible(bool visible);
    // Caption or content text; the bytes given are the bytes handed back.
    std::string Text() const;
    void SetText(const std::string& text);
    // Paints the control at once, without waiting for the event loop.
    void RedrawNow();
    // The name screen readers and UI-automation tools know the control by.
    void SetAccessibleName(const std::string& name);
    std::string AccessibleName() const;
    bool Exists() const;

    struct Impl;
    Impl& impl() const { return *d_; }

protected:
    Control();
    std::unique_ptr<Impl> d_;
};

class Window : public Control {
public:
    Window();
    ~Window() override;
    void Create(const std::string& caption, const Rect& outer);
    // Runs before the window is first shown.
    void OnCreated(std::function<void()> handler);
    void OnSizeChanged(std::function<void()> handler);
    // The user (or the program) closed the window.
    void OnClosed(std::function<void()> handler);
    // Set while hidden, it applies when the window is shown.
    void SetMaximized();
    void Show();
    void Close();
    // Size of the client area below the menu bar.
    int ClientWidth() const;
    int ClientHeight() const;
};

class GroupBox : public Control {
public:
    void Create(Control& parent, const Rect& r, const std::string& caption);
};

class Label : public Control {
public:
    void Create(Control& parent, const Rect& r, const std::string& caption);
};

class HyperLink : public Control {
public:
    void Create(Control& parent, const Rect& r, const std::string& caption, const std::string& address);
};

class Button : public Control {
public:
    void Create(Control& parent, const Rect& r, const std::string& caption);
    void OnClicked(std::function<void()> handler);
    // Raises the click event as a mouse click would.
    void Click();
};

class EditBox : public Control {
public:
    void Create(Control& parent, const Rect& r, const std::string& text);
    // Every character is shown as "*".
    void SetPasswordEntry();
    // Typed printable characters other than "-" and the digits are discarded.
    void SetIntegerEntry();
};

class ListBox : public Control {
public:
    void Create(Control& parent, const Rect& r);
    int AddLine(const std::string& text);
    int LineCount() const;
    std::string LineText(int index) const;
    void SetTopLine(int index);
    int TopLine() const;
};

class ComboBox : public Control {
public:
    void Create(Control& parent, const Rect& r);
    std::string EditText() const;
    void SetEditText(const std::string& text);
    int AddEntry(const std::string& text);  // -1 on failure
    int EntryCount() const;
    std::string EntryText(int index) const;  // empty when out of range
    int CurrentSelection() const;
    void SetCurrentSelection(int index);  // the edit text becomes that entry
    // After the edit text holds the chosen entry.
    void OnEntrySelected(std::function<void()> handler);
    // Key code first (13 for Enter).
    void OnKeyPressed(std::function<void(int keyCode)> handler);
};

class ListView : public Control {
public:
    void Create(Control& parent, const Rect& r);
    void AddColumn(const std::string& title, int width);
    int ColumnCount() const;
    int ColumnWidth(int column) const;
    void SetColumnWidth(int column, int width);
    // Position negative or past the end appends. Returns the row index.
    int InsertRow(int position, const std::string& text, int icon, TextOrigin origin = TextOrigin::Program);
    void SetCellText(int row, int column, const std::string& text, TextOrigin origin = TextOrigin::Program);
    void SetCellIcon(int row, int column, int icon);
    // The exact bytes given; empty for a missing row or column.
    std::string CellText(int row, int column) const;
    // What the cell shows (UTF-8), for tests and screenshots.
    std::string CellDisplayText(int row, int column) const;
    // Whether the rows filled since the last Clear show foreign texts as GBK.
    bool ShowsForeignAsGbk() const;
    int CellIcon(int row, int column) const;
    // A number kept beside a row (0 unless set).
    void SetRowData(int row, std::int64_t value);
    std::int64_t RowData(int row) const;
    int RowCount() const;
    // Removes one row; the rows below move up. Nothing for a missing row.
    void DeleteRow(int row);
    void Clear();
    std::vector<int> SelectedRows() const;  // ascending
    int CurrentRow() const;                 // -1 when none is selected
    void SelectRow(int row, bool selected);
    void EnsureVisible(int row);
    // The vertical scroll bar's value, to show the same rows again after a
    // refill; a value past the end scrolls to the end.
    int ScrollPosition() const;
    void SetScrollPosition(int position);
    void OnItemActivated(std::function<void()> handler);
    void OnRightClick(std::function<void()> handler);
    // Rows of `source` dragged with the left mouse button and dropped on this
    // list: the handler runs on the UI thread after the drop, while the
    // dragged rows are the selected rows of `source`. The rows are copied,
    // never moved; drags from anywhere else, this list's own rows included,
    // are refused.
    void OnRowsDroppedFrom(ListView& source, std::function<void()> handler);
};

class StatusBar : public Control {
public:
    // Docked at the bottom of the window's client area.
    void Create(Window& window, int height);
    int AddPane(const std::string& text, int width);
    int PaneCount() const;
    void SetPaneText(int pane, const std::string& text);
    std::string PaneText(int pane) const;
    void SetPaneWidth(int pane, int width);
    Rect PaneRect(int pane) const;  // in the bar's client coordinates
};

class ProgressBar : public Control {
public:
    void Create(Control& parent, const Rect& r);
    void SetPosition(int position);  // clamped to 0..100
    int Position() const;
};

enum class SplitterKind { Horizontal, Vertical };

class Splitter : public Control {
public:
    void Create(Control& parent, const Rect& r, SplitterKind kind);
    // The new top (horizontal) or left (vertical) in window client coordinates.
    void OnDragged(std::function<void(int position)> handler);
};

// Moves a control into another container (its geometry is then relative to
// the new container).
void Reparent(Control& child, Control& newParent);

// Repainting of one control at a time may be suspended; suspending another
// control resumes the previous one.
void SuspendRepaint(Control& control);
void ResumeRepaint(Control& control);

class Timer {
public:
    Timer();
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    void Start(int periodMs, std::function<void()> handler);
    void Stop();
    bool Running() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

class Menu {
public:
    Menu();
    ~Menu();
    Menu(const Menu&) = delete;
    Menu& operator=(const Menu&) = delete;
    // In the menu bar of the window, or a hidden popup menu owned by it.
    void Create(Window& owner, const std::string& title, bool inMenuBar);
    void AddItem(const std::string& text, std::function<void()> handler);
    void AddSeparator();
    // Item texts in order; separators read as the empty text.
    std::vector<std::string> Items() const;
    // Shows the menu 3 pixels right of and 3 below the mouse position.
    void PopupAtMouse();
    // Raises the event of the item with that text, as choosing it would.
    bool Choose(const std::string& itemText);

    struct Impl;

private:
    std::unique_ptr<Impl> d_;
};

// ---- dialogs ---------------------------------------------------------------

// Input box; type 1 is text (values outside 1..4 are clamped). True and the
// entered text when the user confirms with OK.
bool InputBox(const std::string& prompt, const std::string& title, const std::string& initial, int type,
              std::string& entered);

// Message box styles and results.
inline constexpr int kMbOk = 0x00;
inline constexpr int kMbOkCancel = 0x01;
inline constexpr int kMbIconError = 0x10;
inline constexpr int kMbIconQuestion = 0x20;
inline constexpr int kMbIconExclamation = 0x30;
inline constexpr int kMbIconInformation = 0x40;
inline constexpr int kResultOk = 0;
inline constexpr int kResultCancel = 1;

int MessageBox(const std::string& text, int style, const std::string& caption);

// A warning with buttons of its own, the last one the refusal (Escape and
// the window's close button choose it too). The index of the button chosen.
// Test hooks see it as a message box of style kChoiceStyle + the button count.
inline constexpr int kChoiceStyle = 0x100;
int ChoiceBox(const std::string& text, const std::string& caption, const std::vector<std::string>& buttons);

// A box with the program's icon, the text and an OK button.
void AboutBox(const std::string& text, const std::string& caption);

}  // namespace toolkit

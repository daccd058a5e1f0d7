// The toolkit's hooks for tests: scripted dialogs, screen size, real input to widgets, screenshots.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/toolkit.h"

namespace toolkit::testing {

// A dialog as it was shown.
struct ShownDialog {
    std::string kind;  // "input", "message" or "about"
    std::string text;  // prompt or message text
    std::string caption;
    std::string initial;
    int style = 0;
};

// Answers given, in order, to the next dialogs instead of showing them. With
// scripted mode on, a dialog without an answer is cancelled and never shown.
void ScriptInputAnswer(bool ok, const std::string& text);
void ScriptMessageAnswer(int result);
void SetScriptedDialogsOnly(bool on);
std::vector<ShownDialog> TakeShownDialogs();
void ClearDialogScript();

// Screen size reported to the program (0 restores the real one).
void SetScreenSize(int width, int height);

// Mouse drag of a splitter bar by (dx, dy) pixels, press, move and release.
void DragSplitter(Splitter& splitter, int dx, int dy);

// Input goes the way the platform delivers it: a mouse event to the widget
// under the point (a press moves the keyboard focus as a click does), a key
// event to the application's focus widget, both through the application's
// event dispatch. Nothing is handed to an inner widget directly.

// Mouse clicks on the row's first cell.
void ClickRow(ListView& list, int row);
void DoubleClickRow(ListView& list, int row);
void RightClickRow(ListView& list, int row);
// A left click in the middle of the control.
void ClickControl(Control& control);

// Whether the row lies whole inside the list's visible area now, read
// without scrolling (the click helpers above scroll the row into view first).
bool RowShown(ListView& list, int row);

// Where a row's first cell and the middle of a control are on the screen, for
// input from outside the program (XTEST on a real X screen).
bool RowScreenPoint(ListView& list, int row, int& x, int& y);
bool ControlScreenCenter(Control& control, int& x, int& y);
// Whether the window system shows the window now (mapped and exposed), so
// that input from outside the program reaches it.
bool IsExposed(Window& window);

// Moves the keyboard focus to the control, as Tab would.
void FocusControl(Control& control);
bool HasFocus(Control& control);

// Gives the control the focus, then types text with key events or presses
// one key given by its code (13 Enter, 27 Esc, 9 Tab, 8 Backspace, 38 Up,
// 40 Down, 'A'..'Z').
void TypeText(Control& control, const std::string& text);
// Selects the whole text with Ctrl+A and deletes it first, so the typed text
// replaces it.
void TypeOver(Control& control, const std::string& text);
void PressKey(Control& control, int keyCode);
// One key to whatever has the focus now.
void PressKeyOnFocus(int keyCode);

// Chooses a drop-down entry as the user would.
void ChooseEntry(ComboBox& combo, int index);

// What an edit box shows (the mask characters of a password entry).
std::string DisplayedText(EditBox& edit);

// The geometry of a control in the client coordinates of the window.
Rect GeometryInWindow(Control& control);

// The control's parent is that container.
bool IsChildOf(Control& child, Control& container);

// Whether the visible popup menu of a list is shown now.
bool PopupMenuVisible(Menu& menu);
void ClosePopupMenus();

// Renders the window into a PNG file; true on success.
bool SaveScreenshot(Window& window, const std::string& path);

// Renders the whole screen the runtime draws on, other programs' windows
// included, into a PNG file; true on success.
bool SaveScreen(const std::string& path);

// Whether a group box's caption is drawn whole: inside the box and the
// window, no other control over it, and the window's pixels there those of
// the caption drawn alone. `detail` says what is wrong otherwise.
struct CaptionCheck {
    bool whole = false;
    std::string detail;
};
CaptionCheck CheckGroupCaption(GroupBox& box);

// Whether a hyperlink's caption fits its box whole (every line, at the font
// it chose), with the number of lines and the font's pixel size.
struct LinkCheck {
    bool fits = false;
    int lines = 0;
    int pixelSize = 0;
};
LinkCheck CheckLinkCaption(HyperLink& link);

// A real dialog (not scripted) as it was shown, and its answer.
struct RealDialog {
    std::string title;
    std::string text;
    std::vector<std::string> buttons;  // in the order they are laid out
    bool clicked = false;              // the button asked for was found and clicked
};

// Watches for the next modal dialog; when it shows, its picture is saved
// (when a path is given) with the window behind it, its texts are read, and
// the button with the given text is clicked with the mouse.
void AnswerNextDialog(const std::string& buttonText, const std::string& screenshotPath = {});
// The dialog answered since the last call, if any.
std::optional<RealDialog> TakeAnsweredDialog();

// A text of Qt itself as the program shows it (translated when Qt's
// translation is loaded).
std::string QtText(const char* context, const char* source);

// Whether the text renders with real glyphs in the window's font (no boxes).
bool FontHasGlyphs(Window& window, const std::string& text);

// The ARGB pixels (16 by 16, row by row) of a picture of the image list;
// empty for an index outside it.
std::vector<std::uint32_t> ImagePixels(int index);

// The pixel sizes of the icon the window shows (and hands to the task bar).
std::vector<int> WindowIconSizes(Window& window);

// The ARGB pixels of the window's icon at that size, row by row; empty when
// the icon has no picture of that size.
std::vector<std::uint32_t> WindowIconPixels(Window& window, int size);

// Undoes BeginShutdown so a test program can go on.
void ResetShutdown();

}  // namespace toolkit::testing

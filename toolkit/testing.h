// Hooks for tests of the window: scripted dialog answers, a fixed screen
// size, real mouse and key events sent to the widgets, and screenshots.
#pragma once

#include <cstdint>
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

// Real mouse events on the row's first cell.
void ClickRow(ListView& list, int row);
void DoubleClickRow(ListView& list, int row);
void RightClickRow(ListView& list, int row);

// Types text into a control with key events (for an edit box or a combo box),
// or presses one key given by its code (13 for Enter).
void TypeText(Control& control, const std::string& text);
void PressKey(Control& control, int keyCode);

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

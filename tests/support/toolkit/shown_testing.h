// For tests only (library toolkit_testing), beside testing.h: what the window
// shows that the toolkit has no getter for (column headers, menu bar titles,
// the maximised state, a hyperlink's pixels), and the addresses the program
// asked the desktop to open, caught instead of starting a browser.
#pragma once

#include <string>
#include <vector>

#include "toolkit/toolkit.h"

namespace toolkit::testing {

// The header texts of a list's columns, in order.
std::vector<std::string> ColumnTitles(ListView& list);
// The titles of the window's menu bar, in order.
std::vector<std::string> MenuBarTitles(Window& window);
// Whether the window is shown maximised.
bool ShownMaximized(Window& window);

// The link's caption as it draws it in its box: `inkLines` text lines found
// in the pixels (a band of ink rows one line high counts one) and whether the
// ink stays off the box's edges. `detail` says what is wrong.
struct LinkPixels {
    bool whole = false;
    int inkLines = 0;
    int differing = 0;  // caption pixels the window shows otherwise (anti-aliased edges do)
    std::string detail;
};
LinkPixels CheckLinkPixels(HyperLink& link);

// From now on, addresses the program hands the desktop to open are kept
// here rather than opened; TakeOpenedAddresses hands them out and empties
// the list. Off again with false.
void CatchOpenedAddresses(bool on);
std::vector<std::string> TakeOpenedAddresses();

}  // namespace toolkit::testing

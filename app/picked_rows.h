// The rows a user picked in a list, by name, kept across a refill of the
// list so that a listing the program does on its own never loses them.
#pragma once

#include <string>
#include <vector>

#include "toolkit/toolkit.h"

namespace app {

struct PickedRows {
    std::vector<std::string> names;
    std::string current;  // the current row's name; empty when none
};

PickedRows TakePickedRows(const toolkit::ListView& list);
// Picks the rows of those names again, the current one last: the
// single-row items (rename, say) act on it.
void RestorePickedRows(toolkit::ListView& list, const PickedRows& picked);

}  // namespace app

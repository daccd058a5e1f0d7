// The output of quorvel-ftp-cli's ls. In a pipe every entry is one line of
// TAB-separated fields, as scripts read it; on a terminal the columns are
// padded to line up and sizes carry thousands separators.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

struct ListedEntry {
    std::string name;   // already made safe for where it is printed
    std::int64_t size;  // -1: no size (a folder)
    std::string time;   // the date-time text, "-" when unknown
    char kind;          // 'd' folder, 'l' link, '-' file
};

// "1,234,567"; a negative size is "-".
std::string GroupedDigits(std::int64_t value);

// Columns a terminal gives the UTF-8 text: two for East Asian wide and
// full-width characters, one for the rest (a byte that is not UTF-8 counts one).
std::size_t DisplayWidth(const std::string& text);

// The lines of ls, each ending in "\n".
std::string ListingText(const std::vector<ListedEntry>& entries, bool terminal);

}  // namespace cli

// The layout of ls: TAB-separated fields in a pipe, padded columns with
// grouped sizes on a terminal, CJK names counted as two columns wide.
#include "tools/cli_listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cli::ListedEntry;

TEST(CliListing, SizesAreGroupedByThousands) {
    const std::pair<std::int64_t, std::string> cases[] = {
        {0, "0"},
        {7, "7"},
        {999, "999"},
        {1000, "1,000"},
        {65536, "65,536"},
        {123456, "123,456"},
        {1234567, "1,234,567"},
        {805306368, "805,306,368"},
        {9223372036854775807LL, "9,223,372,036,854,775,807"},
        {-1, "-"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(cli::GroupedDigits(value), text) << value;
}

TEST(CliListing, DisplayWidthCountsWideCharactersTwice) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"", 0},
        {"a.txt", 5},
        {"中文", 4},
        {"游戏客户端 完整版.zip", 21},
        {"ｆｕｌｌ", 8},  // full-width Latin
        {"한글", 4},      // Hangul syllables
        {"é", 1},         // two bytes, one column
        {"2026年01月12日", 14},
        {"\xff\xfe", 2},  // not UTF-8: one column a byte
        {"\xe4\xb8", 2},  // cut in the middle of a character
        {"\\x1B[2J", 7},  // an escaped control as ls prints it
    };
    for (const auto& [text, width] : cases) EXPECT_EQ(cli::DisplayWidth(text), width) << text;
}

TEST(CliListing, PipeAndTerminalLayouts) {
    const std::vector<ListedEntry> entries = {
        {"a.txt", 5, "2026年01月12日 10:30:00", '-'},
        {"中文目录", -1, "2026年01月12日 10:30:00", 'd'},
        {"big.zip", 1234567, "-", '-'},
        {"link", 12, "2026年01月12日 10:30:00", 'l'},
    };
    struct Case {
        const char* what;
        std::vector<ListedEntry> entries;
        bool terminal;
        std::string text;
    };
    const Case cases[] = {
        {"pipe", entries, false,
         "a.txt\t5\t2026年01月12日 10:30:00\t-\n"
         "中文目录\t-1\t2026年01月12日 10:30:00\td\n"
         "big.zip\t1234567\t-\t-\n"
         "link\t12\t2026年01月12日 10:30:00\tl\n"},
        {"terminal", entries, true,
         "a.txt             5  2026年01月12日 10:30:00  -\n"
         "中文目录          -  2026年01月12日 10:30:00  d\n"
         "big.zip   1,234,567  -                        -\n"
         "link             12  2026年01月12日 10:30:00  l\n"},
        {"empty terminal", {}, true, ""},
        {"empty pipe", {}, false, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(cli::ListingText(c.entries, c.terminal), c.text) << c.what;
}

}  // namespace

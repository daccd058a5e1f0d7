// The one rule for names taken from listings, for each use of a name.
#include "downlib/entry_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using downlib::EntryNameUse;

}  // namespace

TEST(EntryName, RefusesWhatCouldLeaveItsFolderForEachUse) {
    const struct {
        std::string name;
        bool serverChild;
        bool localComponent;
    } cases[] = {
        {"a.zip", true, true},
        {"报告 2024.txt", true, true},
        {"...", true, true},
        {".profile", true, true},
        {"a b", true, true},
        {"", false, false},
        {".", false, false},
        {"..", false, false},
        {"/", false, false},
        {"a/b", false, false},
        {"../x", false, false},
        // A server or a system reading "\" as a separator climbs with these;
        // a GBK trail byte "\" goes with them.
        {"..\\x", false, false},
        {"x\\..", false, false},
        {"a\\b", false, false},
        {"\x95\\name", false, false},
        // What cannot travel inside a command, and what no file name holds.
        {"cr\r", false, false},
        {"lf\nDELE x", false, false},
        {std::string("nul\0x", 5), false, false},
        {"tab\there", false, false},
        {"del\x7f", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(downlib::IsSafeEntryName(c.name, EntryNameUse::ServerChild), c.serverChild) << c.name;
        EXPECT_EQ(downlib::IsSafeEntryName(c.name, EntryNameUse::LocalComponent), c.localComponent) << c.name;
    }
}

// The part file's note and MDTM replies: only the exact written form is
// taken as proof; anything garbled or hostile is no note at all.
#include "downlib/part_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace downlib {
namespace {

TEST(PartFile, OnlyTheExactNoteFormIsRead) {
    const std::string good = "quorvel-part 1\nsize 600000\nmdtm 20261209101500\n";
    const struct {
        std::string text;
        bool read;
    } cases[] = {
        {good, true},
        {"quorvel-part 1\nsize 0\nmdtm 00000000000000\n", true},
        {"", false},
        {good.substr(0, good.size() - 1), false},                       // cut before its end
        {good + "\n", false},                                           // more after it
        {"quorvel-part 2\nsize 600000\nmdtm 20261209101500\n", false},  // another form
        {"quorvel-part 1\nsize -5\nmdtm 20261209101500\n", false},
        {"quorvel-part 1\nsize 99999999999999999999\nmdtm 20261209101500\n", false},  // overflow
        {"quorvel-part 1\nsize 1\nmdtm 2026120910150\n", false},                      // 13 digits
        {"quorvel-part 1\nmdtm 20261209101500\nsize 1\n", false},                     // swapped
        {std::string("quorvel-part 1\nsize 1\0\nmdtm 20261209101500\n", 43), false},
        {"quorvel-part 1\nsize " + std::string(300, '1') + "\nmdtm 20261209101500\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ParsePartNote(c.text).has_value(), c.read) << c.text;
    EXPECT_EQ(ParsePartNote(good), (PartOrigin{600000, "20261209101500"}));
}

TEST(PartFile, MdtmRepliesGiveFourteenDigitsOrNothing) {
    const struct {
        const char* reply;
        const char* stamp;  // "" for none
    } cases[] = {
        {"213 20261209101500\r\n", "20261209101500"},
        {"213 20261209101500.123\r\n", "20261209101500"},
        {"213 2026120910150\r\n", ""},
        {"550 no such file\r\n", ""},
        {"213 2026-12-09 10:15\r\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseMdtmReply(c.reply).value_or(""), c.stamp) << c.reply;
}

TEST(PartFile, ANoteIsWrittenAndReadBackButNeverThroughALink) {
    testsupport::TempDir dir;
    const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    const PartOrigin origin{123, "20260101000000"};
    ASSERT_TRUE(WritePartNote(folder, "a.bin", origin));
    EXPECT_EQ(ReadPartNote(folder, "a.bin"), origin);
    RemovePartNote(folder, "a.bin");
    EXPECT_FALSE(ReadPartNote(folder, "a.bin").has_value());
    ASSERT_TRUE(
        testsupport::WriteFile(dir.file("elsewhere"), "quorvel-part 1\nsize 1\nmdtm 20260101000000\n"));
    ASSERT_EQ(::symlink(dir.file("elsewhere").c_str(), dir.file("b.bin.quorvel-part.info").c_str()), 0);
    EXPECT_FALSE(ReadPartNote(folder, "b.bin").has_value());
    EXPECT_FALSE(WritePartNote(folder, "b.bin", origin));
    EXPECT_EQ(testsupport::ReadFile(dir.file("elsewhere")).value_or(""),
              "quorvel-part 1\nsize 1\nmdtm 20260101000000\n");
    ::close(folder);
}

}  // namespace
}  // namespace downlib

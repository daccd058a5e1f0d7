// Text, number and date-time operations of the toolkit.
#include "toolkit/text.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>

namespace toolkit {
// Dates in failure messages as a reader writes them.
void PrintTo(const DateTime& v, std::ostream* os) {
    *os << v.year << "-" << v.month << "-" << v.day << " " << v.hour << ":" << v.minute << ":" << v.second;
}
}  // namespace toolkit

namespace {

using toolkit::DateTime;

struct SplitCase {
    std::string text;
    std::string separator;
    std::vector<std::string> pieces;
};

TEST(ToolkitText, SplitKeepsInnerEmptyPiecesAndDropsTheLastEmptyOne) {
    const SplitCase cases[] = {
        {"", ".", {}},
        {"readme", ".", {"readme"}},
        {"a.tar.gz", ".", {"a", "tar", "gz"}},
        {".profile", ".", {"", "profile"}},
        {"readme.", ".", {"readme"}},
        {"a.b.", ".", {"a", "b"}},
        {"/pub/soft", "/", {"", "pub", "soft"}},
        {"//pub", "/", {"", "", "pub"}},
        {"/", "/", {""}},
        {"a..b", ".", {"a", "", "b"}},
        {"1,234,567", ",", {"1", "234", "567"}},
        // UTF-8 names split at the byte, since no ASCII byte sits inside a character.
        {"文件夹/报告.txt", "/", {"文件夹", "报告.txt"}},
        // GBK: the trail byte of 0x81 0x5C is not a backslash.
        {std::string("a\\\x81\x5C\\b"), "\\", {"a", std::string("\x81\x5C"), "b"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toolkit::Split(c.text, c.separator), c.pieces) << "text: " << c.text;
    }
}

TEST(ToolkitText, ToIntegerTakesSignAndLeadingDigitsOnly) {
    const std::pair<std::string, std::int64_t> cases[] = {
        {"21", 21},
        {"  2121", 2121},
        {"-5", -5},
        {"+7", 7},
        {"abc", 0},
        {"", 0},
        {"12abc", 12},
        {"  -", 0},
        {"1 2", 1},
        {"0021", 21},
        {"99999999999999999999999", INT64_MAX},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(toolkit::ToInteger(text), value) << text;
}

TEST(ToolkitText, DateTimeTextDropsTrailingZeroParts) {
    const std::pair<DateTime, std::string> cases[] = {
        {{2024, 3, 5, 8, 3, 7}, "2024年3月5日8时3分7秒"}, {{2024, 3, 5, 10, 20, 0}, "2024年3月5日10时20分"},
        {{2024, 3, 5, 10, 0, 0}, "2024年3月5日10时"},     {{2024, 3, 5, 0, 0, 0}, "2024年3月5日"},
        {{2024, 3, 5, 0, 0, 9}, "2024年3月5日0时0分9秒"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(toolkit::DateTimeToText(value), text);
        const auto back = toolkit::TextToDateTime(text);
        ASSERT_TRUE(back.has_value()) << text;
        EXPECT_EQ(*back, value) << text;
    }
}

TEST(ToolkitText, TextToDateTimeRejectsTextsWithoutADate) {
    for (const std::string text : {"", "10:20:30", "2024年", "年月日", "2024年3月"}) {
        EXPECT_FALSE(toolkit::TextToDateTime(text).has_value()) << text;
    }
}

TEST(ToolkitText, DaysSince1899BecomeCalendarDates) {
    const std::pair<double, DateTime> cases[] = {
        {0.0, {1899, 12, 30, 0, 0, 0}},
        {25569.0, {1970, 1, 1, 0, 0, 0}},
        {45356.5, {2024, 3, 5, 12, 0, 0}},
        {45356.0 + (8 * 3600 + 3 * 60 + 7) / 86400.0, {2024, 3, 5, 8, 3, 7}},
        {36526.0, {2000, 1, 1, 0, 0, 0}},
        {36585.0, {2000, 2, 29, 0, 0, 0}},
        // Before 1900 the fraction is still the time of the day named by the
        // whole part.
        {-1.25, {1899, 12, 29, 6, 0, 0}},
        {-0.25, {1899, 12, 30, 6, 0, 0}},
        {-1.0, {1899, 12, 29, 0, 0, 0}},
        {-2.5, {1899, 12, 28, 12, 0, 0}},
        {-36522.75, {1800, 1, 1, 18, 0, 0}},
        {-1.0 - (23 * 3600 + 59 * 60 + 59) / 86400.0, {1899, 12, 29, 23, 59, 59}},
    };
    for (const auto& [days, value] : cases) {
        const auto got = toolkit::DateTimeFromDays(days);
        ASSERT_TRUE(got.has_value()) << days;
        EXPECT_EQ(*got, value) << days;
    }
    EXPECT_FALSE(toolkit::DateTimeFromDays(std::numeric_limits<double>::quiet_NaN()).has_value());
    EXPECT_FALSE(toolkit::DateTimeFromDays(1e300).has_value());
}

TEST(ToolkitText, GbkNamesBecomeUtf8WithEveryUndecodableByteEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc.txt", "abc.txt"},
        {"", ""},
        {"\xD6\xD0\xCE\xC4", "中文"},
        {"\xB1\xA8\xB8\xE6 2024.txt", "报告 2024.txt"},
        // A lead byte cut off at the end, or followed by a byte that cannot
        // trail it.
        {"\xD6\xD0\xCE", "中%CE"},
        {"\xCE.txt", "%CE.txt"},
        {"a\xFF"
         "b",
         "a%FFb"},
        {"bad\xFF\xFE.txt", "bad%FF%FE.txt"},
        // "%" itself stays as it is.
        {"100%.txt", "100%.txt"},
    };
    for (const auto& [gbk, utf8] : cases) {
        EXPECT_EQ(toolkit::GbkToUtf8Escaped(gbk), utf8) << gbk;
    }
    // Whatever the bytes, the result is valid UTF-8.
    std::uint32_t seed = 12345;
    for (int i = 0; i < 2000; ++i) {
        std::string bytes;
        for (int n = 0; n < 1 + i % 13; ++n) {
            seed = seed * 1103515245u + 12345u;
            bytes += static_cast<char>(seed >> 24);
        }
        EXPECT_TRUE(toolkit::IsValidUtf8(toolkit::GbkToUtf8Escaped(bytes))) << bytes;
    }
}

TEST(ToolkitText, Utf8CheckAndGbkDecoding) {
    EXPECT_TRUE(toolkit::IsValidUtf8("plain"));
    EXPECT_TRUE(toolkit::IsValidUtf8("中文"));
    EXPECT_FALSE(toolkit::IsValidUtf8("\xD6\xD0\xCE\xC4"));  // 中文 in GBK
    EXPECT_FALSE(toolkit::IsValidUtf8("\xE4\xB8"));          // cut character
    EXPECT_FALSE(toolkit::IsValidUtf8("\xC0\xAF"));          // overlong "/"
    EXPECT_EQ(toolkit::GbkToUtf8("\xD6\xD0\xCE\xC4"), "中文");
    EXPECT_EQ(toolkit::GbkToUtf8("abc"), "abc");
    // A lone lead byte at the end cannot decode; the rest still shows.
    const std::string broken = toolkit::GbkToUtf8("\xD6\xD0\xCE");
    EXPECT_TRUE(toolkit::IsValidUtf8(broken));
    EXPECT_EQ(broken.substr(0, 3), "中");
    EXPECT_EQ(toolkit::Utf8Lossy("a\xFF"
                                 "b"),
              "a\xEF\xBF\xBD"
              "b");
}

}  // namespace

TEST(ToolkitText, Utf8NamesBecomeGbkOrNothing) {
    const struct {
        std::string utf8;
        std::optional<std::string> gbk;
    } cases[] = {
        {"abc.txt", "abc.txt"},
        {"", ""},
        {"中文", "\xD6\xD0\xCE\xC4"},
        {"报告 2024.txt", "\xB1\xA8\xB8\xE6 2024.txt"},
        {"空文件.dat", "\xBF\xD5\xCE\xC4\xBC\xFE.dat"},
        // GBK has no code for these: the name is refused, never approximated.
        {"emoji\xF0\x9F\x98\x80.txt", std::nullopt},
        {"\xEA\xB0\x80", std::nullopt},  // a Hangul syllable outside GBK
        // Not UTF-8 to begin with.
        {"\xD6\xD0\xCE\xC4", std::nullopt},
        {"a\xFF", std::nullopt},
        {"\xE4\xB8", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toolkit::Utf8ToGbk(c.utf8), c.gbk) << c.utf8;
        // What converts reads back as the same name.
        if (c.gbk) {
            EXPECT_EQ(toolkit::GbkToUtf8(*c.gbk), c.utf8) << c.utf8;
        }
    }
    // Long names convert whole (the converter works in pieces).
    std::string longName;
    for (int i = 0; i < 500; ++i) longName += "中";
    const auto converted = toolkit::Utf8ToGbk(longName);
    ASSERT_TRUE(converted.has_value());
    EXPECT_EQ(converted->size(), 1000u);
    EXPECT_EQ(toolkit::GbkToUtf8(*converted), longName);
}

// Texts far longer than the converter's working buffer, shifted so that each
// character is cut by the buffer's end at every one of its byte positions.
TEST(ToolkitText, LongGbkTextDecodesWholeAcrossEveryBufferBoundary) {
    std::string gbk;
    std::string utf8;
    for (int i = 0; i < 150; ++i) {
        gbk += "\xD6\xD0\xCE\xC4\xB1\xA8\xB8\xE6";  // 中文报告
        utf8 += "中文报告";
    }
    for (std::size_t shift = 0; shift < 6; ++shift) {
        const std::string lead(shift, 'a');
        EXPECT_EQ(toolkit::GbkToUtf8(lead + gbk + "z"), lead + utf8 + "z") << shift;
        EXPECT_EQ(toolkit::GbkToUtf8Escaped(lead + gbk), lead + utf8) << shift;
        EXPECT_EQ(toolkit::Utf8ToGbk(lead + utf8).value_or(""), lead + gbk) << shift;
        EXPECT_EQ(toolkit::GbkToUtf8(lead + gbk).find("\xEF\xBF\xBD"), std::string::npos) << shift;
    }
}

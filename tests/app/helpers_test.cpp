// The text helpers of the views and the log: sizes, types, icons, parent
// paths and clock texts.
#include <gtest/gtest.h>

#include "app/list_texts.h"
#include "app/local_view.h"
#include "app/quick_connect.h"
#include "app/remote_view.h"
#include "app/session_log.h"

namespace {

TEST(RemoteViewText, FormatGroupedSizePutsCommasBetweenGroupsOfThree) {
    const std::pair<std::int64_t, std::string> cases[] = {
        {0, "0"},
        {999, "999"},
        {1000, "1,000"},
        {1234567, "1,234,567"},
        {2147483648LL, "2,147,483,648"},
        {100000, "100,000"},
        {-1, "-1"},
        {-123, "-123"},  // no comma right after the sign
        {-123456, "-123,456"},
        {5368709120LL, "5,368,709,120"},
    };
    for (const auto& [size, text] : cases) EXPECT_EQ(app::FormatGroupedSize(size), text) << size;
}

TEST(RemoteViewText, FileTypeTextIsTheLastPieceAfterADot) {
    const std::pair<std::string, std::string> cases[] = {
        {"a.tar.gz", "gz"},        {"readme", "文件"}, {".profile", "profile"},
        {"readme.", "文件"},       {"a.b.", "b"},      {"A.ZIP", "ZIP"},
        {"报告.文件夹", "文件夹"}, {"", "文件"},       {"setup.EXE", "EXE"},
    };
    for (const auto& [name, type] : cases) EXPECT_EQ(app::FileTypeText(name), type) << name;
}

TEST(RemoteViewText, IconForTypeComparesExactly) {
    const std::pair<std::string, int> cases[] = {
        {"exe", 3}, {"txt", 7},  {"avi", 0},  {"rmvb", 0}, {"zip", 6},  {"rar", 6},
        {"7z", 6},  {"jpg", 10}, {"png", 10}, {"ico", 10}, {"bmp", 10}, {"gif", 10},
        {"dll", 4}, {"EXE", 5},  {"文件", 5}, {"gz", 5},   {"", 5},     {"Jpg", 5},
    };
    for (const auto& [type, icon] : cases) EXPECT_EQ(app::IconForType(type), icon) << type;
}

TEST(RemoteViewText, RemoteParentPathDropsTheLastPieceAndStopsAtTheRoot) {
    const std::pair<std::string, std::string> cases[] = {
        {"/pub/soft", "/pub"}, {"pub/soft", "pub"}, {"/pub", "/"},
        {"//pub", "/"},        {"/", "/"},          {"", ""},
        {"pub", ""},           {"/a/b/", "/a"},     {"//pub/x", "//pub"},
    };
    for (const auto& [path, parent] : cases) EXPECT_EQ(app::RemoteParentPath(path), parent) << path;
}

TEST(LocalViewText, LocalParentPathStopsAtTheRoot) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a/b", "/a"},
        {"/a", "/"},
        {"/", "/"},
        {"/a/b/", "/a"},
        {"//etc", "/"},
        {"rel", "rel"},
        {"/home/用户/文件夹", "/home/用户"},
    };
    for (const auto& [path, parent] : cases) EXPECT_EQ(app::LocalParentPath(path), parent) << path;
    EXPECT_EQ(app::LocalChildPath("/", "etc"), "/etc");
    EXPECT_EQ(app::LocalChildPath("/home", "u"), "/home/u");
    // A folder text ending in the separator keeps it, as typed.
    EXPECT_EQ(app::LocalChildPath("/home/", "u"), "/home//u");
}

TEST(SessionLogText, ClockTextHasNoLeadingZerosAndMissingPartsAreZero) {
    const std::pair<std::string, std::string> cases[] = {
        {"2024年3月5日8时3分7秒", "8:3:7"},
        {"2024年3月5日10时20分", "10:20:0"},
        {"2024年3月5日10时", "10:0:0"},
        {"2024年3月5日", "0:0:0"},
        {"2024年12月31日23时59分59秒", "23:59:59"},
        {"garbage", "0:0:0"},
        {"", "0:0:0"},
    };
    for (const auto& [text, clock] : cases) EXPECT_EQ(app::ClockText(text, true), clock) << text;
    EXPECT_EQ(app::ClockTextOf({2024, 1, 1, 9, 5, 30}), "9:5:30");
}

TEST(SessionLogText, ControlBytesShowAsHexSoOneLineStaysOneLine) {
    const struct {
        const char* line;
        const char* shown;
    } cases[] = {
        {"", ""},
        {"12:0:1 跳过本地文件/a/坏名.txt", "12:0:1 跳过本地文件/a/坏名.txt"},
        {"nl\nDELE x", "nl%0ADELE x"},
        {"cr\rRMD y", "cr%0DRMD y"},
        {"tab\tdel\x7f", "tab%09del%7F"},
        {"\x1b[31mred", "%1B[31mred"},
        {"100% done", "100% done"},
        {"\xD6\xD0", "\xD6\xD0"},
    };
    for (const auto& c : cases) EXPECT_EQ(app::PrintableLine(c.line), c.shown) << c.line;
}

TEST(QuickConnectText, PortTextBecomesANumberFrom1To65535OrZeroWithoutDigits) {
    const std::pair<std::string, std::optional<int>> cases[] = {
        {"21", 21},
        {"", 0},
        {"abc", 0},
        {"-", 0},
        {" 2121", 2121},
        {"21x", 21},
        {"+80", 80},
        {"1", 1},
        {"65535", 65535},
        {"065535", 65535},
        {"-1", std::nullopt},
        {"0", std::nullopt},
        {"65536", std::nullopt},
        {"65557", std::nullopt},
        {"99999", std::nullopt},
        {"99999999999", std::nullopt},
        {"99999999999999999999999", std::nullopt},
    };
    for (const auto& [text, port] : cases) EXPECT_EQ(app::PortFromText(text), port) << text;
}

}  // namespace

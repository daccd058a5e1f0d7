// Settings file and file-system operations of the toolkit.
#include "toolkit/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace {

const char* const kSection = "配置项";
const char* const kKey = "上次路径";

TEST(ToolkitSettings, ReadGivesTheDefaultWhenFileSectionOrKeyIsMissing) {
    testsupport::TempDir dir;
    const std::string file = dir.file("配置文件.ini");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, "/home"), "/home");
    testsupport::WriteFile(file, "[其他]\n上次路径=/x\n");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, "/home"), "/home");
    testsupport::WriteFile(file, "[配置项]\n别的=/x\n");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, "/home"), "/home");
}

TEST(ToolkitSettings, WriteCreatesTheFileAndKeepsOtherLines) {
    testsupport::TempDir dir;
    const std::string file = dir.file("配置文件.ini");
    ASSERT_TRUE(toolkit::WriteSetting(file, kSection, kKey, "/tmp/文件夹 a"));
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, ""), "/tmp/文件夹 a");
    EXPECT_EQ(*testsupport::ReadFile(file), "[配置项]\n上次路径=/tmp/文件夹 a\n");

    testsupport::WriteFile(file, "; note\n[其他]\nk=v\n[配置项]\n上次路径=/old\n别的=1\n");
    ASSERT_TRUE(toolkit::WriteSetting(file, kSection, kKey, "/new"));
    EXPECT_EQ(*testsupport::ReadFile(file), "; note\n[其他]\nk=v\n[配置项]\n上次路径=/new\n别的=1\n");
    ASSERT_TRUE(toolkit::WriteSetting(file, "新节", "键", "值"));
    EXPECT_EQ(toolkit::ReadSetting(file, "新节", "键", ""), "值");
    EXPECT_EQ(toolkit::ReadSetting(file, "其他", "k", ""), "v");
}

TEST(ToolkitSettings, ValuesAreCutAt10239BytesAndGarbageIsTolerated) {
    testsupport::TempDir dir;
    const std::string file = dir.file("s.ini");
    testsupport::WriteFile(file, "[配置项]\n上次路径=" + std::string(20000, 'x') + "\n");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, "").size(), 10239u);

    std::string garbage;
    for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 131) % 256);
    testsupport::WriteFile(file, garbage);
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, "/first"), "/first");

    testsupport::WriteFile(file, std::string("[配置项]\n上次路径=/a") + '\0' + "/b\n");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, ""), "/a");
}

TEST(ToolkitSettings, EmptyNamesReadNothingAndLineBreaksAreNotWritten) {
    testsupport::TempDir dir;
    const std::string file = dir.file("s.ini");
    ASSERT_TRUE(toolkit::WriteSetting(file, kSection, kKey, "/a"));
    EXPECT_EQ(toolkit::ReadSetting("", kSection, kKey, "d"), "");
    EXPECT_EQ(toolkit::ReadSetting(file, " \t", kKey, "d"), "");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, "", "d"), "");
    EXPECT_FALSE(toolkit::WriteSetting(file, kSection, kKey, "/a\n[配置项]"));
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, ""), "/a");
    EXPECT_FALSE(toolkit::WriteSetting(dir.file("missing/s.ini"), kSection, kKey, "/a"));
}

TEST(ToolkitFiles, AttributesEnumerationAndSizes) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("a.txt"), "12345");
    testsupport::WriteFile(dir.file(".hidden"), "");
    dir.subdir("sub.dir");
    mkfifo(dir.file("pipe").c_str(), 0600);

    EXPECT_EQ(toolkit::FileAttributes(dir.file("a.txt")), toolkit::kAttrArchive);
    EXPECT_EQ(toolkit::FileAttributes(dir.file(".hidden")), toolkit::kAttrArchive | toolkit::kAttrHidden);
    EXPECT_EQ(toolkit::FileAttributes(dir.file("sub.dir")), toolkit::kAttrDirectory);
    EXPECT_EQ(toolkit::FileAttributes(dir.file("none")), -1);
    EXPECT_EQ(toolkit::FileSize(dir.file("a.txt")), 5);
    EXPECT_EQ(toolkit::FileSize(dir.file("none")), -1);

    auto names = toolkit::EnumerateDirectory(dir.path(), toolkit::kAttrMask);
    std::sort(names.begin(), names.end());
    // A named pipe has none of the bits and is left out, as a "normal" file.
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".hidden", "a.txt", "sub.dir"}));
    names = toolkit::EnumerateDirectory(dir.path(), toolkit::kAttrDirectory);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "sub.dir"}));
    EXPECT_TRUE(toolkit::EnumerateDirectory(dir.file("none"), toolkit::kAttrMask).empty());

    EXPECT_TRUE(toolkit::CreateDirectory(dir.file("new")));
    EXPECT_FALSE(toolkit::CreateDirectory(dir.file("new")));
    EXPECT_FALSE(toolkit::CreateDirectory(dir.file("x/y")));
}

TEST(ToolkitFiles, AFolderEnumeratesInNameOrderWithoutRegardToCase) {
    testsupport::TempDir dir("qftp-order");
    // Letters compare as upper case, so "_" comes after them; then shorter
    // first; non-ASCII names by their bytes, after ASCII.
    const std::vector<std::string> expected = {
        ".",     "..",     "1.txt",  "10.txt",    "2.txt", "a",     "A.txt", "ab",
        "B.txt", "b.txt2", "readme", "README.md", "Zeta",  "zeta2", "_u",    "报告.txt",
    };
    // Created in an order that is neither the expected one nor its reverse.
    const std::size_t names = expected.size() - 2;
    for (std::size_t k = 0; k < names; ++k) {
        const std::string& name = expected[2 + (k * 5) % names];
        if (!testsupport::WriteFile(dir.file(name), "x")) ADD_FAILURE() << name;
    }
    EXPECT_EQ(toolkit::EnumerateDirectory(dir.path(), toolkit::kAttrMask), expected);
}

TEST(ToolkitFiles, DriveListStartsWithHomeThenRoot) {
    const auto drives = toolkit::DriveList();
    ASSERT_GE(drives.size(), 1u);
    const char* home = std::getenv("HOME");
    if (home != nullptr && std::string(home) != "/") {
        ASSERT_GE(drives.size(), 2u);
        EXPECT_EQ(drives[0], home);
        EXPECT_EQ(drives[1], "/");
    }
    EXPECT_FALSE(toolkit::ProgramFolder().empty());
    EXPECT_NE(toolkit::ProgramFolder().back(), '/');
}

}  // namespace

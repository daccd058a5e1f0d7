// Settings file and file-system operations of the toolkit.
#include "toolkit/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

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
    // The key only in a later section is that section's, not ours.
    testsupport::WriteFile(file, "[配置项]\n别的=/x\n[其他]\n上次路径=/y\n");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, "/home"), "/home");
    testsupport::WriteFile(file, "[其他]\n上次路径=/y\n[配置项]\n上次路径=/z\n[其他]\n上次路径=/w\n");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, kKey, "/home"), "/z");
}

// A settings file larger than the reader takes would lose its tail if it
// were written back from what was read: it is left as it is.
TEST(ToolkitSettings, AFileTooLargeToReadWholeIsNeverWritten) {
    testsupport::TempDir dir;
    const std::string file = dir.file("配置文件.ini");
    std::string big = "[配置项]\n上次路径=/old\n[大]\n";
    while (big.size() <= (std::size_t{1} << 20)) big += "k=" + std::string(100, 'v') + "\n";
    big += "[尾]\n最后=1\n";
    testsupport::WriteFile(file, big);
    EXPECT_FALSE(toolkit::WriteSetting(file, kSection, kKey, "/new"));
    EXPECT_EQ(testsupport::ReadFile(file).value_or(""), big);
    // Just under the limit it is written whole.
    std::string fits = "[配置项]\n上次路径=/old\n";
    fits += std::string((std::size_t{1} << 20) - fits.size() - 8, ';') + "\n[尾]\n";
    testsupport::WriteFile(file, fits);
    ASSERT_TRUE(toolkit::WriteSetting(file, kSection, kKey, "/new"));
    EXPECT_EQ(toolkit::ReadSetting(file, "尾", "x", "kept"), "kept");
    EXPECT_NE(testsupport::ReadFile(file).value_or("").find("\n[尾]\n"), std::string::npos);
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

// Sets an environment variable for one scope (nullopt: unset).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(ToolkitSettings, SettingsFolderFollowsTheProgramsLayout) {
    // "@" stands for a fresh folder per case. The program sits in @/<prefix>/bin;
    // "installed" puts the desktop entry where the install rules put it.
    struct Case {
        const char* what;
        const char* prefix;
        std::optional<std::string> xdgConfigHome;
        const char* home;
        const char* expected;  // "" for the program folder itself
        bool installed;
        bool expectCreated;
    };
    const Case cases[] = {
        {"build folder", "build", std::nullopt, "@/home", "", false, true},
        {"build folder ignores XDG", "build", "@/xdg", "@/home", "", false, true},
        {"installed, default folder", "usr", std::nullopt, "@/home", "@/home/.config/quorvel-ftp", true,
         true},
        {"installed, XDG with missing parents", "usr", "@/xdg/a/b", "@/home", "@/xdg/a/b/quorvel-ftp", true,
         true},
        {"installed, relative XDG is ignored", "usr", "relative/cfg", "@/home", "@/home/.config/quorvel-ftp",
         true, true},
        {"installed, empty XDG is ignored", "usr", "", "@/home", "@/home/.config/quorvel-ftp", true, true},
        {"prefix with blanks and Chinese", "opt/我的 程序", std::nullopt, "@/home",
         "@/home/.config/quorvel-ftp", true, true},
        {"missing home is not created", "usr", std::nullopt, "@/no-home", "@/no-home/.config/quorvel-ftp",
         true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDir root;
        auto at = [&](const std::string& text) {
            return text.empty() || text[0] != '@' ? text : root.Path() + text.substr(1);
        };
        const std::string program = root.Subdir(std::string(c.prefix) + "/bin");
        if (c.installed) {
            ASSERT_TRUE(testsupport::WriteFile(
                root.file(std::string(c.prefix) + "/share/applications/quorvel-ftp.desktop"),
                "[Desktop Entry]\n"));
        }
        if (std::string(c.home) == "@/home") root.Subdir("home");
        ScopedEnv home("HOME", at(c.home));
        ScopedEnv xdg("XDG_CONFIG_HOME",
                      c.xdgConfigHome ? std::optional(at(*c.xdgConfigHome)) : std::nullopt);

        const std::string folder = toolkit::SettingsFolderFor(program);
        const std::string expected = *c.expected ? at(c.expected) : program;
        EXPECT_EQ(folder, expected);
        struct stat st {};
        EXPECT_EQ(stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode), c.expectCreated);
        if (c.expectCreated && *c.expected) {
            EXPECT_EQ(st.st_mode & 0777, 0700u);
        }
        // Where the folder could not be made, saving fails and says nothing.
        EXPECT_EQ(toolkit::WriteSetting(folder + "/配置文件.ini", kSection, kKey, "/x"), c.expectCreated);
        EXPECT_NE(access(at("@/no-home").c_str(), F_OK), 0);
    }
}

TEST(ToolkitSettings, UnwritableProgramFolderSendsTheSettingsToTheConfigFolder) {
    if (geteuid() == 0) GTEST_SKIP() << "root may write into any folder";
    testsupport::TempDir root;
    const std::string program = root.Subdir("bin");
    ASSERT_EQ(chmod(program.c_str(), 0555), 0);
    ScopedEnv home("HOME", root.Subdir("home"));
    ScopedEnv xdg("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(toolkit::SettingsFolderFor(program), root.file("home/.config/quorvel-ftp"));
    chmod(program.c_str(), 0755);
}

// Names the file cannot hold as they are are refused and the file stays as it
// was. A key starting with a bracket was once written and reported written,
// but its line read back as a section line, so the key was lost and the keys
// after it in that section moved to a section of that name (found by fuzzing).
TEST(ToolkitSettings, NamesThatWouldReadBackAsSomethingElseAreNotWritten) {
    const struct {
        const char* section;
        const char* key;
    } cases[] = {
        {"配置项", "[其例"},     {"配置项", " [x]"}, {"配置项", "a=b"},
        {"配置项]", "上次路径"}, {"配置项", "a\rb"}, {"配置\n项", "上次路径"},
    };
    testsupport::TempDir dir;
    const std::string file = dir.file("s.ini");
    const std::string before = "[配置项]\n上次路径=/a\n别的=1\n";
    for (const auto& c : cases) {
        testsupport::WriteFile(file, before);
        EXPECT_FALSE(toolkit::WriteSetting(file, c.section, c.key, "v]")) << c.section << " " << c.key;
        EXPECT_EQ(*testsupport::ReadFile(file), before) << c.key;
        EXPECT_EQ(toolkit::ReadSetting(file, kSection, "别的", ""), "1") << c.key;
    }
    // A bracket inside a key or anywhere in a value is harmless.
    testsupport::WriteFile(file, before);
    ASSERT_TRUE(toolkit::WriteSetting(file, kSection, "a[b]", "[v]"));
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, "a[b]", ""), "[v]");
    EXPECT_EQ(toolkit::ReadSetting(file, kSection, "别的", ""), "1");
}

TEST(ToolkitFiles, AttributesEnumerationAndSizes) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("a.txt"), "12345");
    testsupport::WriteFile(dir.file(".hidden"), "");
    dir.Subdir("sub.dir");
    mkfifo(dir.file("pipe").c_str(), 0600);

    EXPECT_EQ(toolkit::FileAttributes(dir.file("a.txt")), toolkit::kAttrArchive);
    EXPECT_EQ(toolkit::FileAttributes(dir.file(".hidden")), toolkit::kAttrArchive | toolkit::kAttrHidden);
    EXPECT_EQ(toolkit::FileAttributes(dir.file("sub.dir")), toolkit::kAttrDirectory);
    EXPECT_EQ(toolkit::FileAttributes(dir.file("none")), -1);
    EXPECT_EQ(toolkit::FileSize(dir.file("a.txt")), 5);
    EXPECT_EQ(toolkit::FileSize(dir.file("none")), -1);

    auto names = toolkit::EnumerateDirectory(dir.Path(), toolkit::kAttrMask);
    std::sort(names.begin(), names.end());
    // A named pipe has none of the bits and is left out, as a "normal" file.
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", ".hidden", "a.txt", "sub.dir"}));
    names = toolkit::EnumerateDirectory(dir.Path(), toolkit::kAttrDirectory);
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
    EXPECT_EQ(toolkit::EnumerateDirectory(dir.Path(), toolkit::kAttrMask), expected);
}

TEST(ToolkitFiles, EntryKindsAndCanonicalPathsSeeLinksForWhatTheyAre) {
    testsupport::TempDir dir;
    const std::string root = toolkit::CanonicalPath(dir.Path());
    ASSERT_FALSE(root.empty());
    ASSERT_TRUE(testsupport::WriteFile(root + "/目录 一/f.txt", "f"));
    ASSERT_EQ(::symlink("目录 一/f.txt", (root + "/to-file").c_str()), 0);
    ASSERT_EQ(::symlink("目录 一", (root + "/to-folder").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(::symlink("loop-b", (root + "/loop-a").c_str()), 0);
    ASSERT_EQ(::symlink("loop-a", (root + "/loop-b").c_str()), 0);
    ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);
    const struct {
        const char* name;
        toolkit::EntryKind kind;
        std::string canonical;
        bool loop;
    } cases[] = {
        {"目录 一", toolkit::EntryKind::Folder, root + "/目录 一", false},
        {"目录 一/f.txt", toolkit::EntryKind::File, root + "/目录 一/f.txt", false},
        {"目录 一/../目录 一/./f.txt", toolkit::EntryKind::File, root + "/目录 一/f.txt", false},
        {"to-file", toolkit::EntryKind::Link, root + "/目录 一/f.txt", false},
        {"to-folder", toolkit::EntryKind::Link, root + "/目录 一", false},
        {"to-folder/f.txt", toolkit::EntryKind::File, root + "/目录 一/f.txt", false},
        {"dangling", toolkit::EntryKind::Link, "", false},
        {"loop-a", toolkit::EntryKind::Link, "", true},
        {"fifo", toolkit::EntryKind::Other, root + "/fifo", false},
        {"missing", toolkit::EntryKind::Missing, "", false},
    };
    for (const auto& c : cases) {
        const std::string path = root + "/" + c.name;
        EXPECT_EQ(toolkit::EntryKindOf(path), c.kind) << c.name;
        bool loop = !c.loop;
        EXPECT_EQ(toolkit::CanonicalPath(path, &loop), c.canonical) << c.name;
        EXPECT_EQ(loop, c.loop) << c.name;
    }
    EXPECT_EQ(toolkit::EntryKindOf(""), toolkit::EntryKind::Missing);
    EXPECT_TRUE(toolkit::CanListFolder(root + "/目录 一"));
    EXPECT_TRUE(toolkit::CanListFolder(root + "/to-folder"));
    EXPECT_FALSE(toolkit::CanListFolder(root + "/目录 一/f.txt"));
    EXPECT_FALSE(toolkit::CanListFolder(root + "/missing"));
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

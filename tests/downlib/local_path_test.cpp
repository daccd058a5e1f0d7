// Local folders of a download below the chosen folder: created one level at
// a time, never through a symbolic link below the chosen folder.
#include "downlib/local_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "downlib/ftp_engine.h"
#include "support/temp_dir.h"

namespace downlib {
namespace {

bool IsFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

TEST(LocalPath, FoldersAreCreatedOnlyBelowTheChosenFolderAndNeverThroughALink) {
    // The chosen folder has a parent of its own: a folder that escapes it
    // lands there, where no other run and no other test puts anything.
    testsupport::TempDir parent;
    testsupport::TempDir outside;
    const std::string base = parent.Subdir("chosen");
    ASSERT_TRUE(IsFolder(base));
    const auto inChosen = [&](const std::string& relative) { return base + "/" + relative; };
    ASSERT_EQ(::symlink(outside.Path().c_str(), inChosen("planted").c_str()), 0);
    ASSERT_EQ(::mkdir(inChosen("have").c_str(), 0755), 0);
    const struct {
        std::string folder;
        bool created;
        std::string check;  // where the folder must (or must not) appear
    } cases[] = {
        {base + "/new", true, inChosen("new")},
        {base + "/have/inner", true, inChosen("have/inner")},
        {base + "/have/inner/", false, ""},  // exists by now
        {base + "/have", false, ""},         // exists already
        {base + "/missing/inner", false, inChosen("missing")},
        {base + "/planted/x", false, outside.file("x")},  // the link is not followed
        {base + "/planted", false, ""},                   // a link where the folder goes
        {base + "/../escaped", false, parent.file("escaped")},
        {base + "/have/../up", false, inChosen("up")},
        {base + "/./dot", false, inChosen("dot")},
        {base + "//double", true, inChosen("double")},  // a doubled separator is one
        {outside.file("elsewhere"), false, outside.file("elsewhere")},
        {base, false, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CreateLocalFolderBelow(base, c.folder), c.created) << c.folder;
        if (!c.check.empty()) {
            EXPECT_EQ(IsFolder(c.check), c.created) << c.folder;
        }
    }
    // The chosen folder may be named through a link of the user's own.
    const std::string named = outside.file("to-chosen");
    ASSERT_EQ(::symlink(base.c_str(), named.c_str()), 0);
    EXPECT_TRUE(CreateLocalFolderBelow(named + "/", named + "/via-link"));
    EXPECT_TRUE(IsFolder(inChosen("via-link")));
}

TEST(LocalPath, TargetsNameTheirFolderAndFile) {
    testsupport::TempDir chosen;
    ASSERT_EQ(::mkdir(chosen.file("d").c_str(), 0755), 0);
    std::optional<LocalTarget> below = OpenLocalTarget(chosen.Path(), chosen.file("d/f.bin"));
    ASSERT_TRUE(below.has_value());
    EXPECT_EQ(below->name, "f.bin");
    EXPECT_FALSE(ExistsIn(*below, "f.bin"));
    std::optional<LocalTarget> plain = OpenLocalTarget("", chosen.file("d/f.bin"));
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->name, "f.bin");
    for (const std::string& bad : {chosen.file("d/"), chosen.file("d/.."), chosen.Path()})
        EXPECT_FALSE(OpenLocalTarget(chosen.Path(), bad).has_value()) << bad;
    EXPECT_FALSE(OpenLocalTarget("", chosen.file("d/..")).has_value());
}

}  // namespace
}  // namespace downlib

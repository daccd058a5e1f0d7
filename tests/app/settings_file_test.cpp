// The parallel row count as the settings file gives it: a hand-edited file
// may hold anything, and the program must still run with a sound count.
#include "app/settings_file.h"

#include <gtest/gtest.h>

#include "app_fixture.h"
#include "support/temp_dir.h"

namespace {

using SettingsFileTest = apptest::AppTest;

TEST_F(SettingsFileTest, ParallelRowsComeFromTheFileWithinOneToTen) {
    struct Case {
        const char* content;
        int rows;
        bool problem;
    };
    const Case cases[] = {
        {"", 3, false},
        {"[配置项]\n上次路径=/tmp\n", 3, false},
        {"[配置项]\n同时传输数=1\n", 1, false},
        {"[配置项]\n同时传输数=10\n", 10, false},
        {"[配置项]\n同时传输数=0\n", 3, true},
        {"[配置项]\n同时传输数=11\n", 3, true},
        {"[配置项]\n同时传输数=-2\n", 3, true},
        {"[配置项]\n同时传输数=3x\n", 3, true},
        {"[配置项]\n同时传输数=99999999999999999999\n", 3, true},
        {"[别的]\n同时传输数=5\n", 3, false},
    };
    for (const Case& c : cases) {
        testsupport::WriteFile(app->settingsFile, c.content);
        std::string problem;
        EXPECT_EQ(app::ReadParallelRows(*app, problem), c.rows) << c.content;
        EXPECT_EQ(!problem.empty(), c.problem) << c.content << problem;
    }
}

}  // namespace

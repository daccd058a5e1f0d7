// quorvel-ftp-cli mput against the fake server: a local tree arrives whole
// with one and with several files at once, every folder made before a file
// is sent into it, folders that exist already, and what is left out.
#include "tools/cli_mput.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/fake_ftp_server.h"
#include "support/temp_dir.h"

namespace {

using testsupport::FakeFtpServer;
using testsupport::ProcessResult;
using testsupport::TempDir;

ProcessResult Mput(std::uint16_t port, const std::string& words) {
    testsupport::RunOptions options;
    options.timeout = std::chrono::seconds(120);
    return testsupport::RunCli(
        {"-u", "u", "-p", "p", "-P", std::to_string(port), "-t", "10000", "-c", "mput " + words, "127.0.0.1"},
        options);
}

// The local tree: src/{c, d, sub/{a, deep/b}} with distinct contents.
const std::vector<std::pair<std::string, std::string>>& TreeFiles() {
    static const std::vector<std::pair<std::string, std::string>> files = {
        {"src/c", testsupport::PatternBytes(0, 7000, 1)},
        {"src/d", ""},
        {"src/sub/a", testsupport::PatternBytes(0, 70000, 2)},
        {"src/sub/deep/b", "b"},
    };
    return files;
}

TEST(CliMput, ATreeArrivesWholeWithItsFoldersMadeFirst) {
    for (const char* jobs : {"-j 1 ", "", "-j 4 "}) {
        SCOPED_TRACE(jobs);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddDirectory("/up");
        TempDir local;
        for (const auto& [path, bytes] : TreeFiles()) {
            ASSERT_TRUE(testsupport::MakeDirs(local.file(path.substr(0, path.rfind('/')))));
            ASSERT_TRUE(testsupport::WriteFile(local.file(path), bytes));
        }
        ProcessResult result = Mput(server.port(), std::string(jobs) + "\"" + local.file("src") + "\" /up");
        ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
        EXPECT_EQ(result.out, "4 77001\n");
        for (const auto& [path, bytes] : TreeFiles())
            EXPECT_EQ(server.FileContents("/up/" + path).value_or("<none>"), bytes) << path;
        // No STOR before the MKD of its folder.
        const std::vector<std::string> commands = server.Commands();
        auto at = [&](const std::string& line) {
            return std::find(commands.begin(), commands.end(), line) - commands.begin();
        };
        EXPECT_LT(at("MKD /up/src/sub/deep"), at("STOR /up/src/sub/deep/b")) << server.Transcript();
        EXPECT_LT(at("MKD /up/src/sub"), at("STOR /up/src/sub/a")) << server.Transcript();
        // A second run meets every folder made already: nothing fails.
        ProcessResult again = Mput(server.port(), std::string(jobs) + "\"" + local.file("src") + "\" /up");
        EXPECT_TRUE(again.ExitedWith(0)) << again.Summary();
    }
}

TEST(CliMput, LinksAndOddNamesAreLeftOutAndTheRunFails) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddDirectory("/up");
    TempDir local;
    ASSERT_TRUE(testsupport::MakeDirs(local.file("src")));
    ASSERT_TRUE(testsupport::WriteFile(local.file("src/ok"), "ok"));
    ASSERT_TRUE(testsupport::WriteFile(local.file("src/line\nbreak"), "x"));
    ASSERT_EQ(::symlink("/etc/passwd", local.file("src/link").c_str()), 0);
    ProcessResult result = Mput(server.port(), "\"" + local.file("src") + "\" /up");
    EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
    EXPECT_EQ(result.out, "1 2\n");
    EXPECT_EQ(server.FileContents("/up/src/ok").value_or("<none>"), "ok");
    EXPECT_FALSE(server.FileContents("/up/src/link").has_value());
    EXPECT_NE(result.err.find("src/link: no file or folder"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("control character"), std::string::npos) << result.err;
}

}  // namespace

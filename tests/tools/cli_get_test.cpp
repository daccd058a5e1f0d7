// quorvel-ftp-cli get against real servers: files at the edges of the
// receive block, an empty file, a name with Chinese characters and blanks,
// several gets in one run and failures.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_runner.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace {

using testsupport::ProcessResult;
using testsupport::RealServer;
using testsupport::ServerKind;
using testsupport::TempDir;

class CliGet : public ::testing::TestWithParam<ServerKind> {
protected:
    ProcessResult Get(const std::vector<std::pair<std::string, std::string>>& files) {
        std::vector<std::string> args = {"-u", "getter", "-p", "pw", "-P", std::to_string(server.port()),
                                         "-t", "10000"};
        for (const auto& [remote, localName] : files) {
            args.push_back("-c");
            args.push_back("get \"" + remote + "\" \"" + localName + "\"");
        }
        args.push_back("127.0.0.1");
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(120);
        return testsupport::RunCli(args, options);
    }

    TempDir root;
    TempDir local;
    RealServer server = RealServer::Start(GetParam(), root.Path(), "getter", "pw");
};

TEST_P(CliGet, FilesAtTheBlockEdgesArriveByteIdentical) {
    ASSERT_TRUE(server.ok()) << server.error();
    const std::vector<std::pair<std::string, std::int64_t>> files = {
        {"zero.bin", 0},       {"one.bin", 1},        {"block.bin", 20480},
        {"block1.bin", 20481}, {"ten.bin", 10 << 20}, {"中文 名字 带空格.dat", 33333},
    };
    std::vector<std::pair<std::string, std::string>> gets;
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(testsupport::WritePatternFile(root.file(files[i].first), files[i].second,
                                                  static_cast<std::uint32_t>(i + 1)));
        gets.emplace_back("/" + files[i].first, local.file(files[i].first));
    }
    ProcessResult result = Get(gets);
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    std::vector<std::string> printed = testsupport::SplitLines(result.out);
    ASSERT_EQ(printed.size(), files.size()) << result.out;
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(printed[i], std::to_string(files[i].second)) << files[i].first;
        EXPECT_EQ(testsupport::CompareFiles(root.file(files[i].first), local.file(files[i].first)), "")
            << files[i].first;
    }
    // Each task announces the binary type before its restart probe.
    std::vector<std::string> log = testsupport::SplitLines(result.err);
    auto type = std::find(log.begin(), log.end(), "2 TYPE I");
    auto probe = std::find(log.begin(), log.end(), "1 REST 100");
    EXPECT_LT(type, probe);
    EXPECT_EQ(std::count(log.begin(), log.end(), "3 站点支持断点续传"), static_cast<long>(files.size()))
        << result.err;
}

TEST_P(CliGet, AFolderTargetAndAnExistingFileGetTheirNames) {
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(testsupport::WriteFile(root.file("a.txt"), "new"));
    ASSERT_TRUE(testsupport::WriteFile(local.file("a.txt"), "old"));
    ProcessResult result = Get({{"/a.txt", local.Path() + "/"}, {"/a.txt", local.file("a.txt")}});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_EQ(testsupport::ReadFile(local.file("a.txt")).value_or(""), "old");
    EXPECT_EQ(testsupport::ReadFile(local.file("a(1).txt")).value_or(""), "new");
    EXPECT_EQ(testsupport::ReadFile(local.file("a(2).txt")).value_or(""), "new");
}

TEST_P(CliGet, AMissingFileOrAnUnwritableTargetFails) {
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(testsupport::WriteFile(root.file("here.txt"), "here"));
    ProcessResult missing = Get({{"/nothing.txt", local.file("nothing.txt")}});
    EXPECT_TRUE(missing.ExitedWith(1)) << missing.Summary();
    EXPECT_NE(missing.err.find("3 文件不存在"), std::string::npos) << missing.err;
    EXPECT_EQ(testsupport::FileSize(local.file("nothing.txt")), -1);

    ProcessResult nowhere = Get({{"/here.txt", local.file("no/folder/here.txt")}});
    EXPECT_TRUE(nowhere.ExitedWith(1)) << nowhere.Summary();
    EXPECT_EQ(nowhere.out, "0\n");
}

// A get killed part-way (SIGSTOP once the part file holds 40 %, then
// SIGKILL) leaves only the part file; the next get of the same file proves
// the part (its note, then the last 64 KiB read back with REST and RETR),
// asks for the rest only and ends byte-identical. A remote file that changed
// in between (size or time) is fetched from 0.
TEST_P(CliGet, AKilledGetIsContinuedOnlyWhenTheRemoteFileIsUnchanged) {
    ASSERT_TRUE(server.ok()) << server.error();
    constexpr std::int64_t kSize = std::int64_t{160} << 20;
    const std::string remote = root.file("big.bin");
    const std::string target = local.file("big.bin");
    const std::string part = target + ".quorvel-part";
    struct Case {
        const char* what;
        std::function<void()> change;  // done to the remote file between the runs
        bool continued;
    };
    const std::vector<Case> cases = {
        {"unchanged", [] {}, true},
        {"grown", [&] { ASSERT_TRUE(testsupport::WritePatternFile(remote, kSize + 1, 7)); }, false},
        {"touched",
         [&] {
             struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 0}};
             ASSERT_EQ(::utimensat(AT_FDCWD, remote.c_str(), times, 0), 0);
         },
         false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(testsupport::WritePatternFile(remote, kSize, 7));
        const pid_t pid =
            testsupport::StartCliQuietly({"-u", "getter", "-p", "pw", "-P", std::to_string(server.port()),
                                          "-t", "10000", "-c", "get /big.bin " + target, "127.0.0.1"});
        ASSERT_GT(pid, 0);
        std::int64_t seen = 0;
        for (int i = 0; i < 60000 && seen < kSize * 4 / 10; ++i) {
            seen = std::max<std::int64_t>(testsupport::FileSize(part), 0);
            if (seen < kSize * 4 / 10) std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        ::kill(pid, SIGSTOP);
        seen = testsupport::FileSize(part);
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_GE(seen, kSize * 4 / 10) << c.what;
        ASSERT_LT(seen, kSize) << c.what << ": the download ended before it was stopped";
        EXPECT_EQ(testsupport::FileSize(target), -1) << c.what;

        c.change();
        const std::int64_t kept = testsupport::FileSize(part);
        ProcessResult again = Get({{"/big.bin", target}});
        ASSERT_TRUE(again.ExitedWith(0)) << c.what << "\n" << again.Summary();
        EXPECT_EQ(testsupport::CompareFiles(remote, target), "") << c.what;
        EXPECT_EQ(testsupport::FileSize(part), -1) << c.what;
        const std::vector<std::string> log = testsupport::SplitLines(again.err);
        const bool rest = std::find(log.begin(), log.end(), "1 REST " + std::to_string(kept)) != log.end();
        EXPECT_EQ(rest, c.continued) << c.what << "\n" << again.err;
        ASSERT_EQ(::unlink(target.c_str()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, CliGet, ::testing::ValuesIn(testsupport::AllServerKinds()),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

}  // namespace

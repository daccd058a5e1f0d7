// quorvel-ftp-cli put against real servers: files at the edges of the send
// block (the old 1 KiB and today's 64 KiB), an empty file, a Chinese name with blanks, several puts in one
// run, where the file lands, a resume after a real break, and the failures that must end with exit status 1
// and the server's file left alone.
#include "tools/cli_put.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "downlib/ftp_engine.h"
#include "support/cli_runner.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"
#include "tools/cli_commands.h"

namespace {

using testsupport::ProcessResult;
using testsupport::RealServer;
using testsupport::ServerKind;
using testsupport::TempDir;

bool HasLine(const std::string& text, const std::string& line) {
    std::vector<std::string> lines = testsupport::SplitLines(text);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(CliPutWords, TheTargetIsTheLocalNameInTheCurrentFolderUnlessNamed) {
    struct Case {
        const char* currentDir;
        const char* local;
        const char* remote;
        const char* target;  // "" when none can be made
    } cases[] = {
        {"/", "/tmp/a.bin", "", "/a.bin"},
        {"/pub", "/tmp/a.bin", "", "/pub/a.bin"},
        {"/pub/", "a.bin", "", "/pub/a.bin"},
        {"/pub", "/tmp/a.bin", "b.bin", "/pub/b.bin"},
        {"/pub", "/tmp/a.bin", "in/", "/pub/in/a.bin"},
        {"/pub", "/tmp/a.bin", "/abs/c.bin", "/abs/c.bin"},
        {"", "/tmp/a.bin", "/abs/", "/abs/a.bin"},
        {"", "/tmp/a.bin", "", ""},  // no current folder known
        {"/pub", "/tmp/", "", ""},   // no local name to give it
        {"/pub", "/tmp/..", "", ""},
        {"/pub", "/tmp/..\\x", "", ""},  // climbs where a backslash separates
        {"/pub", "/tmp/a\tb", "in/", ""},
        {"/pub", "/tmp/..\\x", "named", "/pub/named"},
        {"/中文 目录", "/tmp/名 字.txt", "", "/中文 目录/名 字.txt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cli::PutTarget(c.currentDir, c.local, c.remote), c.target)
            << c.currentDir << " | " << c.local << " | " << c.remote;
    }
    const std::pair<std::vector<std::string>, bool> words[] = {
        {{"put", "a"}, true},      {{"put", "-r", "a"}, true},
        {{"put", "a", "b"}, true}, {{"put", "-r", "a", "b"}, true},
        {{"put", "-r"}, false},    {{"put", "a", "b", "c"}, false},
        {{"put", ""}, false},      {{"put", "-r", "", "b"}, false},
    };
    for (const auto& [line, good] : words) {
        EXPECT_EQ(cli::IsPutCommand(line), good) << line.size();
        EXPECT_EQ(cli::IsKnownCommand(line), good) << line.size();
    }
}

class CliPut : public ::testing::TestWithParam<ServerKind> {
protected:
    ProcessResult Cli(const std::vector<std::string>& commands) {
        std::vector<std::string> args = {"-u", "putter", "-p", "pw", "-P", std::to_string(server.port()),
                                         "-t", "10000"};
        for (const std::string& command : commands) {
            args.push_back("-c");
            args.push_back(command);
        }
        args.push_back("127.0.0.1");
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(120);
        return testsupport::RunCli(args, options);
    }
    static std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

    TempDir root;
    TempDir local;
    RealServer server = RealServer::Start(GetParam(), root.Path(), "putter", "pw");
};

TEST_P(CliPut, FilesAtTheBlockEdgesArriveByteIdentical) {
    ASSERT_TRUE(server.ok()) << server.error();
    const std::vector<std::pair<std::string, std::int64_t>> files = {
        {"zero.bin", 0},      {"one.bin", 1},        {"kib.bin", 1024},     {"kib1.bin", 1025},
        {"block.bin", 65536}, {"block1.bin", 65537}, {"ten.bin", 10 << 20}, {"中文 名字 带空格.dat", 33333},
    };
    std::vector<std::string> puts;
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(testsupport::WritePatternFile(local.file(files[i].first), files[i].second,
                                                  static_cast<std::uint32_t>(i + 1)));
        puts.push_back("put " + Quoted(local.file(files[i].first)));
    }
    ProcessResult result = Cli(puts);
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    std::vector<std::string> printed = testsupport::SplitLines(result.out);
    ASSERT_EQ(printed.size(), files.size()) << result.out;
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(printed[i], std::to_string(files[i].second)) << files[i].first;
        EXPECT_EQ(testsupport::CompareFiles(local.file(files[i].first), root.file(files[i].first)), "")
            << files[i].first;
    }
    std::vector<std::string> log = testsupport::SplitLines(result.err);
    EXPECT_EQ(std::count(log.begin(), log.end(), "0 开始发送数据"), static_cast<long>(files.size()))
        << result.err;
}

TEST_P(CliPut, TheFileLandsInTheCurrentFolderOrWhereNamed) {
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(testsupport::MakeDirs(root.file("sub/in")));
    ASSERT_TRUE(testsupport::WriteFile(local.file("a.txt"), "alpha"));
    ProcessResult result =
        Cli({"cd sub", "put " + local.file("a.txt"), "put " + local.file("a.txt") + " in/",
             "put " + local.file("a.txt") + " b.txt", "put " + local.file("a.txt") + " /c.txt"});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    for (const char* path : {"sub/a.txt", "sub/in/a.txt", "sub/b.txt", "c.txt"})
        EXPECT_EQ(testsupport::ReadFile(root.file(path)).value_or("<none>"), "alpha") << path;
}

TEST_P(CliPut, WithoutResumeAnExistingFileIsReplacedFromByteZero) {
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(testsupport::WriteFile(root.file("r.txt"), "a much longer old remote content"));
    ASSERT_TRUE(testsupport::WriteFile(local.file("r.txt"), "new"));
    ProcessResult result = Cli({"put " + local.file("r.txt")});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_EQ(testsupport::ReadFile(root.file("r.txt")).value_or(""), "new");
    EXPECT_TRUE(HasLine(result.err, "1 REST 0")) << result.err;
}

// A real break: an upload stopped in the middle leaves part of the file on
// the server; put -r continues it at the server's size.
TEST_P(CliPut, AResumeAfterABreakIsByteIdentical) {
    ASSERT_TRUE(server.ok()) << server.error();
    const std::int64_t size = 3 << 20;
    ASSERT_TRUE(testsupport::WritePatternFile(local.file("big.bin"), size, 21));
    {
        downlib::Download upload;
        downlib::TaskParam param;
        param.url = server.Url("/big.bin");
        param.localPath = local.file("big.bin");
        param.user = "putter";
        param.password = "pw";
        param.blockSizeOverride = 256 << 10;  // one block a second: a break well inside the file
        ASSERT_TRUE(upload.StartUpload(param));
        for (int i = 0; i < 1000 && upload.GetBytesDone() < (512 << 10); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_GE(upload.GetBytesDone(), 512 << 10);
        upload.StopTask();
    }
    // The server writes out what it received; wait until the size settles.
    std::int64_t partial = -2;
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::int64_t now = testsupport::FileSize(root.file("big.bin"));
        if (now == partial) break;
        partial = now;
    }
    ASSERT_GT(partial, 0);
    ASSERT_LT(partial, size);

    ProcessResult result = Cli({"put -r " + local.file("big.bin")});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_TRUE(HasLine(result.err, "1 REST " + std::to_string(partial))) << result.err;
    EXPECT_EQ(result.out, std::to_string(size) + "\n");
    EXPECT_EQ(testsupport::CompareFiles(local.file("big.bin"), root.file("big.bin")), "");

    // Once whole, a second resume has nothing to send.
    ProcessResult again = Cli({"put -r " + local.file("big.bin")});
    ASSERT_TRUE(again.ExitedWith(0)) << again.Summary();
    EXPECT_FALSE(HasLine(again.err, "0 开始发送数据")) << again.err;
}

void SetFileAgeOrFail(const std::string& path, int secondsAgo) {
    ASSERT_TRUE(testsupport::SetFileAge(path, secondsAgo)) << path;
}

int CountStor(const std::string& log) {
    int count = 0;
    for (const std::string& line : testsupport::SplitLines(log))
        count += line.rfind("2 STOR ", 0) == 0 ? 1 : 0;
    return count;
}

TEST_P(CliPut, AnEditedPackArrivesWholeAndAnUnchangedOneSendsNothing) {
    ASSERT_TRUE(server.ok()) << server.error();
    // The pack: a.txt keeps its size when edited, b.txt grows with new
    // content. The edit happens a minute after the first version, as a
    // user's would: times are compared to the second.
    const std::string pack = local.file("包");
    ASSERT_TRUE(testsupport::MakeDirs(pack));
    ASSERT_TRUE(testsupport::WriteFile(pack + "/a.txt", "hello, world\n"));
    ASSERT_TRUE(testsupport::WriteFile(pack + "/b.txt", std::string(100, 'o')));
    SetFileAgeOrFail(pack + "/a.txt", 120);
    SetFileAgeOrFail(pack + "/b.txt", 120);
    const std::string mput = "mput " + Quoted(pack) + " /";
    ProcessResult first = Cli({mput});
    ASSERT_TRUE(first.ExitedWith(0)) << first.Summary();

    ASSERT_TRUE(testsupport::WriteFile(pack + "/a.txt", "other words!\n"));
    ASSERT_TRUE(testsupport::WriteFile(pack + "/b.txt", testsupport::PatternBytes(0, 150, 7)));
    SetFileAgeOrFail(pack + "/a.txt", 60);
    SetFileAgeOrFail(pack + "/b.txt", 60);
    ProcessResult second = Cli({mput});
    ASSERT_TRUE(second.ExitedWith(0)) << second.Summary();
    for (const char* name : {"a.txt", "b.txt"}) {
        EXPECT_EQ(testsupport::ReadFile(root.file(std::string("包/") + name)),
                  testsupport::ReadFile(pack + "/" + name))
            << name << "\n"
            << second.err;
    }
    EXPECT_EQ(CountStor(second.err), 2) << second.err;
    RecordProperty(
        "time_setter",
        HasLine(second.err, "1 FEAT") && second.err.find("1 MFMT ") != std::string::npos ? "MFMT" : "MDTM");

    // Every server of the suite lets us set the time, so an unchanged pack
    // is recognised without sending a byte.
    for (const char* name : {"a.txt", "b.txt"}) {
        EXPECT_EQ(testsupport::ModifiedSeconds(root.file(std::string("包/") + name)),
                  testsupport::ModifiedSeconds(pack + "/" + name))
            << name << "\n"
            << second.err;
    }
    ProcessResult third = Cli({mput});
    ASSERT_TRUE(third.ExitedWith(0)) << third.Summary();
    EXPECT_EQ(CountStor(third.err), 0) << third.err;
    EXPECT_TRUE(HasLine(third.err, "0 同名文件内容相同，跳过: /包/a.txt")) << third.err;
}

TEST_P(CliPut, ResumeContinuesOnlyAHalfSentCopyOfTheSameFile) {
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string content = testsupport::PatternBytes(0, 300000, 5);
    ASSERT_TRUE(testsupport::WriteFile(local.file("f.bin"), content));
    SetFileAgeOrFail(local.file("f.bin"), 60);
    // What an upload killed at 40 % leaves: the first bytes, stamped when
    // they were written (after the local file was last changed).
    ASSERT_TRUE(testsupport::WriteFile(root.file("f.bin"), content.substr(0, 120000)));
    ProcessResult resumed = Cli({"put -r " + local.file("f.bin")});
    ASSERT_TRUE(resumed.ExitedWith(0)) << resumed.Summary();
    EXPECT_TRUE(testsupport::ReadFile(root.file("f.bin")) == content) << "f.bin differs";
    EXPECT_TRUE(HasLine(resumed.err, "1 REST 120000")) << resumed.err;
    EXPECT_EQ(resumed.out, "300000\n");

    // An older, shorter version of the file: never continued.
    // (Other bytes: the same bytes would be a proven beginning where the server gives a hash.)
    const std::string older = testsupport::PatternBytes(0, 120000, 6);
    ASSERT_TRUE(testsupport::WriteFile(root.file("f.bin"), older));
    SetFileAgeOrFail(root.file("f.bin"), 3600);
    ProcessResult refused = Cli({"put -r " + local.file("f.bin")});
    EXPECT_TRUE(refused.ExitedWith(1)) << refused.Summary();
    EXPECT_TRUE(testsupport::ReadFile(root.file("f.bin")) == older) << "f.bin was changed";
    ProcessResult replaced = Cli({"put " + local.file("f.bin")});
    ASSERT_TRUE(replaced.ExitedWith(0)) << replaced.Summary();
    EXPECT_TRUE(testsupport::ReadFile(root.file("f.bin")) == content) << "f.bin differs";
    EXPECT_FALSE(HasLine(replaced.err, "1 REST 120000")) << replaced.err;
}

// A put killed part-way (SIGSTOP once the server holds 40 %, then SIGKILL)
// leaves a half-sent copy on the server; put -r proves it (not older than
// the local file, first and last 64 KiB read back) and sends only the rest.
TEST_P(CliPut, AKilledPutIsContinuedAndEndsByteIdentical) {
    ASSERT_TRUE(server.ok()) << server.error();
    constexpr std::int64_t kSize = std::int64_t{160} << 20;
    const std::string source = local.file("big.bin");
    const std::string remote = root.file("big.bin");
    ASSERT_TRUE(testsupport::WritePatternFile(source, kSize, 9));
    ASSERT_TRUE(testsupport::SetFileAge(source, 60));
    const pid_t pid =
        testsupport::StartCliQuietly({"-u", "putter", "-p", "pw", "-P", std::to_string(server.port()), "-t",
                                      "10000", "-c", "put " + source, "127.0.0.1"});
    ASSERT_GT(pid, 0);
    std::int64_t seen = 0;
    for (int i = 0; i < 60000 && seen < kSize * 4 / 10; ++i) {
        seen = std::max<std::int64_t>(testsupport::FileSize(remote), 0);
        if (seen < kSize * 4 / 10) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ::kill(pid, SIGSTOP);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    // The server notices the broken connection and closes the file.
    std::int64_t kept = -1;
    for (int i = 0; i < 200; ++i) {
        const std::int64_t now = testsupport::FileSize(remote);
        if (now == kept) break;
        kept = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GE(kept, kSize * 4 / 10);
    ASSERT_LT(kept, kSize) << "the upload ended before it was stopped";

    ProcessResult again = Cli({"put -r " + source});
    ASSERT_TRUE(again.ExitedWith(0)) << again.Summary();
    EXPECT_EQ(testsupport::CompareFiles(source, remote), "");
    EXPECT_TRUE(HasLine(again.err, "1 REST " + std::to_string(kept))) << again.err;
    EXPECT_TRUE(HasLine(again.err, "0 续传：服务器上的部分与本地文件开头一致: /big.bin")) << again.err;
}

TEST_P(CliPut, FailuresExitWith1AndLeaveTheServerAlone) {
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(testsupport::WriteFile(root.file("longer.txt"), "the remote file is longer"));
    ASSERT_TRUE(testsupport::WriteFile(local.file("longer.txt"), "shorter"));

    ProcessResult missing = Cli({"put " + local.file("missing.txt")});
    EXPECT_TRUE(missing.ExitedWith(1)) << missing.Summary();
    EXPECT_TRUE(
        HasLine(missing.err, "3 打开文件失败，请检查磁盘是否存在 " + local.file("missing.txt") + " 这个文件"))
        << missing.err;
    EXPECT_EQ(missing.out, "0\n");

    ProcessResult larger = Cli({"put -r " + local.file("longer.txt")});
    EXPECT_TRUE(larger.ExitedWith(1)) << larger.Summary();
    EXPECT_NE(larger.err.find("\n3 服务器上的文件(25字节)比本地文件(7字节)大, 无法续传: "), std::string::npos)
        << larger.err;
    EXPECT_EQ(testsupport::ReadFile(root.file("longer.txt")).value_or(""), "the remote file is longer");

    ProcessResult nowhere = Cli({"put " + local.file("longer.txt") + " /no/such/folder/x.txt"});
    EXPECT_TRUE(nowhere.ExitedWith(1)) << nowhere.Summary();
    EXPECT_TRUE(HasLine(nowhere.err, "3 不支持的响应")) << nowhere.err;

    // A failed put ends the run: the next one is not tried.
    ProcessResult first =
        Cli({"put " + local.file("missing.txt"), "put " + local.file("longer.txt") + " y.txt"});
    EXPECT_TRUE(first.ExitedWith(1));
    EXPECT_EQ(testsupport::FileSize(root.file("y.txt")), -1);

    for (const char* bad : {"put", "put -r", "put a b c"}) {
        ProcessResult usage = Cli({bad});
        EXPECT_TRUE(usage.ExitedWith(2)) << bad << "\n" << usage.Summary();
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, CliPut, ::testing::ValuesIn(testsupport::AllServerKinds()),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

}  // namespace

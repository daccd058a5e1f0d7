// quorvel-ftp-cli end to end against real FTP servers started on loopback:
// log-in and out, each remote command, and what the server's disk looks like
// afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ProcessResult;
using testsupport::RealServer;
using testsupport::RunCli;
using testsupport::ServerKind;

void WriteFile(const fs::path& path, const std::string& bytes) {
    testsupport::WriteFile(path.string(), bytes);
}

// Every path below root, relative, folders with a trailing "/".
std::set<std::string> Tree(const fs::path& root) {
    const std::vector<std::string> all = testsupport::ListTree(root.string());
    return {all.begin(), all.end()};
}

class CliAgainstRealServer : public ::testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override {
        WriteFile(Root() / "top.txt", "top");
        WriteFile(Root() / "tree" / "a.txt", "aaaa");
        WriteFile(Root() / "tree" / "sub" / "b c.txt", "bc");
        WriteFile(Root() / "tree" / "sub" / "deep" / "中文.txt", "zh");
        ASSERT_TRUE(server.ok()) << server.error();
    }
    ProcessResult Cli(std::vector<std::string> args, const std::string& password = "s3cret") {
        std::vector<std::string> full = {"-u", "tester", "-p", password, "-P", std::to_string(server.port()),
                                         "-t", "10000"};
        full.insert(full.end(), args.begin(), args.end());
        full.push_back("127.0.0.1");
        return RunCli(full);
    }

    fs::path Root() const { return fs::path(root.Path()); }

    testsupport::TempDir root;
    RealServer server = RealServer::Start(GetParam(), root.Path(), "tester", "s3cret");
};

TEST_P(CliAgainstRealServer, LogsInAndOut) {
    ProcessResult result = Cli({});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    std::vector<std::string> log = testsupport::SplitLines(result.err);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log[0], "0 正在连接 [127.0.0.1:" + std::to_string(server.port()) + "]");
    EXPECT_NE(std::find(log.begin(), log.end(), "1 USER tester"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "1 PASS ******"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "2 登录成功"), log.end());
    // QUIT ends the log, followed only by the lines of its 221 reply: pure-ftpd
    // says goodbye in two ("221-Goodbye. ...", "221 Logout."), the others in one.
    auto quit = std::find(log.begin(), log.end(), "1 QUIT");
    ASSERT_NE(quit, log.end()) << result.err;
    for (auto line = quit + 1; line != log.end(); ++line) EXPECT_EQ(line->rfind("2 221", 0), 0u) << *line;
    EXPECT_EQ(log.back().rfind("2 221 ", 0), 0u) << log.back();
    EXPECT_EQ(result.err.find("s3cret"), std::string::npos);
}

TEST_P(CliAgainstRealServer, WrongPasswordFails) {
    ProcessResult result = Cli({}, "wrong");
    ASSERT_TRUE(result.ExitedWith(1)) << result.Summary();
    std::vector<std::string> log = testsupport::SplitLines(result.err);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "3 出现错误");
    EXPECT_EQ(log.back(), "3 登录失败");
}

TEST_P(CliAgainstRealServer, CommandsChangeTheServerDiskAsTheyImply) {
    ProcessResult result = Cli({"-c", "pwd",
                                "-c", "mkdir made",
                                "-c", "mkdir \"made/with blank\"",
                                "-c", "cd tree",
                                "-c", "ls",
                                "-c", "rename a.txt renamed.txt",
                                "-c", "del renamed.txt",
                                "-c", "rename \"sub/b c.txt\" \"sub/b d.txt\"",
                                "-c", "cd /",
                                "-c", "rmdir tree",
                                "-c", "ls made"});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << result.err;
    std::vector<std::string> out = testsupport::SplitLines(result.out);
    ASSERT_GE(out.size(), 3u) << result.out;
    EXPECT_EQ(out[0], "/");
    // ls of tree: a.txt and sub, in whatever order the server lists them.
    std::set<std::string> listed;
    for (std::size_t i = 1; i + 1 < out.size(); ++i) {
        std::vector<std::string> fields;
        std::istringstream line(out[i]);
        for (std::string field; std::getline(line, field, '\t');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 4u) << out[i];
        listed.insert(fields[0] + "|" + fields[1] + "|" + fields[3]);
        EXPECT_NE(fields[2].find("年"), std::string::npos) << out[i];
    }
    EXPECT_EQ(listed, (std::set<std::string>{"a.txt|4|-", "sub|-1|d"}));
    EXPECT_EQ(out.back().substr(0, out.back().find('\t')), "with blank");
    EXPECT_EQ(Tree(Root()), (std::set<std::string>{"top.txt", "made/", "made/with blank/"}));

    std::vector<std::string> log = testsupport::SplitLines(result.err);
    for (const char* line :
         {"1 DEL renamed.txt", "1 RNFR a.txt", "1 RNTO renamed.txt", "1 CWD tree", "1 RMD tree"})
        EXPECT_NE(std::find(log.begin(), log.end(), line), log.end()) << line;
}

TEST_P(CliAgainstRealServer, RmdirRemovesLinksWithoutFollowingThem) {
    WriteFile(Root() / "outside" / "keep.txt", "keep");
    fs::create_directory_symlink(Root() / "outside", Root() / "tree" / "link");
    ProcessResult result = Cli({"-c", "rmdir tree"});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << result.err;
    EXPECT_EQ(Tree(Root()), (std::set<std::string>{"top.txt", "outside/", "outside/keep.txt"}));
}

// A link given as the target itself: some servers resolve it on CWD (vsftpd
// even answers PWD with the target's path), so only the parent's listing
// tells. The link goes, what it points to stays whole.
TEST_P(CliAgainstRealServer, RmdirOfALinkRemovesTheLinkOnly) {
    WriteFile(Root() / "keep" / "k.txt", "keep");
    WriteFile(Root() / "scratch" / "inner" / "i.txt", "inner");
    struct Case {
        const char* link;      // below scratch/
        const char* pointsTo;  // as written into the link
        std::vector<std::string> commands;
    };
    const std::vector<Case> cases = {
        {"kl", "../keep", {"-c", "rmdir scratch/kl"}},  // outside the start folder
        {"kl", "../keep", {"-c", "cd /scratch", "-c", "rmdir kl"}},
        {"il", "inner", {"-c", "rmdir /scratch/il"}},           // inside it
        {"up", "..", {"-c", "cd scratch", "-c", "rmdir up"}},   // the parent
        {"dot", ".", {"-c", "cd scratch", "-c", "rmdir dot"}},  // the folder itself
    };
    for (const Case& c : cases) {
        // The tree as it must be afterwards: as it was before the link.
        const std::set<std::string> before = Tree(Root());
        const fs::path link = Root() / "scratch" / c.link;
        fs::create_directory_symlink(c.pointsTo, link);
        ProcessResult result = Cli(c.commands);
        EXPECT_TRUE(result.ExitedWith(0)) << c.link << "\n" << result.Summary() << result.err;
        EXPECT_FALSE(fs::is_symlink(link)) << c.link << "\n" << result.err;
        EXPECT_EQ(Tree(Root()), before) << c.link << "\n" << result.err;
        EXPECT_EQ(result.err.find("1 RMD"), std::string::npos) << c.link << "\n" << result.err;
        std::error_code ignored;
        fs::remove(link, ignored);
    }
}

// pyftpdlib (like pure-ftpd) takes an empty CWD to "/"; "." and ".." and
// "sub/.." reach the current folder or a parent on any server. None of them
// may become the target of a recursive delete.
TEST_P(CliAgainstRealServer, RmdirNeverEmptiesTheCurrentFolderAParentOrTheRoot) {
    const std::set<std::string> before = Tree(Root());
    for (const char* target : {"\"\"", ".", "..", "/", "./", "sub/..", "\"sub/../..\""}) {
        ProcessResult result = Cli({"-c", "cd tree", "-c", std::string("rmdir ") + target});
        EXPECT_TRUE(result.ExitedWith(1)) << target << "\n" << result.Summary() << result.err;
        EXPECT_EQ(Tree(Root()), before) << target << "\n" << result.err;
        EXPECT_EQ(result.err.find("1 DEL"), std::string::npos) << target << "\n" << result.err;
    }
    // A real folder below still goes.
    ProcessResult result = Cli({"-c", "cd tree", "-c", "rmdir sub"});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << result.err;
    EXPECT_EQ(Tree(Root()), (std::set<std::string>{"top.txt", "tree/", "tree/a.txt"}));
}

TEST_P(CliAgainstRealServer, FailingCommandStopsTheRunButStillLogsOut) {
    ProcessResult result = Cli({"-c", "cd no-such-folder", "-c", "mkdir never"});
    ASSERT_TRUE(result.ExitedWith(1)) << result.Summary();
    EXPECT_FALSE(fs::exists(Root() / "never"));
    EXPECT_NE(result.err.find("1 QUIT"), std::string::npos);
}

TEST_P(CliAgainstRealServer, CommandsFromStandardInput) {
    testsupport::RunOptions options;
    options.stdinData = "# a comment\n\npwd\nmkdir \"from stdin\"\n";
    ProcessResult result =
        RunCli({"-u", "tester", "-p", "s3cret", "-P", std::to_string(server.port()), "127.0.0.1"}, options);
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_EQ(result.out, "/\n");
    EXPECT_TRUE(fs::is_directory(Root() / "from stdin"));
}

INSTANTIATE_TEST_SUITE_P(Servers, CliAgainstRealServer, ::testing::ValuesIn(testsupport::AllServerKinds()),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

TEST(CliUsage, BadArgumentsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-P", "notaport", "127.0.0.1"},
        {"-P", "70000", "127.0.0.1"},
        {"-t", "0", "127.0.0.1"},
        {"-c", "frobnicate", "127.0.0.1"},
        {"-c", "cd", "127.0.0.1"},
        {"-c", "rename only-one", "127.0.0.1"},
        {"-c", "cd \"unterminated", "127.0.0.1"},
        {"one-host", "two-hosts"},
    };
    for (const auto& args : cases) {
        ProcessResult result = RunCli(args);
        EXPECT_TRUE(result.ExitedWith(2)) << result.Summary();
        EXPECT_EQ(testsupport::SplitLines(result.err).size(), 1u) << result.err;
    }
}

TEST(CliUsage, UnreachableServerFailsWithOne) {
    // Port 1 on loopback: nothing listens there.
    ProcessResult result = RunCli({"-P", "1", "-t", "2000", "127.0.0.1"});
    EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
    EXPECT_NE(result.err.find("3 连接 [127.0.0.1:1]失败"), std::string::npos) << result.err;
}

}  // namespace

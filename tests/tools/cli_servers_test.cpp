// quorvel-ftp-cli against every real server: the cases where servers differ
// (long listings, hidden files, the replies to failing commands) and the
// recursive delete on trees of some size. Each case says where a server
// legitimately behaves otherwise and why.
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
using testsupport::ServerKind;

void Put(const fs::path& path, const std::string& bytes) { testsupport::WriteFile(path.string(), bytes); }

// Every path below root, relative, folders with a trailing "/".
std::set<std::string> Tree(const fs::path& root) {
    const std::vector<std::string> all = testsupport::ListTree(root.string());
    return {all.begin(), all.end()};
}

class CliOnEveryServer : public ::testing::TestWithParam<ServerKind> {
protected:
    void SetUp() override { ASSERT_TRUE(server.ok()) << server.error(); }

    ProcessResult Cli(const std::vector<std::string>& commands) {
        std::vector<std::string> args = {"-u", "tester", "-p", "s3cret", "-P", std::to_string(server.port()),
                                         "-t", "10000"};
        for (const auto& command : commands) {
            args.emplace_back("-c");
            args.push_back(command);
        }
        args.emplace_back("127.0.0.1");
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(120);
        return testsupport::RunCli(args, options);
    }

    fs::path Root() const { return fs::path(root.Path()); }

    testsupport::TempDir root;
    RealServer server = RealServer::Start(GetParam(), root.Path(), "tester", "s3cret");
};

TEST_P(CliOnEveryServer, LongListingsArriveWholeUpToTheServersCap) {
    constexpr int kFiles = 10050;
    fs::create_directory(Root() / "many");
    for (int i = 0; i < kFiles; ++i) std::ofstream(Root() / "many" / ("f" + std::to_string(i)));
    ProcessResult result = Cli({"ls many"});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    std::set<std::string> names;
    for (const auto& line : testsupport::SplitLines(result.out))
        names.insert(line.substr(0, line.find('\t')));
    // pure-ftpd ends every listing after 10,000 entries (its LimitRecursion
    // default, kept on the test server as it is in the field); the others send
    // all. Either way each line the server sent becomes one entry.
    const std::size_t expected = GetParam() == ServerKind::PureFtpd ? 10000 : kFiles;
    EXPECT_EQ(testsupport::SplitLines(result.out).size(), expected);
    EXPECT_EQ(names.size(), expected);
    for (const auto& name : names) ASSERT_EQ(name.rfind("f", 0), 0u) << name;
}

TEST_P(CliOnEveryServer, RecursiveDeleteEmptiesWideAndDeepTrees) {
    for (int folder = 0; folder < 4; ++folder) {
        for (int file = 0; file < 60; ++file) {
            Put(Root() / "big" / ("d" + std::to_string(folder)) / ("f " + std::to_string(file) + ".txt"),
                "x");
        }
    }
    fs::path deep = Root() / "big";
    for (int level = 0; level < 12; ++level) deep /= "level" + std::to_string(level);
    Put(deep / "bottom.txt", "bottom");
    Put(Root() / "big" / "中文 目录" / "名字.txt", "zh");
    Put(Root() / "keep.txt", "keep");

    ProcessResult result = Cli({"rmdir big"});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << result.err;
    EXPECT_EQ(Tree(Root()), (std::set<std::string>{"keep.txt"}));
}

TEST_P(CliOnEveryServer, HiddenFilesKeepAFolderFromBeingDeletedOnlyWhereTheServerHidesThem) {
    Put(Root() / "box" / ".hidden", "h");
    Put(Root() / "box" / "shown.txt", "s");
    ProcessResult result = Cli({"rmdir box"});
    if (GetParam() != ServerKind::Pyftpdlib) {
        // vsftpd, pure-ftpd and proftpd leave names that start with a dot out
        // of a plain LIST unless configured otherwise, so the client never
        // sees .hidden and the final RMD of the folder that still holds it
        // must fail, loudly; what was listed is gone.
        EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
        EXPECT_EQ(Tree(Root()), (std::set<std::string>{"box/", "box/.hidden"}));
    } else {
        EXPECT_TRUE(result.ExitedWith(0)) << result.Summary() << result.err;
        EXPECT_EQ(Tree(Root()), std::set<std::string>{});
    }
}

TEST_P(CliOnEveryServer, RefusedCommandsExitOneAndLeaveTheDiskAlone) {
    Put(Root() / "a.txt", "a");
    Put(Root() / "dir" / "b.txt", "b");
    const std::set<std::string> before = Tree(Root());
    // Each server words and numbers its refusals differently (550, 553, 521,
    // 450); the command line's answer is the same: exit status 1.
    const std::vector<std::string> refused = {
        "mkdir dir",
        "cd a.txt",
        "cd no-such",
        "del no-such.txt",
        "rename no-such.txt other.txt",
        "rmdir no-such-dir",
        "get /no-such.txt " + root.file("never-local.txt"),
    };
    for (const auto& command : refused) {
        ProcessResult result = Cli({command});
        EXPECT_TRUE(result.ExitedWith(1)) << command << ": " << result.Summary();
        EXPECT_NE(result.err.find("1 QUIT"), std::string::npos) << command;
        EXPECT_EQ(Tree(Root()), before) << command;
    }
}

TEST_P(CliOnEveryServer, AListingThatFailsIsNotAnEmptyFolder) {
    // quorvel-ftp-cli ls of a folder the server refuses must fail, not print
    // nothing and succeed as if the folder were empty.
    Put(Root() / "a.txt", "a");
    ProcessResult result = Cli({"ls no-such-folder"});
    EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
    EXPECT_EQ(result.out, "");
    // Some servers list a missing folder as an empty one; a folder that is
    // really empty still lists, and the session stays where it was.
    ASSERT_TRUE(testsupport::MakeDirs((Root() / "empty").string()));
    result = Cli({"ls empty", "pwd"});
    EXPECT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_EQ(result.out, "/\n");
}

// Names that reach the folder the delete starts from, or its parents, must
// never be emptied: an empty name or "." or "/" sends some servers to the
// account's root.
TEST_P(CliOnEveryServer, RmdirOfTheCurrentParentOrRootFolderDeletesNothing) {
    Put(Root() / "top.txt", "top");
    Put(Root() / "sub" / "keep.txt", "keep");
    Put(Root() / "sub" / "inner" / "x.txt", "x");
    const std::set<std::string> before = Tree(Root());
    const std::vector<std::string> targets = {"\"\"", ".", "..", "/", "./", "sub/..", "../sub/.."};
    for (const auto& target : targets) {
        ProcessResult result = Cli({"cd sub", "rmdir " + target});
        EXPECT_TRUE(result.ExitedWith(1)) << target << ": " << result.Summary();
        EXPECT_EQ(Tree(Root()), before) << target;
        // Put back what a faulty delete took, so each target starts alike.
        Put(Root() / "top.txt", "top");
        Put(Root() / "sub" / "keep.txt", "keep");
        Put(Root() / "sub" / "inner" / "x.txt", "x");
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, CliOnEveryServer, ::testing::ValuesIn(testsupport::AllServerKinds()),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

}  // namespace

// quorvel-ftp-cli mget: the order in which a folder is walked (the window's
// queue order), what is left out, failures of single files, and whole trees
// from real servers with a link back up the tree.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"
#include "support/cli_runner.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"
#include "tools/cli_get.h"

namespace {

using testsupport::FakeFtpServer;
using testsupport::ProcessResult;
using testsupport::RealServer;
using testsupport::ServerKind;
using testsupport::TempDir;

std::string Dir(const std::string& name) { return "drwxr-xr-x 2 ftp ftp 4096 Jan 01 12:00 " + name + "\r\n"; }
std::string File(const std::string& name, int size) {
    return "-rw-r--r-- 1 ftp ftp " + std::to_string(size) + " Jan 01 12:00 " + name + "\r\n";
}

// One file at a time unless `jobs` says otherwise ("" for the default):
// the order of the RETR commands is then the order of the rows.
ProcessResult Mget(std::uint16_t port, const std::string& remote, const std::string& local,
                   const std::string& user = "u", const std::string& password = "p",
                   const std::string& jobs = "-j 1 ") {
    testsupport::RunOptions options;
    options.timeout = std::chrono::seconds(120);
    return testsupport::RunCli({"-u", user, "-p", password, "-P", std::to_string(port), "-t", "10000", "-c",
                                "mget " + jobs + "\"" + remote + "\" \"" + local + "\"", "127.0.0.1"},
                               options);
}

std::vector<std::string> Retrieved(const FakeFtpServer& server) {
    std::vector<std::string> out;
    for (const std::string& command : server.Commands())
        if (command.rfind("RETR ", 0) == 0) out.push_back(command.substr(5));
    return out;
}

TEST(CliMget, WalksAFolderAsTheWindowQueuesIt) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    // Folders come in the reverse of their listing order, each followed by
    // its content; then the files in listing order.
    server.SetListing("/tree", Dir(".") + Dir("..") + Dir("z1") + File("f2", 2) + Dir("a1") + File("f1", 1));
    server.AddFile("/tree/f1", "1");
    server.AddFile("/tree/f2", "22");
    server.AddFile("/tree/z1/zz", "zz");
    server.AddFile("/tree/a1/aa", "aa");
    server.AddFile("/tree/a1/deep/d", "d");
    TempDir local;
    ProcessResult result = Mget(server.port(), "/tree", local.Path());
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_EQ(Retrieved(server), (std::vector<std::string>{"/tree/a1/deep/d", "/tree/a1/aa", "/tree/z1/zz",
                                                           "/tree/f2", "/tree/f1"}))
        << server.Transcript();
    EXPECT_EQ(result.out, "5 8\n");
    EXPECT_EQ(testsupport::ReadFile(local.file("tree/a1/deep/d")).value_or("-"), "d");
    EXPECT_EQ(testsupport::ReadFile(local.file("tree/f2")).value_or("-"), "22");
    EXPECT_EQ(testsupport::ReadFile(local.file("tree/z1/zz")).value_or("-"), "zz");
}

TEST(CliMget, TheRootAndRelativeFoldersLandWhereTheWindowPutsThem) {
    // At the root the window names a folder "//pub" (the folder "/", "/",
    // the name); the engine sends such a path from the server's root.
    const struct {
        std::string remote;
        std::string localFile;  // where /pub/x arrives, below the local folder
    } cases[] = {
        {"/pub", "pub/x"},
        {"/pub/", "pub/x"},
        {"pub", "pub/x"},  // relative to the log-in folder "/"
        {"/", "pub/x"},    // the root's content goes straight in
    };
    for (const auto& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/pub/x", "x");
        TempDir local;
        ProcessResult result = Mget(server.port(), c.remote, local.Path());
        EXPECT_TRUE(result.ExitedWith(0)) << c.remote << ": " << result.Summary();
        EXPECT_EQ(testsupport::ReadFile(local.file(c.localFile)).value_or("-"), "x") << c.remote;
        EXPECT_EQ(Retrieved(server), std::vector<std::string>{"/pub/x"}) << c.remote;
    }
}

TEST(CliMget, NamesThatCannotBeLocalNamesAreLeftOutAndTheRunFails) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetListing("/tree", File("ok", 2) + File("back\\slash", 1) + File("tab\there", 1));
    server.AddFile("/tree/ok", "ok");
    TempDir local;
    ProcessResult result = Mget(server.port(), "/tree", local.Path());
    EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
    EXPECT_EQ(Retrieved(server), std::vector<std::string>{"/tree/ok"});
    EXPECT_NE(result.err.find("cannot be a local name"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "1 2\n");
}

TEST(CliMget, AFileThatFailsDoesNotStopTheOthers) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SetListing("/tree", File("a", 1) + File("gone", 4) + File("c", 1));
    server.AddFile("/tree/a", "a");
    server.AddFile("/tree/c", "c");  // "gone" is listed but not there: SIZE says 550
    TempDir local;
    ProcessResult result = Mget(server.port(), "/tree", local.Path());
    EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
    EXPECT_EQ(Retrieved(server), (std::vector<std::string>{"/tree/a", "/tree/c"}));
    EXPECT_NE(result.err.find("/tree/gone did not arrive whole"), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "2 2\n");
    EXPECT_FALSE(testsupport::ReadFile(local.file("tree/gone")).has_value());
}

TEST(CliMget, SeveralFilesAtOnceEachLaneOnItsOwnConnection) {
    // 12 files in two folders; one of them is missing and fails alone.
    struct Case {
        const char* jobs;
        std::size_t lanes;  // connections that fetch files
    };
    const Case cases[] = {{"-j 1 ", 1}, {"", 3}, {"-j 5 ", 5}, {"-j 10 ", 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.jobs);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        std::string listing = Dir("sub") + File("gone", 3);
        std::vector<std::string> expected;
        for (int i = 0; i < 10; ++i) {
            const std::string name = "f" + std::to_string(i);
            listing += File(name, 2000);
            server.AddFile("/tree/" + name, testsupport::PatternBytes(0, 2000, i));
            expected.push_back("/tree/" + name);
        }
        server.SetListing("/tree", listing);
        server.AddFile("/tree/sub/deep", "deep");
        expected.push_back("/tree/sub/deep");
        TempDir local;
        ProcessResult result = Mget(server.port(), "/tree", local.Path(), "u", "p", c.jobs);
        EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
        EXPECT_EQ(result.out, "11 20004\n");
        EXPECT_NE(result.err.find("/tree/gone did not arrive whole"), std::string::npos) << result.err;
        std::vector<std::string> retrieved = Retrieved(server);
        std::sort(retrieved.begin(), retrieved.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(retrieved, expected) << server.Transcript();
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(testsupport::ReadFile(local.file("tree/f" + std::to_string(i))).value_or("-"),
                      testsupport::PatternBytes(0, 2000, i));
        }
        EXPECT_EQ(testsupport::ReadFile(local.file("tree/sub/deep")).value_or("-"), "deep");
        // The lanes keep their connections: one per lane, and one more for
        // the lane whose task failed (a failed task keeps none); besides
        // them only the browsing connection.
        std::set<int> fetching;
        for (const testsupport::ReceivedCommand& command : server.Received())
            if (command.line.rfind("RETR ", 0) == 0) fetching.insert(command.connection);
        EXPECT_LE(fetching.size(), c.lanes + 1) << server.Transcript();
        EXPECT_GE(fetching.size(), c.lanes > 1 ? 2u : 1u) << server.Transcript();
        EXPECT_LE(server.ConnectionCount(), static_cast<int>(c.lanes) + 2) << server.Transcript();
    }
}

TEST(CliMget, AJobCountOutsideOneToTenIsAUsageError) {
    for (const char* words : {"mget -j 0 /a b", "mget -j 11 /a b", "mget -j x /a b", "mget -j /a b",
                              "mget -j 3 /a", "mget /a b c"}) {
        ProcessResult result = testsupport::RunCli({"-c", words, "127.0.0.1"});
        EXPECT_TRUE(result.ExitedWith(2)) << words << ": " << result.Summary();
    }
}

TEST(CliMget, SomethingThatIsNoFolderFailsWithoutFetching) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/file.txt", "f");
    for (const std::string remote : {"/file.txt", "/missing", "/a/.."}) {
        TempDir local;
        ProcessResult result = Mget(server.port(), remote, local.Path());
        EXPECT_TRUE(result.ExitedWith(1)) << remote << ": " << result.Summary();
        EXPECT_EQ(server.CountCommands("RETR"), 0) << remote;
    }
}

// The walk's bounds against the fake server, without a process in between.
class MgetExpansion : public ::testing::Test {
protected:
    cli::Expansion Expand(const std::string& folder) {
        downlib::DezAziveduza client;
        const auto quiet = [](downlib::Handle, const std::string&, const std::string&, int, downlib::Handle) {
        };
        EXPECT_TRUE(client.Connect("ftp://127.0.0.1", "u", "p", server.port(), quiet, 5000));
        return cli::ExpandRemoteFolder(client, folder);
    }
    bool Noted(const cli::Expansion& e, const std::string& text) const {
        return std::any_of(e.notes.begin(), e.notes.end(),
                           [&](const std::string& note) { return note.find(text) != std::string::npos; });
    }
    std::vector<std::string> Paths(const cli::Expansion& e) const {
        std::vector<std::string> paths;
        for (const cli::RemoteRow& row : e.rows) paths.push_back(row.remotePath);
        return paths;
    }

    FakeFtpServer server;
};

TEST_F(MgetExpansion, AChainDeeperThanTheLimitEndsThere) {
    // Every level holds a folder "x" whose path grows: nothing repeats, so
    // only the depth limit ends the walk.
    std::string folder = "/r";
    for (int i = 0; i <= cli::kMaxMgetDepth + 3; ++i) {
        folder += "/x";
        server.AddDirectory(folder);
    }
    server.AddFile(folder + "/bottom", "b");
    const cli::Expansion e = Expand("/r");
    ASSERT_TRUE(e.ok);
    EXPECT_TRUE(Noted(e, "is too deep; not entered"));
    // The folder itself, then one row per level down to the limit, the last not entered.
    EXPECT_EQ(e.rows.size(), static_cast<std::size_t>(cli::kMaxMgetDepth) + 1);
    for (const std::string& path : Paths(e)) EXPECT_EQ(path.find("bottom"), std::string::npos);
}

TEST_F(MgetExpansion, ALinkThatPwdShowsAsAnAncestorIsNotEntered) {
    // /d/loop is a link to /d: the server enters it and reports /d again.
    server.AddFile("/d/f.txt", "f");
    server.SetListing("/d",
                      "lrwxrwxrwx 1 u g 2 Jan 01 2024 loop -> .\r\n"
                      "-rw-r--r-- 1 u g 1 Jan 01 2024 f.txt\r\n");
    server.Reply("CWD //d/loop", "250 Directory changed.\r\n");
    const cli::Expansion e = Expand("/d");
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(Paths(e), (std::vector<std::string>{"//d", "//d/f.txt"}));
    EXPECT_TRUE(Noted(e, "//d/loop leads back to /d; not entered"));
}

TEST_F(MgetExpansion, ALinkThatListsAsAnAncestorIsNotEntered) {
    // As pyftpdlib does: PWD through the link answers "/d/here", yet the
    // folder is /d itself and lists what /d lists.
    const std::string listing =
        "lrwxrwxrwx 1 u g 1 Jan 01 2024 here -> .\r\n"
        "-rw-r--r-- 1 u g 1 Jan 01 2024 f.txt\r\n";
    server.AddFile("/d/f.txt", "f");
    server.AddDirectory("/d/here");
    server.SetListing("/d", listing);
    server.SetListing("/d/here", listing);
    const cli::Expansion e = Expand("/d");
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(Paths(e), (std::vector<std::string>{"//d", "//d/f.txt"}));
    EXPECT_TRUE(Noted(e, "//d/here lists as /d does; not entered"));
}

class CliMgetReal : public ::testing::TestWithParam<ServerKind> {
protected:
    TempDir root;
    RealServer server = RealServer::Start(GetParam(), root.Path(), "mgetter", "pw");
};

TEST_P(CliMgetReal, ATreeWithALinkBackUpArrivesWhole) {
    ASSERT_TRUE(server.ok()) << server.error();
    const std::vector<std::pair<std::string, std::int64_t>> files = {
        {"tree/a.bin", 20481}, {"tree/sub/中文 名字.dat", 333}, {"tree/sub/deep/zero", 0}, {"tree/z.txt", 7}};
    for (std::size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(testsupport::WritePatternFile(root.file(files[i].first), files[i].second,
                                                  static_cast<std::uint32_t>(i + 1)));
    }
    // A link to an ancestor: followed, it would never end.
    ASSERT_EQ(::symlink("..", root.file("tree/sub/up").c_str()), 0);
    TempDir local;
    ProcessResult result = Mget(server.port(), "/tree", local.Path(), "mgetter", "pw");
    ASSERT_TRUE(result.started && !result.timedOut) << result.Summary();
    for (const auto& [path, size] : files) {
        EXPECT_EQ(testsupport::FileSha256Hex(local.file(path)), testsupport::FileSha256Hex(root.file(path)))
            << path << "\n"
            << result.err.substr(0, 4000);
    }
    // Each file once, the link never entered: every server shows it as a
    // way back (and the run fails, having left it out), or not at all.
    EXPECT_EQ(result.out, "4 20821\n") << result.err.substr(0, 4000);
    const bool shown = result.err.find("//tree/sub/up") != std::string::npos;
    EXPECT_EQ(result.exitCode, shown ? 1 : 0) << result.err.substr(0, 4000);
    struct stat info {};
    EXPECT_NE(::lstat(local.file("tree/sub/up").c_str(), &info), 0);
}

INSTANTIATE_TEST_SUITE_P(Servers, CliMgetReal, ::testing::ValuesIn(testsupport::AllServerKinds()),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

}  // namespace

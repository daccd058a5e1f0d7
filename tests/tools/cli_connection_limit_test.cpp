// quorvel-ftp-cli against a server that serves only so many connections at
// once: mget and mput go on with fewer lanes, and where not even one
// transfer fits beside the browsing connection, that one is handed over
// for the transfers and logged in again after them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace {

using testsupport::FakeFtpServer;
using testsupport::ProcessResult;
using testsupport::RealServer;
using testsupport::TempDir;

constexpr int kFiles = 12;
constexpr const char* kBackOff = "the server refused another connection";
constexpr const char* kHandOver = "the server allows no second connection";

std::string Name(int i) { return "f" + std::to_string(100 + i); }
// Sizes that differ, some above one data block of the engine.
std::size_t Size(int i) { return 1000 + 7919 * static_cast<std::size_t>(i); }
std::string Bytes(int i) { return testsupport::PatternBytes(0, Size(i), static_cast<std::uint32_t>(i + 1)); }

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

ProcessResult RunCommands(std::uint16_t port, const std::string& user, const std::string& password,
                          const std::vector<std::string>& commands, const std::string& retries = "5") {
    std::vector<std::string> args = {"-u", user,    "-p",        password, "-P", std::to_string(port),
                                     "-t", "10000", "--retries", retries};
    for (const std::string& command : commands) {
        args.push_back("-c");
        args.push_back(command);
    }
    args.push_back("127.0.0.1");
    testsupport::RunOptions options;
    options.timeout = std::chrono::seconds(180);
    return testsupport::RunCli(args, options);
}

// The files of the folder `src` on the fake server, or in a local folder.
void AddRemoteFiles(FakeFtpServer& server) {
    for (int i = 0; i < kFiles; ++i) server.AddFile("/src/" + Name(i), Bytes(i));
}
bool WriteLocalFiles(const std::string& folder) {
    if (!testsupport::MakeDirs(folder)) return false;
    for (int i = 0; i < kFiles; ++i)
        if (!testsupport::WriteFile(folder + "/" + Name(i), Bytes(i))) return false;
    return true;
}

struct Direction {
    const char* name;
    bool upload;
};
constexpr Direction kDirections[] = {{"mget", false}, {"mput", true}};

// Every file whole where it arrived.
void ExpectWhole(const FakeFtpServer& server, const TempDir& local, bool upload, int files) {
    for (int i = 0; i < files; ++i) {
        const std::string arrived =
            upload ? server.FileContents("/dst/src/" + Name(i)).value_or("<none>")
                   : testsupport::ReadFile(local.file("dst/src/" + Name(i))).value_or("<none>");
        EXPECT_EQ(testsupport::DescribeDifference(Bytes(i), arrived), "") << Name(i);
    }
}

TEST(CliConnectionLimit, LanesBackOffToWhatTheServerLetsIn) {
    // Beside the browsing connection the server lets in one or two of the
    // -j 3 lanes; the files of the refused ones wait for those that got in.
    const struct {
        int limit;
        const char* refusal;
        const char* line;
    } limits[] = {
        {2, "421 Too many connections from this IP\r\n", "1 at once from now on"},
        {3, "421 Too many connections from this IP\r\n", "2 at once from now on"},
        {2, "530 Sorry, the maximum number of clients (2) from your host are already connected.\r\n",
         "1 at once from now on"},
    };
    for (const auto& limit : limits) {
        for (const Direction& direction : kDirections) {
            SCOPED_TRACE(std::string(direction.name) + " " + limit.refusal);
            FakeFtpServer server;
            ASSERT_TRUE(server.ok()) << server.error();
            server.SetConnectionLimit(limit.limit, limit.refusal);
            TempDir local;
            std::string command;
            if (direction.upload) {
                ASSERT_TRUE(WriteLocalFiles(local.file("src")));
                server.AddDirectory("/dst");
                command = "mput -j 3 \"" + local.file("src") + "\" /dst";
            } else {
                AddRemoteFiles(server);
                ASSERT_TRUE(testsupport::MakeDirs(local.file("dst")));
                command = "mget -j 3 /src \"" + local.file("dst") + "\"";
            }
            // No retries: a refusal must not spend one.
            const ProcessResult result = RunCommands(server.port(), "u", "p", {command, "pwd"}, "0");
            ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << "\n" << server.Transcript();
            ExpectWhole(server, local, direction.upload, kFiles);
            EXPECT_EQ(Count(result.err, kBackOff), 1) << result.err;
            EXPECT_NE(result.err.find(limit.line), std::string::npos) << result.err;
            EXPECT_EQ(Count(result.err, kHandOver), 0) << result.err;
        }
    }
}

TEST(CliConnectionLimit, TheBrowsingConnectionIsHandedOverWhenOnlyOneFits) {
    // One connection: each transfer command closes the browsing connection,
    // transfers one file at a time and logs in again, so "ls" after it works.
    struct Case {
        const char* name;
        std::string (*command)(const TempDir& local);
        bool upload;
        int files;
    };
    const Case cases[] = {
        {"get",
         [](const TempDir& l) { return "get /src/" + Name(3) + " \"" + l.file("dst/src/" + Name(3)) + "\""; },
         false, 0},
        {"mget", [](const TempDir& l) { return "mget -j 3 /src \"" + l.file("dst") + "\""; }, false, kFiles},
        {"put", [](const TempDir& l) { return "put \"" + l.file("src/" + Name(3)) + "\" /dst/src/"; }, true,
         0},
        {"mput", [](const TempDir& l) { return "mput \"" + l.file("src") + "\" /dst"; }, true, kFiles},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok()) << server.error();
        server.SetConnectionLimit(1, "421 Too many connections (1) from this IP\r\n");
        TempDir local;
        AddRemoteFiles(server);
        server.AddDirectory("/dst/src");
        ASSERT_TRUE(WriteLocalFiles(local.file("src")));
        ASSERT_TRUE(testsupport::MakeDirs(local.file("dst/src")));
        const ProcessResult result =
            RunCommands(server.port(), "u", "p", {"cd /src", c.command(local), "ls"});
        ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << "\n" << server.Transcript();
        if (c.files == 0) {
            const std::string arrived =
                c.upload ? server.FileContents("/dst/src/" + Name(3)).value_or("<none>")
                         : testsupport::ReadFile(local.file("dst/src/" + Name(3))).value_or("<none>");
            EXPECT_EQ(testsupport::DescribeDifference(Bytes(3), arrived), "");
        } else {
            ExpectWhole(server, local, c.upload, c.files);
        }
        EXPECT_EQ(Count(result.err, kHandOver), 1) << result.err;
        // "ls" ran in /src on the browsing connection logged in again.
        EXPECT_NE(result.out.find(Name(11)), std::string::npos) << result.out;
        // The browsing connection, one transfer connection kept for every
        // file, the browsing connection again; the refused ones never got to USER.
        EXPECT_EQ(server.CountCommands("USER"), 3) << server.Transcript();
        const std::vector<std::string> first = server.CommandsOf(1);
        ASSERT_FALSE(first.empty());
        EXPECT_EQ(first.back(), "QUIT") << server.Transcript();
    }
}

TEST(CliConnectionLimit, VsftpdWithOneConnectionPerAddress) {
    TempDir root;
    TempDir local;
    ASSERT_TRUE(WriteLocalFiles(root.file("src")));
    RealServer server = RealServer::StartVsftpdWith(root.Path(), "limited", "pw", "max_per_ip=1\n");
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(testsupport::MakeDirs(local.file("dst")));
    const ProcessResult result = RunCommands(server.port(), "limited", "pw",
                                             {"get /src/" + Name(5) + " \"" + local.file("one") + "\"",
                                              "mget /src \"" + local.file("dst") + "\"", "pwd"});
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << "\n" << server.Log();
    EXPECT_EQ(
        testsupport::DescribeDifference(Bytes(5), testsupport::ReadFile(local.file("one")).value_or("")), "");
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "dst/src/" + Name(i);
        EXPECT_EQ(
            testsupport::DescribeDifference(Bytes(i), testsupport::ReadFile(local.file(name)).value_or("")),
            "")
            << name;
    }
    EXPECT_NE(result.err.find(kHandOver), std::string::npos) << result.err;
}

}  // namespace

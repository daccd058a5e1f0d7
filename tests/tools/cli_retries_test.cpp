// quorvel-ftp-cli --retries: a transfer that keeps failing ends after its
// retries, each logged with its reason, and the command fails with the last.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/cli_runner.h"
#include "support/fake_ftp_server.h"
#include "support/temp_dir.h"

namespace {

using testsupport::FakeFtpServer;
using testsupport::ProcessResult;
using testsupport::TempDir;

}  // namespace

namespace {

TEST(CliRetries, AFailingTransferEndsAfterItsRetriesWithTheReason) {
    // The command line used to retry a refused log-in for ever; now each
    // retry says why and the last failure ends the command.
    for (const char* retries : {"0", "1"}) {
        SCOPED_TRACE(retries);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/f", "data");
        TempDir local;
        // The browsing connection logs in; every task connection is refused.
        server.ReplyNext("PASS", {"230 Logged in.\r\n"});
        server.Reply("PASS", "530 Login incorrect.\r\n");
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(60);
        ProcessResult result =
            testsupport::RunCli({"-u", "u", "-p", "p", "-P", std::to_string(server.port()), "--retries",
                                 retries, "-c", "get /f " + local.file("f"), "127.0.0.1"},
                                options);
        EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
        EXPECT_EQ(server.ConnectionCount(), 2 + std::stoi(retries)) << server.Transcript();
        EXPECT_NE(result.err.find("重试" + std::string(retries) + "次后仍然失败: 登录失败"),
                  std::string::npos)
            << result.err;
        if (std::string(retries) == "1") {
            EXPECT_NE(result.err.find("重试 1/1: 登录失败"), std::string::npos) << result.err;
        }
    }
}

}  // namespace

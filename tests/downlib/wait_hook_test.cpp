// The wait hook of the synchronous client and the bounded QUIT wait: the hook
// runs on the calling thread while a command waits, its own time counts
// against the time-out, returning false abandons the wait, and the protocol
// is unchanged with a hook on a real server.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "downlib/ftp_engine.h"
#include "support/callback_recorder.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace {

using testsupport::Action;
using testsupport::CallbackRecorder;
using testsupport::FakeFtpServer;

bool Connect(downlib::DezAziveduza& client, FakeFtpServer& server, CallbackRecorder& log, int timeoutMs) {
    return client.Connect("ftp://127.0.0.1", "u", "p", server.port(), log.LogSink(), timeoutMs);
}

TEST(WaitHook, RunsOnTheCallingThreadWhileAGreetingIsAwaited) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.GreetWith(Action::Silence());
    downlib::DezAziveduza client;
    int calls = 0;
    bool otherThread = false;
    const auto self = std::this_thread::get_id();
    client.SetWaitHook([&] {
        ++calls;
        otherThread = otherThread || std::this_thread::get_id() != self;
        return true;
    });
    CallbackRecorder log;
    EXPECT_FALSE(Connect(client, server, log, 400));
    EXPECT_GT(calls, 0);
    EXPECT_FALSE(otherThread);
    // The wait ended by its time-out, not by the hook.
    EXPECT_TRUE(log.contains("3 接收数据超时")) << log.text();
}

TEST(WaitHook, TheHooksOwnTimeCountsAgainstTheTimeOut) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.GreetWith(Action::Silence());
    downlib::DezAziveduza client;
    int calls = 0;
    // Each call takes 100 ms. A 600 ms wait has room for at most six of them
    // (plus the one that overran); counting only the time spent polling, the
    // wait would last three times as long and call the hook about twelve times.
    client.SetWaitHook([&] {
        ++calls;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
    });
    CallbackRecorder log;
    EXPECT_FALSE(Connect(client, server, log, 600));
    EXPECT_GE(calls, 1);
    EXPECT_LE(calls, 8);
    EXPECT_TRUE(log.contains("3 接收数据超时")) << log.text();
}

TEST(WaitHook, AHookReturningFalseAbandonsTheWait) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.AddDirectory("/pub");
    server.SilentOn("CWD");
    downlib::DezAziveduza client;
    CallbackRecorder log;
    ASSERT_TRUE(Connect(client, server, log, 600000));
    int calls = 0;
    client.SetWaitHook([&] { return ++calls < 3; });
    log.clear();
    // Ten minutes of reply time-out; the hook gives up at its third call.
    EXPECT_FALSE(client.ChangeDir("/pub"));
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(log.contains("3 等待接收或发送数据错误")) << log.text();
    EXPECT_FALSE(log.contains("3 接收数据超时")) << log.text();
    // An empty hook is none: the next command is not cut short by it.
    client.SetWaitHook({});
    server.ClearRules();
    client.Disconnect(200);
}

TEST(WaitHook, CommandsOnARealServerAreUnchangedWithAHook) {
    testsupport::TempDir root("qftp-hook");
    testsupport::WriteFile(root.file("pub/a.txt"), "a");
    testsupport::MakeDirs(root.Path() + "/pub/sub");
    auto server = testsupport::RealServer::StartPyftpd(root.Path(), "demo", "demo");
    ASSERT_TRUE(server.ok()) << server.error();
    downlib::DezAziveduza client;
    int calls = 0;
    client.SetWaitHook([&] {
        ++calls;
        return true;
    });
    CallbackRecorder log;
    ASSERT_TRUE(client.Connect("ftp://127.0.0.1", "demo", "demo", server.port(), log.LogSink(), 5000))
        << log.text();
    EXPECT_TRUE(client.ChangeDir("/pub"));
    std::vector<std::string> names;
    EXPECT_EQ(client.ListDir(std::nullopt, &names, nullptr, nullptr, nullptr), 2) << log.text();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "sub"}));
    EXPECT_TRUE(client.MakeDir("/pub/new"));
    EXPECT_TRUE(client.RemoveDir("/pub/new"));
    EXPECT_EQ(client.GetCurrentDir(), "/pub");
    EXPECT_TRUE(client.Disconnect(1000));
    server.Stop();
}

// A server that never answers QUIT: with a ten-minute reply time-out, the
// bounded QUIT wait still lets Disconnect return. Before the bound existed
// this waited the whole ten minutes.
TEST(Disconnect, TheQuitWaitIsBoundedWhenAsked) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.SilentOn("QUIT");
    auto client = std::make_shared<downlib::DezAziveduza>();
    CallbackRecorder log;
    ASSERT_TRUE(Connect(*client, server, log, 600000));
    auto done = std::async(std::launch::async, [client] { return client->Disconnect(300); });
    const bool returned = done.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    // Whatever happened, the server going away releases the call.
    server.Stop();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(done.get());
    EXPECT_FALSE(client->IsConnected());
    EXPECT_TRUE(log.contains("1 QUIT")) << log.text();
}

}  // namespace

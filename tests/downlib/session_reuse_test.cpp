// A task taking a logged-in connection from the cache and giving it back:
// the liveness check against every way a cached connection can have gone
// stale (nothing of a failed check reaches the log), the lines a reused
// connection shows, and the conditions under which a connection goes back.
#include "downlib/session_reuse.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "support/fake_ftp_server.h"

namespace downlib {
namespace {

using namespace std::chrono_literals;
using testsupport::Action;
using testsupport::FakeFtpServer;
using Lines = std::vector<std::string>;

// A task session of the fake server with a cache, its log lines collected.
struct TaskSide {
    explicit TaskSide(const FakeFtpServer& server, std::shared_ptr<ConnectionCache> shared = nullptr)
        : cache(shared ? std::move(shared) : std::make_shared<ConnectionCache>()) {
        session.use = TaskUse::Download;
        session.host = "127.0.0.1";
        session.port = server.port();
        session.user = "u";
        session.password = "p";
        session.connectTimeout = session.sendTimeout = 5000;
        session.replyTimeout = 500;
        session.connectionCache = cache;
        session.queueLog = [this](SessionConnection*, LogRecord record) {
            std::lock_guard guard(lock);
            lines.push_back(std::to_string(record.kind) + " " + record.message);
        };
    }
    // Opens and logs in as a task does, then hands the connection to the cache.
    bool Seed() {
        SessionConnection connection(session);
        connection.SetRunFlag(RunFlag::Running);
        connection.control = OpenTcpSocket();
        if (OpenControlConnection(connection, true, 5000) != OpenResult::Ok) return false;
        return ReturnLoggedInConnection(connection);
    }
    Lines Log() {
        std::lock_guard guard(lock);
        return lines;
    }
    void ClearLog() {
        std::lock_guard guard(lock);
        lines.clear();
    }

    std::shared_ptr<ConnectionCache> cache;
    TransferSession session;
    std::mutex lock;
    Lines lines;
};

TEST(SessionReuse, OnlyARecentlyAnsweringBinaryConnectionSkipsTheCheck) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point now = Clock::now();
    struct Case {
        const char* name;
        std::optional<bool> binary;
        Clock::duration sinceAnswer;  // negative: an answer time after now
        bool skips;
    };
    const Case cases[] = {
        {"binary, just answered", true, 0ms, true},
        {"binary, answered a second ago", true, 1s, true},
        {"binary, at the limit", true, kQuietReuseLimit, false},
        {"binary, long idle", true, 60s, false},
        {"ASCII type", false, 0ms, false},
        {"type unknown", std::nullopt, 0ms, false},
        {"answer time ahead of now", true, -1s, false},
    };
    for (const Case& c : cases) {
        ConnectionFacts facts;
        facts.binary = c.binary;
        facts.lastAnswer = now - c.sinceAnswer;
        EXPECT_EQ(IsRecentlyQuiet(facts, now), c.skips) << c.name;
    }
}

TEST(SessionReuse, ALiveConnectionReplacesTheConnectAndLogInLines) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    TaskSide task(server);
    task.session.dataMode = kDataActive;  // what the giving task had fallen back to
    ASSERT_TRUE(task.Seed());
    task.ClearLog();

    TaskSide next(server, task.cache);  // a later task of the same object
    SessionConnection connection(next.session);
    connection.SetRunFlag(RunFlag::Running);
    ASSERT_TRUE(TakeLoggedInConnection(connection));
    EXPECT_TRUE(connection.control);
    EXPECT_EQ(next.Log(), (Lines{"0 使用已登录的连接 [127.0.0.1:" + std::to_string(server.port()) + "]",
                                 "2 TYPE I", "2 200 Switching to Binary mode."}));
    EXPECT_EQ(next.session.serverAddress, "127.0.0.1");
    EXPECT_EQ(next.session.dataMode.load(), kDataActive);
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(server.CommandsOf(1), (Lines{"USER u", "PASS p", "TYPE I"}));
}

TEST(SessionReuse, AFailedCheckIsSilentClosesTheConnectionAndEndsTheKeysOthers) {
    struct Case {
        const char* name;
        std::function<void(FakeFtpServer&)> spoil;  // after the connections were cached
    };
    const Case cases[] = {
        {"421 and close", [](FakeFtpServer& s) { s.On("TYPE", Action::ReplyAndClose("421 Timeout.\r\n")); }},
        {"close", [](FakeFtpServer& s) { s.CloseOn("TYPE"); }},
        {"refused", [](FakeFtpServer& s) { s.Reply("TYPE", "530 Please login with USER and PASS.\r\n"); }},
        {"silent", [](FakeFtpServer& s) { s.SilentOn("TYPE"); }},
        {"out of step", [](FakeFtpServer& s) { s.Reply("TYPE", "200 ok\r\n200 and an extra line\r\n"); }},
        {"no final line", [](FakeFtpServer& s) { s.Reply("TYPE", "200-still going\r\n"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        TaskSide task(server);
        ASSERT_TRUE(task.Seed());
        ASSERT_TRUE(task.Seed());
        ASSERT_EQ(task.cache->Size(), 2u);
        c.spoil(server);
        task.ClearLog();
        task.session.dataMode = kDataPassive;

        SessionConnection connection(task.session);
        connection.SetRunFlag(RunFlag::Running);
        EXPECT_FALSE(TakeLoggedInConnection(connection));
        EXPECT_FALSE(connection.control);
        EXPECT_EQ(task.Log(), Lines{});
        EXPECT_EQ(task.session.dataMode.load(), kDataPassive);
        EXPECT_EQ(task.cache->Size(), 0u);
        EXPECT_EQ(server.CountCommands("TYPE"), 1) << server.Transcript();
    }
}

TEST(SessionReuse, AServerThatDroppedItsSessionsIsNotAskedAtAll) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TaskSide task(server);
    ASSERT_TRUE(task.Seed());
    server.DropConnections();  // a restart between two tasks
    ASSERT_TRUE(server.WaitForAllClosed(5s));
    SessionConnection connection(task.session);
    connection.SetRunFlag(RunFlag::Running);
    EXPECT_FALSE(TakeLoggedInConnection(connection));
    EXPECT_EQ(server.CountCommands("TYPE"), 0);
    EXPECT_EQ(task.cache->Size(), 0u);
}

TEST(SessionReuse, OtherCredentialsOrAnotherPortNeverGetTheConnection) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TaskSide task(server);
    ASSERT_TRUE(task.Seed());
    const struct {
        std::string user;
        std::string password;
        int portShift;
    } cases[] = {{"u", "changed", 0}, {"other", "p", 0}, {"u", "p", 1}};
    for (const auto& c : cases) {
        TaskSide other(server, task.cache);
        other.session.user = c.user;
        other.session.password = c.password;
        other.session.port = static_cast<std::uint16_t>(server.port() + c.portShift);
        SessionConnection connection(other.session);
        connection.SetRunFlag(RunFlag::Running);
        EXPECT_FALSE(TakeLoggedInConnection(connection)) << c.user << " " << c.portShift;
    }
    EXPECT_EQ(task.cache->Size(), 1u);
    EXPECT_EQ(server.CountCommands("TYPE"), 0);
}

TEST(SessionReuse, OnlyACleanConnectionOfARunningTaskGoesBack) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    enum class Spoil { None, DataOpen, ReadAhead, ConnectionStopped, TaskStopped, NoCache };
    const struct {
        Spoil spoil;
        bool kept;
    } cases[] = {{Spoil::None, true},         {Spoil::DataOpen, false},
                 {Spoil::ReadAhead, false},   {Spoil::ConnectionStopped, false},
                 {Spoil::TaskStopped, false}, {Spoil::NoCache, false}};
    for (const auto& c : cases) {
        TaskSide task(server);
        SessionConnection connection(task.session);
        connection.SetRunFlag(RunFlag::Running);
        connection.control = OpenTcpSocket();
        ASSERT_EQ(OpenControlConnection(connection, true, 5000), OpenResult::Ok);
        switch (c.spoil) {
            case Spoil::None:
                break;
            case Spoil::DataOpen:
                connection.data = OpenTcpSocket();
                break;
            case Spoil::ReadAhead:
                connection.control.ReadAhead() = "226 late\r\n";
                break;
            case Spoil::ConnectionStopped:
                connection.SetRunFlag(RunFlag::StopAsked);
                break;
            case Spoil::TaskStopped:
                task.session.RequestStop();
                break;
            case Spoil::NoCache:
                task.session.connectionCache.reset();
                break;
        }
        EXPECT_EQ(ReturnLoggedInConnection(connection), c.kept) << static_cast<int>(c.spoil);
        EXPECT_EQ(static_cast<bool>(connection.control), !c.kept) << "a refused connection stays the task's";
        EXPECT_EQ(task.cache->Size(), c.kept ? 1u : 0u);
    }
}

}  // namespace
}  // namespace downlib

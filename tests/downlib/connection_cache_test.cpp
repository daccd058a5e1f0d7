// The cache of logged-in control connections on its own, with real logged-in
// connections to the fake server: which key finds which connection, the
// bound per key, the idle reaper's QUIT, servers that speak or hang up on an
// idle connection, the stop flag, closing everything, and many threads
// taking and giving at once (one owner per connection at any time).
#include "downlib/connection_cache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "downlib/control_connection.h"
#include "downlib/session.h"
#include "support/fake_ftp_server.h"

namespace downlib {
namespace {

using namespace std::chrono_literals;
using testsupport::FakeFtpServer;

// A control connection logged in to the server the way a task opens one.
CachedConnection LoggedIn(const FakeFtpServer& server, const std::string& user = "u",
                          const std::string& password = "p") {
    TransferSession session;
    session.host = "127.0.0.1";
    session.port = server.port();
    session.user = user;
    session.password = password;
    session.connectTimeout = session.replyTimeout = session.sendTimeout = 5000;
    SessionConnection connection(session);
    connection.control = OpenTcpSocket();
    CachedConnection cached;
    if (OpenControlConnection(connection, true, 5000) != OpenResult::Ok) return cached;
    cached.control = std::move(connection.control);
    cached.serverAddress = "127.0.0.1";
    cached.quitWaitMs = 1000;
    return cached;
}

CacheKey KeyFor(const FakeFtpServer& server, const std::string& user = "u",
                const std::string& password = "p") {
    return MakeCacheKey("127.0.0.1", server.port(), user, password);
}

TEST(ConnectionCache, OnlyTheSameServerPortUserAndPasswordFindAConnection) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    const std::uint16_t port = server.port();
    const struct {
        CacheKey asked;
        bool found;
    } cases[] = {
        {MakeCacheKey("127.0.0.1", port, "u", "p"), true},
        {MakeCacheKey("LOCALHOST", port, "u", "p"), false},  // another host text, even if the same host
        {MakeCacheKey("127.0.0.1", static_cast<std::uint16_t>(port + 1), "u", "p"), false},
        {MakeCacheKey("127.0.0.1", port, "U", "p"), false},  // user names are case-sensitive
        {MakeCacheKey("127.0.0.1", port, "u", "P"), false},
        {MakeCacheKey("127.0.0.1", port, "u", ""), false},
        {MakeCacheKey("127.0.0.1", port, "", "p"), false},
        // A connection kept from a plain session never serves an encrypted one.
        {MakeCacheKey("127.0.0.1", port, "u", "p", TlsMode::Auto), false},
        {MakeCacheKey("127.0.0.1", port, "u", "p", TlsMode::Required), false},
        {MakeCacheKey("127.0.0.1", port, "u", "p", TlsMode::Implicit), false},
    };
    for (const auto& c : cases) {
        ConnectionCache cache;
        CachedConnection given = LoggedIn(server);
        ASSERT_TRUE(given.control);
        const int fd = given.control.fd();
        ASSERT_TRUE(cache.Give(MakeCacheKey("127.0.0.1", port, "u", "p"), given));
        EXPECT_FALSE(given.control) << "a kept connection is the cache's";
        std::optional<CachedConnection> taken = cache.Take(c.asked);
        EXPECT_EQ(taken.has_value(), c.found) << c.asked.host << " " << c.asked.user;
        if (taken) {
            EXPECT_EQ(taken->control.fd(), fd);
            EXPECT_EQ(cache.Size(), 0u);
        } else {
            EXPECT_EQ(cache.Size(), 1u);
        }
    }
}

TEST(ConnectionCache, HostNamesAreComparedWithoutCase) {
    EXPECT_EQ(MakeCacheKey("FTP.Example.ORG", 21, "u", "p"), MakeCacheKey("ftp.example.org", 21, "u", "p"));
    EXPECT_FALSE(MakeCacheKey("ftp.example.org", 21, "u", "p") ==
                 MakeCacheKey("ftp.example.org", 2121, "u", "p"));
}

TEST(ConnectionCache, TheMostRecentlyGivenConnectionIsTakenFirst) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache;
    CachedConnection first = LoggedIn(server);
    CachedConnection second = LoggedIn(server);
    const int firstFd = first.control.fd();
    const int secondFd = second.control.fd();
    ASSERT_TRUE(cache.Give(KeyFor(server), first));
    ASSERT_TRUE(cache.Give(KeyFor(server), second));
    EXPECT_EQ(cache.Take(KeyFor(server))->control.fd(), secondFd);
    EXPECT_EQ(cache.Take(KeyFor(server))->control.fd(), firstFd);
    EXPECT_FALSE(cache.Take(KeyFor(server)).has_value());
}

TEST(ConnectionCache, AFifthConnectionOfAKeyEndsTheLongestIdleOneWithQuit) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache;
    for (int i = 0; i < 5; ++i) {
        CachedConnection c = LoggedIn(server);
        ASSERT_TRUE(cache.Give(KeyFor(server), c));
    }
    CachedConnection other = LoggedIn(server, "v", "p");
    ASSERT_TRUE(cache.Give(KeyFor(server, "v"), other));
    EXPECT_EQ(cache.Size(KeyFor(server)), ConnectionCache::kPerKeyLimit);
    EXPECT_EQ(cache.Size(KeyFor(server, "v")), 1u);
    ASSERT_TRUE(server.WaitForCommand("QUIT", 5s)) << server.Transcript();
    EXPECT_EQ(server.CountCommands("QUIT"), 1);
    // The first connection was the longest idle one.
    EXPECT_EQ(server.CommandsOf(1).back(), "QUIT") << server.Transcript();
}

TEST(ConnectionCache, AConnectionIdleForTheLimitIsEndedWithQuit) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache(300ms);
    CachedConnection c = LoggedIn(server);
    ASSERT_TRUE(cache.Give(KeyFor(server), c));
    ASSERT_TRUE(server.WaitForCommand("QUIT", 10s)) << server.Transcript();
    ASSERT_TRUE(server.WaitForAllClosed(5s));
    EXPECT_EQ(cache.Size(), 0u);
    EXPECT_EQ(cache.IdleClosed(), 1);
    EXPECT_FALSE(cache.Take(KeyFor(server)).has_value());
}

TEST(ConnectionCache, UseKeepsAConnectionAlivePastTheIdleLimit) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache(400ms);
    CachedConnection c = LoggedIn(server);
    ASSERT_TRUE(cache.Give(KeyFor(server), c));
    // Taken and given back again and again, for several idle limits in all.
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(100ms);
        std::optional<CachedConnection> taken = cache.Take(KeyFor(server));
        ASSERT_TRUE(taken.has_value()) << "round " << i;
        ASSERT_TRUE(cache.Give(KeyFor(server), *taken));
    }
    EXPECT_EQ(server.CountCommands("QUIT"), 0);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(ConnectionCache, AServerThatSpeaksOrHangsUpOnAnIdleConnectionLosesItWithoutQuit) {
    enum class Fault { IdleTimeout421, Restart };
    for (Fault fault : {Fault::IdleTimeout421, Fault::Restart}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        ConnectionCache cache;  // the 15-second limit: only the server ends it
        if (fault == Fault::IdleTimeout421) server.SetIdleTimeout(1s);
        CachedConnection c = LoggedIn(server);
        ASSERT_TRUE(c.control);
        ASSERT_TRUE(cache.Give(KeyFor(server), c));
        if (fault == Fault::Restart) server.DropConnections();
        ASSERT_TRUE(server.WaitForAllClosed(10s));
        // Either the reaper saw it go, or the taker does now.
        EXPECT_FALSE(cache.Take(KeyFor(server)).has_value());
        EXPECT_EQ(cache.ServerClosed(), 1);
        EXPECT_EQ(cache.IdleClosed(), 0);
        EXPECT_EQ(server.CountCommands("QUIT"), 0);
    }
}

TEST(ConnectionCache, ANewConnectionIsRefusedWhenItIsNotClean) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache;

    CachedConnection unread = LoggedIn(server);
    const char noop[] = "NOOP\r\n";
    ASSERT_EQ(SendWithTimeout(unread.control.fd(), 1000, noop, sizeof noop - 1), 6);
    ASSERT_TRUE(server.WaitForCommand("NOOP", 5s));
    ASSERT_EQ(PollPeer(unread.control.fd(), 5000), PeerState::Readable);  // its reply waits unread
    EXPECT_FALSE(cache.Give(KeyFor(server), unread));
    EXPECT_TRUE(unread.control) << "a refused connection stays with the giver";

    CachedConnection readAhead = LoggedIn(server);
    readAhead.control.ReadAhead() = "200 late\r\n";
    EXPECT_FALSE(cache.Give(KeyFor(server), readAhead));

    CachedConnection closed = LoggedIn(server);
    server.DropConnections();
    ASSERT_TRUE(server.WaitForAllClosed(5s));
    EXPECT_FALSE(cache.Give(KeyFor(server), closed));

    CachedConnection none;
    EXPECT_FALSE(cache.Give(KeyFor(server), none));
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(ConnectionCache, AStoppedTaskGivesNothingAndAShutCacheKeepsNothing) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache;
    std::atomic<StopFlag> stopFlag{StopFlag::Raised};
    CachedConnection stopped = LoggedIn(server);
    EXPECT_FALSE(cache.Give(KeyFor(server), stopped, &stopFlag));
    EXPECT_TRUE(stopped.control);
    stopFlag = StopFlag::Clear;
    EXPECT_TRUE(cache.Give(KeyFor(server), stopped, &stopFlag));

    cache.CloseAll(true);
    CachedConnection late = LoggedIn(server);
    EXPECT_FALSE(cache.Give(KeyFor(server), late));
    EXPECT_EQ(cache.Size(), 0u);
}

TEST(ConnectionCache, CloseAllEndsEveryConnectionWithQuitAndTheCacheStaysUsable) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache;
    for (const char* user : {"a", "b", "c"}) {
        CachedConnection c = LoggedIn(server, user);
        ASSERT_TRUE(cache.Give(KeyFor(server, user), c));
    }
    cache.CloseAll();
    EXPECT_EQ(cache.Size(), 0u);
    EXPECT_EQ(server.CountCommands("QUIT"), 3);
    EXPECT_TRUE(server.WaitForAllClosed(5s));
    CachedConnection again = LoggedIn(server);
    EXPECT_TRUE(cache.Give(KeyFor(server), again));
}

TEST(ConnectionCache, ASilentServerCannotHoldUpTheEnd) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SilentOn("QUIT");
    {
        ConnectionCache cache;
        for (int i = 0; i < 3; ++i) {
            CachedConnection c = LoggedIn(server);
            c.quitWaitMs = 200;
            ASSERT_TRUE(cache.Give(KeyFor(server), c));
        }
    }  // the destructor waits for the replies at most the stop wait, then closes
    EXPECT_EQ(server.CountCommands("QUIT"), 3);
    EXPECT_TRUE(server.WaitForAllClosed(5s));
}

TEST(ConnectionCache, ManyThreadsNeverShareAConnection) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    ConnectionCache cache(200ms);  // the reaper runs meanwhile too
    for (int i = 0; i < 4; ++i) {
        CachedConnection c = LoggedIn(server);
        ASSERT_TRUE(cache.Give(KeyFor(server), c));
    }
    std::mutex inUseLock;
    std::set<int> inUse;
    std::atomic<int> shared{0};
    std::atomic<int> takes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < 200; ++round) {
                std::optional<CachedConnection> taken = cache.Take(KeyFor(server));
                if (!taken) {
                    std::this_thread::yield();
                    continue;
                }
                ++takes;
                const int fd = taken->control.fd();
                {
                    std::lock_guard guard(inUseLock);
                    if (!inUse.insert(fd).second) ++shared;
                }
                std::this_thread::yield();
                {
                    std::lock_guard guard(inUseLock);
                    inUse.erase(fd);
                }
                cache.Give(KeyFor(server), *taken);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.load(), 0);
    EXPECT_GT(takes.load(), 0);
    EXPECT_LE(cache.Size(), ConnectionCache::kPerKeyLimit);
}

}  // namespace
}  // namespace downlib

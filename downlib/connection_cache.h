// The cache of logged-in control connections of one Download object. A task
// that ended well leaves its control connection here, still logged in, and
// the next task for the same server and account takes it instead of
// connecting and logging in again: on servers whose log-in costs 0.15 to
// 0.5 s, many small files are otherwise mostly log-ins.
//
// A cached connection belongs to exactly one party at a time: the cache or
// the one task that took it. An idle reaper thread closes a connection after
// kIdleLimit without use (with QUIT), and at once when the server speaks or
// closes on it unasked (a 421 of an idle server). At most kPerKeyLimit
// connections are kept per key. CloseAll ends them all within a bounded
// wait. What a task does with a connection it takes (the liveness check, the
// log line) lives in session_reuse.h; this module knows only sockets.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "downlib/connection_facts.h"
#include "downlib/ftp_engine.h"
#include "downlib/socket_transport.h"

namespace downlib {

// Everything that makes two log-ins the same. The host is the task's host
// text with ASCII letters folded, before any name resolution.
struct CacheKey {
    std::string host;
    std::uint16_t port = 21;
    std::string user;
    std::string password;
    // A connection kept from a plain session must never serve an encrypted one.
    TlsMode tls = TlsMode::Off;

    bool operator==(const CacheKey& other) const = default;
};

CacheKey MakeCacheKey(const std::string& host, std::uint16_t port, const std::string& user,
                      const std::string& password, TlsMode tls = TlsMode::Off);

// A logged-in control connection at a clean point (every reply read, no data
// channel open) and what the next task needs of the session it came from.
struct CachedConnection {
    Socket control;
    std::string serverAddress;  // dotted IPv4 the socket is connected to
    int dataMode = 1;           // the session's data mode (DataMode)
    int quitWaitMs = 1000;      // the giving task's stop wait: the bound of the QUIT that ends it
    ConnectionFacts facts;      // its type and restart probe answer, and when it last answered
};

class ConnectionCache {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kIdleLimit{15000};
    static constexpr std::size_t kPerKeyLimit = 4;
    // How often the reaper looks at the idle connections for unasked replies.
    static constexpr std::chrono::milliseconds kWatchInterval{250};

    // Connections idle for `idleLimit` are ended; without one, the
    // engine-wide limit (kIdleLimit unless a test changed it).
    ConnectionCache();
    explicit ConnectionCache(std::chrono::milliseconds idleLimit);
    ~ConnectionCache();  // closes every connection and joins the reaper
    ConnectionCache(const ConnectionCache&) = delete;
    ConnectionCache& operator=(const ConnectionCache&) = delete;

    // The most recently given connection of the key, now the caller's. A
    // connection on which the server has spoken or that it has closed since
    // is closed on the way and never handed out.
    std::optional<CachedConnection> Take(const CacheKey& key);
    // Keeps a connection for the key; it is moved from only when kept.
    // Refused while `stopFlag` (the giving task's) is raised, after the cache
    // was shut, and when the socket is not clean (unread bytes, or the
    // server has closed it). With kPerKeyLimit connections of the key kept
    // already, the longest idle one is ended with QUIT.
    bool Give(const CacheKey& key, CachedConnection& connection,
              const std::atomic<StopFlag>* stopFlag = nullptr);
    // Ends every connection of the key (a task found one of them dead: the
    // others most likely are too).
    void Discard(const CacheKey& key);
    // Ends every connection with QUIT, all at once, waiting for the replies
    // at most the longest stop wait of the tasks that gave them, and never
    // more than `waitLimitMs` when given. With `shut`, nothing is kept from
    // now on.
    void CloseAll(bool shut = false, std::optional<int> waitLimitMs = std::nullopt);

    std::size_t Size() const;
    std::size_t Size(const CacheKey& key) const;
    // Connections ended by the reaper since the start: idle ones with QUIT,
    // and ones the server spoke on or closed.
    int IdleClosed() const;
    int ServerClosed() const;

private:
    struct Entry {
        CacheKey key;
        CachedConnection connection;
        Clock::time_point lastUse;
    };

    void Reap();
    void StartReaperLocked();

    const std::chrono::milliseconds idleLimit_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;  // oldest first
    bool shut_ = false;
    bool stopping_ = false;
    std::thread reaper_;
    int idleClosed_ = 0;
    int serverClosed_ = 0;
};

// Sends QUIT on each connection, then waits, all together, at most `waitMs`
// for the replies (or the server's close) before closing them. Nothing is
// logged: no task owns these connections any more.
void QuitAndClose(std::vector<CachedConnection> connections, int waitMs);

}  // namespace downlib

// The cache of logged-in control connections and its idle reaper.
#include "downlib/connection_cache.h"

#include <algorithm>
#include <system_error>

#include "downlib/engine_timings.h"

namespace downlib {
namespace {

// What a server may still send after QUIT (its 221, a banner) is read and
// dropped up to this much; a server that keeps talking is cut off.
constexpr std::int64_t kQuitDrainLimit = std::int64_t{64} * 1024;

char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

int LongestQuitWait(const std::vector<CachedConnection>& connections) {
    int wait = 0;
    for (const CachedConnection& c : connections) wait = std::max(wait, c.quitWaitMs);
    return wait;
}

}  // namespace

CacheKey MakeCacheKey(const std::string& host, std::uint16_t port, const std::string& user,
                      const std::string& password, TlsMode tls) {
    CacheKey key{host, port, user, password, tls};
    std::transform(key.host.begin(), key.host.end(), key.host.begin(), FoldCase);
    return key;
}

void QuitAndClose(std::vector<CachedConnection> connections, int waitMs) {
    static const char kQuit[] = "QUIT\r\n";
    for (CachedConnection& c : connections) {
        // An idle control connection always has room for six bytes: no wait.
        if (c.control) SendWithTimeout(c.control, -1, kQuit, sizeof kQuit - 1);
    }
    // The server answers 221 and closes; closing before its close would
    // answer its reply with a reset. One deadline for all of them.
    const auto deadline = ConnectionCache::Clock::now() + std::chrono::milliseconds(std::max(waitMs, 0));
    char scratch[512];
    for (CachedConnection& c : connections) {
        std::int64_t drained = 0;
        while (c.control && drained < kQuitDrainLimit) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              ConnectionCache::Clock::now());
            if (left.count() <= 0) break;
            int reads = 1;
            ReceiveOptions options;
            options.total = sizeof scratch;
            options.chunk = sizeof scratch;
            options.idleTimeoutMs = static_cast<int>(left.count());
            options.countLimit = &reads;
            std::int64_t n = ReceiveWithTimeout(c.control, scratch, options);
            if (n <= 0) break;  // closed, silent until the deadline, or broken
            drained += n;
        }
        c.control.Close();
    }
}

ConnectionCache::ConnectionCache()
    : ConnectionCache(std::chrono::milliseconds(ConnectionIdleLimitSetting().load())) {}

ConnectionCache::ConnectionCache(std::chrono::milliseconds idleLimit) : idleLimit_(idleLimit) {}

ConnectionCache::~ConnectionCache() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
        shut_ = true;
    }
    changed_.notify_all();
    if (reaper_.joinable()) reaper_.join();
    CloseAll(true);
}

std::optional<CachedConnection> ConnectionCache::Take(const CacheKey& key) {
    while (true) {
        std::optional<CachedConnection> taken;
        {
            std::lock_guard guard(lock_);
            // The most recently used first: the least likely to have timed out.
            auto it = std::find_if(entries_.rbegin(), entries_.rend(),
                                   [&](const Entry& entry) { return entry.key == key; });
            if (it == entries_.rend()) return std::nullopt;
            taken = std::move(it->connection);
            entries_.erase(std::next(it).base());
        }
        // Anything the server said meanwhile was not asked for (a 421 before
        // it hangs up): such a connection is out of step or gone.
        if (PollPeer(taken->control.fd(), 0) == PeerState::Quiet) return taken;
        taken->control.Close();
        std::lock_guard guard(lock_);
        ++serverClosed_;
    }
}

bool ConnectionCache::Give(const CacheKey& key, CachedConnection& connection,
                           const std::atomic<StopFlag>* stopFlag) {
    if (!connection.control || !connection.control.ReadAhead().empty()) return false;
    if (PollPeer(connection.control.fd(), 0) != PeerState::Quiet) return false;
    std::vector<CachedConnection> ended;
    bool wasEmpty = false;
    {
        std::lock_guard guard(lock_);
        // The flag is read under the lock that CloseAll takes after a stop
        // has set it: a connection is either refused here or closed there.
        if (shut_ || (stopFlag && stopFlag->load() == StopFlag::Raised)) return false;
        if (!reaper_.joinable()) {
            StartReaperLocked();
            if (!reaper_.joinable()) return false;  // nobody would ever end it
        }
        std::size_t kept = 0;
        for (const Entry& entry : entries_) kept += entry.key == key ? 1 : 0;
        for (auto it = entries_.begin(); kept >= kPerKeyLimit && it != entries_.end();) {
            if (it->key == key) {
                ended.push_back(std::move(it->connection));
                it = entries_.erase(it);
                --kept;
            } else {
                ++it;
            }
        }
        wasEmpty = entries_.empty();
        entries_.push_back(Entry{key, std::move(connection), Clock::now()});
    }
    // A reaper with connections to watch looks again within kWatchInterval
    // by itself; only one that waits on an empty cache needs waking.
    if (wasEmpty) changed_.notify_all();
    if (!ended.empty()) {
        int wait = LongestQuitWait(ended);
        QuitAndClose(std::move(ended), wait);
    }
    return true;
}

void ConnectionCache::Discard(const CacheKey& key) {
    std::vector<CachedConnection> ended;
    {
        std::lock_guard guard(lock_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (it->key == key) {
                ended.push_back(std::move(it->connection));
                it = entries_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // They are most likely dead; a live one still deserves its QUIT.
    int wait = LongestQuitWait(ended);
    QuitAndClose(std::move(ended), wait);
}

void ConnectionCache::CloseAll(bool shut, std::optional<int> waitLimitMs) {
    std::vector<CachedConnection> ended;
    {
        std::lock_guard guard(lock_);
        if (shut) shut_ = true;
        for (Entry& entry : entries_) ended.push_back(std::move(entry.connection));
        entries_.clear();
    }
    changed_.notify_all();
    int wait = LongestQuitWait(ended);
    if (waitLimitMs) wait = std::min(wait, std::max(*waitLimitMs, 0));
    QuitAndClose(std::move(ended), wait);
}

std::size_t ConnectionCache::Size() const {
    std::lock_guard guard(lock_);
    return entries_.size();
}

std::size_t ConnectionCache::Size(const CacheKey& key) const {
    std::lock_guard guard(lock_);
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                  [&](const Entry& entry) { return entry.key == key; }));
}

int ConnectionCache::IdleClosed() const {
    std::lock_guard guard(lock_);
    return idleClosed_;
}

int ConnectionCache::ServerClosed() const {
    std::lock_guard guard(lock_);
    return serverClosed_;
}

void ConnectionCache::StartReaperLocked() {
    try {
        reaper_ = std::thread([this] { Reap(); });
    } catch (const std::system_error&) {
        // No thread: Give refuses, and tasks log in as they would without a cache.
    }
}

void ConnectionCache::Reap() {
    std::unique_lock guard(lock_);
    while (!stopping_) {
        if (entries_.empty()) {
            changed_.wait(guard, [this] { return stopping_ || !entries_.empty(); });
            continue;
        }
        const auto now = Clock::now();
        auto wakeAt = now + kWatchInterval;
        std::vector<CachedConnection> idle;
        std::vector<CachedConnection> spoken;
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (now - it->lastUse >= idleLimit_) {
                idle.push_back(std::move(it->connection));
                it = entries_.erase(it);
            } else if (PollPeer(it->connection.control.fd(), 0) != PeerState::Quiet) {
                // A 421 of a server that ends idle sessions, or its close.
                spoken.push_back(std::move(it->connection));
                it = entries_.erase(it);
            } else {
                wakeAt = std::min(wakeAt, it->lastUse + idleLimit_);
                ++it;
            }
        }
        if (idle.empty() && spoken.empty()) {
            changed_.wait_until(guard, wakeAt);
            continue;
        }
        idleClosed_ += static_cast<int>(idle.size());
        serverClosed_ += static_cast<int>(spoken.size());
        guard.unlock();
        for (CachedConnection& c : spoken) c.control.Close();
        int wait = LongestQuitWait(idle);
        QuitAndClose(std::move(idle), wait);
        guard.lock();
    }
}

}  // namespace downlib

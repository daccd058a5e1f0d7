// Plain TCP over POSIX sockets with every wait bounded: connect that can be
// abandoned by a stop flag, send and receive with readiness waits, name
// resolution, dotted-quad checks and local addresses. Waits run in cycles of
// 10 ms so a stop request is noticed quickly. IPv4 only.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace downlib {

struct SessionConnection;
class TlsStream;

// Owns one socket descriptor; closes it when released. Closing and the
// stop path's shutdown take the same lock: a shutdown that raced a close
// could otherwise hit the descriptor number the system has just handed to
// someone else.
class Socket {
public:
    Socket();
    explicit Socket(int fd);
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    int Release() {
        std::lock_guard lock(closing_);
        return fd_.exchange(-1);
    }
    void Reset(int fd = -1);
    void Close() { Reset(); }
    // Wakes a thread blocked on this socket without releasing the descriptor.
    void Shutdown() const;
    // Bytes received on this socket but not consumed yet. They belong to this
    // descriptor, so they go when it is reset. Only the owning thread uses it.
    std::string& ReadAhead() { return readAhead_; }
    // The TLS layer once the connection is encrypted; it goes with the
    // descriptor. Only the owning thread uses it.
    TlsStream* Tls() const { return tls_.get(); }
    void AttachTls(std::unique_ptr<TlsStream> tls);

private:
    mutable std::mutex closing_;
    std::atomic<int> fd_{-1};
    std::string readAhead_;
    std::unique_ptr<TlsStream> tls_;
};

// The end of a whole exchange (a reply, a greeting, a listing): unlike an
// idle time-out, bytes that trickle in do not push it back.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    explicit Deadline(Clock::time_point at) : at_(at) {}
    static Deadline After(int milliseconds) {
        return Deadline(Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0)));
    }
    // Whole milliseconds left, 0 once passed.
    int RemainingMs() const;
    bool Passed() const { return Clock::now() >= at_; }
    Clock::time_point At() const { return at_; }

private:
    Clock::time_point at_;
};

inline constexpr int kWaitCycleMs = 10;
// How often a thread's wait hook runs while a wait lasts.
inline constexpr int kWaitHookIntervalMs = 50;

// While alive, every readiness wait on the calling thread calls the hook
// (when not null) every kWaitHookIntervalMs; a hook returning false fails the
// wait. Restores the thread's previous hook when it ends. Task threads never
// install one.
class ScopedWaitHook {
public:
    explicit ScopedWaitHook(const std::function<bool()>* hook);
    ~ScopedWaitHook();
    ScopedWaitHook(const ScopedWaitHook&) = delete;
    ScopedWaitHook& operator=(const ScopedWaitHook&) = delete;

private:
    const std::function<bool()>* previous_;
};

// Every readiness wait of the engine goes through one poll wrapper.
enum class Ready { Yes, No, Failed };
// Waits at most `timeoutMs` for the descriptor to become readable (or to
// have a connection to accept).
Ready WaitReadable(int fd, int timeoutMs);

// A new IPv4 stream socket in blocking mode; an invalid Socket on failure.
Socket OpenTcpSocket();
bool SetNonBlocking(int fd);
bool SetBlocking(int fd);

// A session's stop flag, watched by the waits below that can be abandoned.
enum class StopFlag : int { Clear = 0, Raised = 1 };

// 0, WaitFailed, ConnectTimeout, Stopped or a mapped socket error.
// A refused connection is an error, never a success. The wait is abandoned
// once `stopFlag` (when given) reads `stopValue`.
int ConnectWithTimeout(int fd, const std::string& ip, std::uint16_t port, int timeoutMs,
                       const std::atomic<StopFlag>* stopFlag, StopFlag stopValue = StopFlag::Raised);

// One send of the whole buffer after a writability wait (0 = no limit, -1 = no
// wait). Bytes sent, or WaitFailed, SendWaitTimeout, NotReady or a
// mapped socket error.
std::int64_t SendWithTimeout(int fd, int timeoutMs, const char* data, std::size_t length);
// The same through the socket's TLS layer when it has one.
std::int64_t SendWithTimeout(Socket& socket, int timeoutMs, const char* data, std::size_t length);

struct ReceiveOptions {
    SessionConnection* connection = nullptr;  // stop checks and accounting
    std::int64_t total = 1;                   // bytes wanted
    std::int64_t chunk = 1;                   // largest single read
    int idleTimeoutMs = 20000;
    int* countLimit = nullptr;            // returns after this many reads
    bool accounting = false;              // count into the session's totals
    std::int64_t* receivedOut = nullptr;  // bytes so far, on failure too
};

// Bytes received, or NoBuffer, WaitFailed, NotReady,
// ReceiveTimeout, PeerClosed or a mapped socket error. The time-out is
// an idle time-out counted in wait cycles; a stop request ends the call with
// the bytes so far.
std::int64_t ReceiveWithTimeout(int fd, char* buffer, ReceiveOptions options);
// The same through the socket's TLS layer when it has one. A TLS stream that
// ends without close_notify ends with PeerClosed as well; the stream's
// EndedCleanly tells the two apart.
std::int64_t ReceiveWithTimeout(Socket& socket, char* buffer, ReceiveOptions options);

// What the other end of a connection has done, seen without waiting longer
// than `waitMs`: nothing, sent bytes, closed its side, or reset the
// connection (a peer that closes with bytes of ours unread resets it).
enum class PeerState { Quiet, Readable, Closed, Reset };
PeerState PollPeer(int fd, int waitMs);
// The same, counting decrypted bytes waiting in the socket's TLS layer.
PeerState PollPeer(const Socket& socket, int waitMs);
// Ends our sending side only: the peer reads the end of the data and the
// connection stays open to hear how the peer closes it. An encrypted
// connection sends its close_notify first (waiting at most kCloseNotifyWaitMs
// for room), so that the peer can tell the end from a cut.
inline constexpr int kCloseNotifyWaitMs = 5000;
void ShutdownSending(const Socket& socket);
// Bytes sent on a TCP socket that the peer has not acknowledged yet (the
// send queue, SIOCOUTQ), or -1 when the system cannot tell.
std::int64_t UnacknowledgedBytes(int fd);
// Closes with a reset rather than an orderly end, so the peer cannot take
// what arrived for the whole of it.
void AbortConnection(Socket& socket);

// Engine-wide running totals, informational only.
std::int64_t BytesReceivedCounter();
std::int64_t BytesSentCounter();

}  // namespace downlib

// POSIX implementation of the socket transport. poll() rather than select():
// select's fixed descriptor set breaks above descriptor 1023.
#include "downlib/socket_transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "downlib/error_codes.h"
#include "downlib/session.h"
#include "downlib/tls_stream.h"

namespace downlib {
namespace {

std::atomic<std::int64_t> bytesReceived{0};
std::atomic<std::int64_t> bytesSent{0};

// Restores blocking mode on every way out of a connect.
class BlockingGuard {
public:
    explicit BlockingGuard(int fd) : fd_(fd) {}
    ~BlockingGuard() { SetBlocking(fd_); }
    BlockingGuard(const BlockingGuard&) = delete;
    BlockingGuard& operator=(const BlockingGuard&) = delete;

private:
    int fd_;
};

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// The wait hook of the calling thread (ScopedWaitHook).
struct ThreadWaitHook {
    const std::function<bool()>* hook = nullptr;
    Clock::time_point lastCall;
    // Callers count a wait that found nothing as its whole time-out. When the
    // hook made a wait last longer, the later waits of the thread are
    // shortened by that much, so the time-outs still bound the real time.
    Milliseconds owed{0};
};

thread_local ThreadWaitHook threadWaitHook;

Ready PollOnce(int fd, short events, int timeoutMs, short* revents) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, timeoutMs);
    if (n < 0) return errno == EINTR ? Ready::No : Ready::Failed;
    if (revents) *revents = p.revents;
    if (n == 0) return Ready::No;
    if (p.revents & POLLNVAL) return Ready::Failed;
    return Ready::Yes;
}

// Every readiness wait of the engine. With a wait hook on the thread, the
// wait is cut into slices and the hook runs between them.
Ready WaitFor(int fd, short events, int timeoutMs, short* revents = nullptr) {
    ThreadWaitHook& h = threadWaitHook;
    if (h.hook == nullptr) return PollOnce(fd, events, timeoutMs, revents);
    const bool bounded = timeoutMs >= 0;  // a negative time-out waits without end
    const Clock::time_point start = Clock::now();
    Milliseconds budget{bounded ? timeoutMs : 0};
    const Milliseconds paid = std::min(budget, h.owed);
    budget -= paid;
    h.owed -= paid;
    const Clock::time_point deadline = start + budget;
    while (true) {
        const Clock::time_point now = Clock::now();
        Milliseconds slice =
            std::max(Milliseconds{0},
                     std::chrono::ceil<Milliseconds>(h.lastCall + Milliseconds{kWaitHookIntervalMs} - now));
        bool last = false;
        if (bounded) {
            const Milliseconds left =
                std::max(Milliseconds{0}, std::chrono::ceil<Milliseconds>(deadline - now));
            if (left <= slice) {
                slice = left;
                last = true;
            }
        }
        const Ready ready = PollOnce(fd, events, static_cast<int>(slice.count()), revents);
        if (ready != Ready::No) return ready;
        if (last) {
            // The caller counts this wait as timeoutMs; what it really took
            // beyond that is owed by the next waits.
            const auto over = std::chrono::duration_cast<Milliseconds>(Clock::now() - deadline);
            h.owed = std::max(Milliseconds{0}, h.owed + over);
            return Ready::No;
        }
        h.lastCall = Clock::now();
        if (!(*h.hook)()) return Ready::Failed;
    }
}

bool ToSockaddr(const std::string& ip, std::uint16_t port, sockaddr_in& address) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return ::inet_pton(AF_INET, ip.c_str(), &address.sin_addr) == 1;
}

}  // namespace

ScopedWaitHook::ScopedWaitHook(const std::function<bool()>* hook) : previous_(threadWaitHook.hook) {
    threadWaitHook.hook = hook != nullptr && *hook ? hook : nullptr;
    threadWaitHook.lastCall = Clock::now();
    threadWaitHook.owed = Milliseconds{0};
}

ScopedWaitHook::~ScopedWaitHook() {
    threadWaitHook.hook = previous_;
    threadWaitHook.lastCall = Clock::now();
}

Ready WaitReadable(int fd, int timeoutMs) { return WaitFor(fd, POLLIN, timeoutMs); }

Socket::Socket() = default;
Socket::Socket(int fd) : fd_(fd) {}
Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept
    : fd_(other.Release()), readAhead_(std::move(other.readAhead_)), tls_(std::move(other.tls_)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Reset(other.Release());
        readAhead_ = std::move(other.readAhead_);
        tls_ = std::move(other.tls_);
    }
    return *this;
}

void Socket::AttachTls(std::unique_ptr<TlsStream> tls) { tls_ = std::move(tls); }

void Socket::Reset(int fd) {
    // The TLS state belongs to the old descriptor; it goes before the
    // descriptor number can be handed out again.
    tls_.reset();
    {
        std::lock_guard lock(closing_);
        int old = fd_.exchange(fd);
        if (old >= 0) ::close(old);
    }
    readAhead_.clear();
}

void Socket::Shutdown() const {
    std::lock_guard lock(closing_);
    int fd = fd_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

int Deadline::RemainingMs() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

Socket OpenTcpSocket() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return Socket();
    // Commands and replies are small; waiting for more bytes only adds latency.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return Socket(fd);
}

bool SetNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool SetBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

int ConnectWithTimeout(int fd, const std::string& ip, std::uint16_t port, int timeoutMs,
                       const std::atomic<StopFlag>* stopFlag, StopFlag stopValue) {
    int cycles = timeoutMs / kWaitCycleMs;
    if (cycles <= 0) cycles = 1;
    sockaddr_in address{};
    if (!ToSockaddr(ip, port, address)) return ToInt(ErrorCode::WsaInvalid);
    if (!SetNonBlocking(fd)) return ToInt(ErrorCode::SocketState);
    BlockingGuard guard(fd);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    ErrorCode code = ErrnoCode(errno);
    if (code != ErrorCode::WsaWouldBlock && code != ErrorCode::WsaInProgress) return ToInt(code);
    for (int i = 0; i < cycles; ++i) {
        short revents = 0;
        Ready ready = WaitFor(fd, POLLOUT | POLLIN, kWaitCycleMs, &revents);
        if (ready == Ready::Failed) return ToInt(ErrorCode::WaitFailed);
        if (ready == Ready::Yes) {
            // Writable also means "failed": the outcome is in SO_ERROR.
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                return ToInt(ErrorCode::SocketState);
            return error == 0 ? 0 : MapErrno(error);
        }
        if (stopFlag && stopFlag->load() == stopValue) return ToInt(ErrorCode::Stopped);
    }
    return ToInt(ErrorCode::ConnectTimeout);
}

std::int64_t SendWithTimeout(int fd, int timeoutMs, const char* data, std::size_t length) {
    int wait = timeoutMs == 0 ? -1 : (timeoutMs < 0 ? 0 : timeoutMs);
    short revents = 0;
    Ready ready = WaitFor(fd, POLLOUT, wait, &revents);
    if (ready == Ready::Failed) return ToInt(ErrorCode::WaitFailed);
    if (ready == Ready::No) return ToInt(ErrorCode::SendWaitTimeout);
    if (!(revents & (POLLOUT | POLLERR | POLLHUP))) return ToInt(ErrorCode::NotReady);
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 1) return n < 0 ? MapErrno(errno) : ToInt(ErrorCode::Unmapped);
    bytesSent += n;
    return n;
}

namespace {

// Bytes just read count in the engine's total and, for a transfer, in the
// session's figures.
void CountReceived(const ReceiveOptions& options, std::int64_t n) {
    bytesReceived += n;
    if (!options.accounting || !options.connection) return;
    TransferSession& session = *options.connection->session;
    std::lock_guard lock(session.progressLock);
    session.transferred += n;
    session.currentTransfer += n;
    options.connection->received += n;
}

}  // namespace

std::int64_t ReceiveWithTimeout(int fd, char* buffer, ReceiveOptions options) {
    if (!buffer) return ToInt(ErrorCode::NoBuffer);
    std::int64_t received = 0;
    int idle = 0;
    // Every way out tells the caller what arrived, a failure included.
    auto finish = [&](std::int64_t result) {
        if (options.receivedOut) *options.receivedOut = received;
        return result;
    };
    auto stopped = [&] { return options.connection && options.connection->StopRequested(); };
    // Counts n bytes just read; true when the call must return now.
    auto takeBytes = [&](std::int64_t n) {
        received += n;
        CountReceived(options, n);
        if (stopped()) return true;
        if (options.countLimit && --*options.countLimit <= 0) return true;
        idle = 0;
        options.total -= n;
        return false;
    };
    while (options.total > 0) {
        std::int64_t chunk = std::min(options.chunk, options.total);
        // Data that is already there needs no readiness wait: a transfer then
        // costs one system call per read instead of two.
        ssize_t ahead = ::recv(fd, buffer + received, static_cast<std::size_t>(chunk), MSG_DONTWAIT);
        if (ahead < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return finish(MapErrno(errno));
        if (ahead == 0) return finish(ToInt(ErrorCode::PeerClosed));
        if (ahead > 0) {
            if (takeBytes(ahead)) break;
            continue;
        }
        Ready ready = WaitFor(fd, POLLIN, kWaitCycleMs);
        if (ready == Ready::No) {
            idle += kWaitCycleMs;
            if (idle > options.idleTimeoutMs) return finish(ToInt(ErrorCode::ReceiveTimeout));
            if (stopped()) break;
            continue;
        }
        if (ready == Ready::Failed) return finish(ToInt(ErrorCode::WaitFailed));
        ssize_t n = ::recv(fd, buffer + received, static_cast<std::size_t>(chunk), 0);
        if (n == 0) return finish(ToInt(ErrorCode::PeerClosed));
        if (n < 0) {
            ErrorCode code = ErrnoCode(errno);
            if (code == ErrorCode::WsaWouldBlock || code == ErrorCode::WsaInterrupted) continue;
            return finish(ToInt(code));
        }
        if (takeBytes(n)) break;
    }
    return finish(received);
}

namespace {

short TlsEvents(const TlsStream& tls) { return tls.Waiting() == TlsWait::Writable ? POLLOUT : POLLIN; }

}  // namespace

std::int64_t SendWithTimeout(Socket& socket, int timeoutMs, const char* data, std::size_t length) {
    TlsStream* tls = socket.Tls();
    if (!tls) return SendWithTimeout(socket.fd(), timeoutMs, data, length);
    const bool unbounded = timeoutMs == 0;
    const Deadline deadline = Deadline::After(timeoutMs < 0 ? 0 : timeoutMs);
    while (true) {
        const std::int64_t n = tls->Write(data, length);
        if (n > 0) bytesSent += n;
        if (n != 0) return n;
        const int wait = unbounded ? -1 : deadline.RemainingMs();
        const Ready ready = WaitFor(socket.fd(), TlsEvents(*tls), wait);
        if (ready == Ready::Failed) return ToInt(ErrorCode::WaitFailed);
        if (ready == Ready::No) return ToInt(ErrorCode::SendWaitTimeout);
    }
}

std::int64_t ReceiveWithTimeout(Socket& socket, char* buffer, ReceiveOptions options) {
    TlsStream* tls = socket.Tls();
    if (!tls) return ReceiveWithTimeout(socket.fd(), buffer, options);
    if (!buffer) return ToInt(ErrorCode::NoBuffer);
    std::int64_t received = 0;
    int idle = 0;
    auto finish = [&](std::int64_t result) {
        if (options.receivedOut) *options.receivedOut = received;
        return result;
    };
    auto stopped = [&] { return options.connection && options.connection->StopRequested(); };
    while (options.total > 0) {
        const std::int64_t chunk = std::min(options.chunk, options.total);
        const std::int64_t n = tls->Read(buffer + received, static_cast<std::size_t>(chunk));
        if (n < 0) return finish(n);
        if (n > 0) {
            received += n;
            CountReceived(options, n);
            if (stopped()) break;
            if (options.countLimit && --*options.countLimit <= 0) break;
            idle = 0;
            options.total -= n;
            continue;
        }
        const Ready ready = WaitFor(socket.fd(), TlsEvents(*tls), kWaitCycleMs);
        if (ready == Ready::Failed) return finish(ToInt(ErrorCode::WaitFailed));
        if (ready == Ready::No) {
            idle += kWaitCycleMs;
            if (idle > options.idleTimeoutMs) return finish(ToInt(ErrorCode::ReceiveTimeout));
            if (stopped()) break;
        }
    }
    return finish(received);
}

PeerState PollPeer(int fd, int waitMs) {
    short revents = 0;
    Ready ready = WaitFor(fd, POLLIN | POLLRDHUP, waitMs, &revents);
    if (ready == Ready::Failed) return PeerState::Reset;
    if (ready == Ready::No) return PeerState::Quiet;
    char probe = 0;
    ssize_t n = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return PeerState::Readable;
    if (n == 0) return PeerState::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return (revents & (POLLRDHUP | POLLHUP)) ? PeerState::Closed : PeerState::Quiet;
    return PeerState::Reset;
}

PeerState PollPeer(const Socket& socket, int waitMs) {
    if (socket.Tls() && socket.Tls()->HasBuffered()) return PeerState::Readable;
    return PollPeer(socket.fd(), waitMs);
}

void ShutdownSending(const Socket& socket) {
    if (!socket) return;
    if (TlsStream* tls = socket.Tls()) {
        const Deadline deadline = Deadline::After(kCloseNotifyWaitMs);
        while (tls->SendCloseNotify() == TlsStep::Again) {
            if (WaitFor(socket.fd(), TlsEvents(*tls), deadline.RemainingMs()) != Ready::Yes) break;
        }
    }
    ::shutdown(socket.fd(), SHUT_WR);
}

void AbortConnection(Socket& socket) {
    if (!socket) return;
    linger hard{1, 0};
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    socket.Close();
}

std::int64_t BytesReceivedCounter() { return bytesReceived.load(); }
std::int64_t BytesSentCounter() { return bytesSent.load(); }

std::int64_t UnacknowledgedBytes(int fd) {
    int queued = 0;
    if (fd < 0 || ::ioctl(fd, SIOCOUTQ, &queued) != 0) return -1;
    return queued;
}

}  // namespace downlib

// The scriptable FTP server of the tests (see fake_ftp_server.h). One thread
// accepts; each control connection gets a thread of its own that reads
// command lines, records them, and answers from the test's rules or the
// built-in replies. Transfers run on the connection's thread, as on a simple
// real server, so a stalled data connection also keeps the control
// connection quiet. Every socket wait is a poll of at most kPollMs, so a stop
// is seen quickly.
#include "support/fake_ftp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "support/temp_dir.h"
#include "support/unique_fd.h"

namespace testsupport {

namespace {

constexpr int kPollMs = 20;
constexpr std::size_t kMaxLineBytes = 64 * 1024;               // a longer command line is refused
constexpr std::int64_t kMaxStreamBytes = 256LL * 1024 * 1024;  // cap of endless replies and data
constexpr std::int64_t kMaxUploadBytes = 256LL * 1024 * 1024;
// A window row that keeps failing makes 1 + 999 attempts, each on a new
// connection, besides the window's own session.
constexpr int kMaxConnections = 2000;
constexpr std::size_t kSendPiece = 64 * 1024;

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

// "retr a.txt" -> "RETR a.txt"; "rest" -> "REST". Whole-line keys keep their argument bytes.
std::string NormalizeKey(std::string_view key) {
    std::size_t space = key.find(' ');
    if (space == std::string_view::npos) return Upper(key);
    return Upper(key.substr(0, space)) + std::string(key.substr(space));
}

bool KeyMatches(const std::string& normalizedKey, const std::string& line) {
    std::string normalizedLine = NormalizeKey(line);
    if (normalizedKey.find(' ') != std::string::npos) return normalizedLine == normalizedKey;
    std::size_t space = normalizedLine.find(' ');
    return normalizedLine.substr(0, space) == normalizedKey;
}

std::string ParentOf(const std::string& path) {
    if (path == "/") return "/";
    std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Joins a client path onto the current directory and folds "." and "..".
std::string ResolvePath(const std::string& cwd, const std::string& arg) {
    std::string joined = (!arg.empty() && arg[0] == '/') ? arg : cwd + "/" + arg;
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= joined.size()) {
        std::size_t slash = joined.find('/', at);
        if (slash == std::string::npos) slash = joined.size();
        std::string part = joined.substr(at, slash - at);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    std::string out;
    for (const auto& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

bool IsBelow(const std::string& path, const std::string& dir) {
    if (dir == "/") return path != "/";
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

// Parses "h1,h2,h3,h4,p1,p2" into an IPv4 socket address.
std::optional<sockaddr_in> ParsePortArgument(const std::string& arg) {
    int values[6];
    std::size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        std::size_t end = arg.find(',', at);
        if ((i < 5) != (end != std::string::npos)) return std::nullopt;
        std::string field = arg.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (field.empty() || field.size() > 3 ||
            !std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        values[i] = std::stoi(field);
        if (values[i] > 255) return std::nullopt;
        at = end + 1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr =
        htonl((std::uint32_t(values[0]) << 24) | (values[1] << 16) | (values[2] << 8) | values[3]);
    addr.sin_port = htons(static_cast<std::uint16_t>(values[4] * 256 + values[5]));
    return addr;
}

std::optional<std::int64_t> ParseOffset(const std::string& arg) {
    if (arg.empty() || arg.size() > 18 ||
        !std::all_of(arg.begin(), arg.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoll(arg);
}

std::string QuotePath(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c;
        if (c == '"') out += '"';
    }
    return out;
}

UniqueFd ListenLoopback() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) return {};
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return {};
    if (::listen(fd.Get(), 16) != 0) return {};
    return fd;
}

std::uint16_t LocalPortOf(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

constexpr const char* kDefaultModified = "20200101000000";

// The time a store happens, in MDTM's digits (UTC), as a real server stamps it.
std::string NowDigits() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    ::gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &parts);
    return text;
}

bool IsTimeDigits(const std::string& text) {
    return text.size() == 14 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Bytes of a file: stored, or generated from a pattern (large files without the memory).
struct FileEntry {
    std::string bytes;
    std::int64_t patternSize = -1;
    std::uint32_t patternSeed = 0;
    std::string modified = kDefaultModified;  // MDTM's 14 digits

    std::int64_t Size() const {
        return patternSize >= 0 ? patternSize : static_cast<std::int64_t>(bytes.size());
    }
    std::string Read(std::int64_t offset, std::size_t length) const {
        if (offset >= Size()) return {};
        length = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(length), Size() - offset));
        if (patternSize >= 0) return PatternBytes(offset, length, patternSeed);
        return bytes.substr(static_cast<std::size_t>(offset), length);
    }
};

enum class SendResult { Complete, Dropped, PeerGone, Stopped };

// Whole copies of text, at least one send piece long.
std::string RepeatToPiece(const std::string& text) {
    std::string out = text;
    while (!text.empty() && out.size() < kSendPiece) out += text;
    return out;
}

const std::string& KeyOf(const std::string& value) { return value; }
template <typename Value>
const std::string& KeyOf(const std::pair<const std::string, Value>& entry) {
    return entry.first;
}
void SetKey(std::set<std::string>::node_type& node, std::string key) { node.value() = std::move(key); }
template <typename Node>
void SetKey(Node& node, std::string key) {
    node.key() = std::move(key);
}

// Renames `from` and everything below it to `to` in a set or map keyed by path.
template <typename Container>
void MoveSubtree(Container& container, const std::string& from, const std::string& to) {
    std::vector<std::string> keys;
    for (const auto& entry : container) {
        if (KeyOf(entry) == from || IsBelow(KeyOf(entry), from)) keys.push_back(KeyOf(entry));
    }
    for (const auto& key : keys) {
        auto node = container.extract(key);
        SetKey(node, to + key.substr(from.size()));
        container.insert(std::move(node));
    }
}

}  // namespace

Action Action::Reply(std::string raw) { return Action{Kind::Reply, std::move(raw), false, 0}; }
Action Action::ReplyAndClose(std::string raw) { return Action{Kind::Reply, std::move(raw), true, 0}; }
Action Action::Silence() { return Action{Kind::Silence, {}, false, 0}; }
Action Action::Close() { return Action{Kind::Close, {}, false, 0}; }
Action Action::Endless(std::string chunk) { return Action{Kind::Endless, std::move(chunk), false, 0}; }
Action Action::Trickle(std::string bytes, int intervalMs) {
    return Action{Kind::Trickle, std::move(bytes), false, 0, intervalMs};
}
Action Action::After(int ms) const {
    Action copy = *this;
    copy.delayMs = ms;
    return copy;
}

namespace detail {
struct FakeServerState {
    // Fixed after construction.
    UniqueFd listener;
    std::uint16_t port = 0;
    std::string error;
    std::atomic<bool> stopping{false};

    std::thread acceptor;
    std::mutex threadsMu;
    std::vector<std::thread> sessions;

    // Everything below is guarded by mu.
    mutable std::mutex mu;
    mutable std::condition_variable changed;

    Action greeting = Action::Reply("220 FakeFtp ready\r\n");
    std::deque<Action> greetingQueue;
    std::map<std::string, Action> lasting;
    std::map<std::string, std::deque<Action>> queued;
    std::optional<std::pair<std::string, std::string>> credentials;
    RestMode restMode = RestMode::Supported;
    bool binaryOnly = false;
    bool storeRestart = true;
    bool fileTimes = false;
    bool bottomless = false;
    bool strictPort = false;
    std::chrono::milliseconds dataTimeout{5000};
    std::chrono::milliseconds idleTimeout{0};  // 0: a session may idle for ever
    std::function<std::string(std::uint16_t)> pasvReply;
    std::set<int> controls;   // the open control connections' descriptors
    int connectionLimit = 0;  // connections served at once (0: no limit)
    std::string limitReply;   // to each connection beyond it
    int placesHeld = 0;       // connections counted against the limit

    std::map<std::string, FileEntry> files;
    std::set<std::string> dirs{"/"};
    std::map<std::string, std::string> listings;
    std::map<std::string, TransferFaults> faults;
    std::map<std::string, int> dropsDone;
    std::map<std::string, int> stallsDone;

    std::vector<ReceivedCommand> log;
    int connections = 0;
    int openConnections = 0;

    void AddParents(const std::string& path) {
        for (std::string dir = ParentOf(path); dirs.insert(dir).second && dir != "/"; dir = ParentOf(dir)) {
        }
    }

    bool SleepFor(int ms) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            if (stopping) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kPollMs)));
        }
        return !stopping;
    }

    // Waits for readiness of one descriptor; false on stop or when the time is up.
    bool WaitFor(int fd, short events, std::chrono::milliseconds limit, short* revents = nullptr) const {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (stopping) return false;
            pollfd p{fd, events, 0};
            int r = ::poll(&p, 1, kPollMs);
            if (r > 0) {
                if (revents != nullptr) *revents = p.revents;
                return true;
            }
            if (r < 0 && errno != EINTR) return false;
            if (std::chrono::steady_clock::now() >= until) return false;
        }
    }

    // Sends everything unless the peer goes away or the server stops.
    bool SendAll(int fd, std::string_view data) const {
        while (!data.empty()) {
            if (!WaitFor(fd, POLLOUT, std::chrono::hours(1))) return false;
            ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return false;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
};
}  // namespace detail

namespace {

using State = detail::FakeServerState;

// One control connection with its own current directory, restart marker,
// transfer type and pending data channel.
class Session {
public:
    Session(State& st, UniqueFd control, int id) : st_(st), control_(std::move(control)), id_(id) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(control_.Get(), reinterpret_cast<sockaddr*>(&peer), &len) == 0)
            peer_ = peer.sin_addr;
    }

    void Run() {
        {
            std::lock_guard lock(st_.mu);
            ++st_.openConnections;
            st_.controls.insert(control_.Get());
        }
        st_.changed.notify_all();
        if (TakePlace() && Perform(TakeGreeting())) {
            std::string line;
            bool crlf = false;
            while (ReadLine(line, crlf)) {
                Record(line, crlf);
                if (lineTooLong_) {
                    Send("500 Command line too long.\r\n");
                    break;
                }
                if (!Dispatch(line)) break;
            }
        }
        ReleasePlace();
        pasvListener_.Reset();
        {
            // Unlisted before the close: dropConnections never shuts a
            // descriptor number that the system has handed on.
            std::lock_guard lock(st_.mu);
            st_.controls.erase(control_.Get());
        }
        control_.Reset();
        {
            std::lock_guard lock(st_.mu);
            --st_.openConnections;
        }
        st_.changed.notify_all();
    }

private:
    // A server that serves only so many connections at once greets the one
    // beyond them with its refusal and closes it.
    bool TakePlace() {
        std::unique_lock lock(st_.mu);
        if (st_.connectionLimit <= 0) return true;
        if (st_.placesHeld >= st_.connectionLimit) {
            const std::string refusal = st_.limitReply;
            lock.unlock();
            Send(refusal);
            return false;
        }
        ++st_.placesHeld;
        holdsPlace_ = true;
        return true;
    }

    // As a real server counts a session that said QUIT as gone: its place is
    // free before the client can see the reply and connect again.
    void ReleasePlace() {
        std::lock_guard lock(st_.mu);
        if (holdsPlace_) --st_.placesHeld;
        holdsPlace_ = false;
    }

    Action TakeGreeting() {
        std::lock_guard lock(st_.mu);
        if (!st_.greetingQueue.empty()) {
            Action a = std::move(st_.greetingQueue.front());
            st_.greetingQueue.pop_front();
            return a;
        }
        return st_.greeting;
    }

    void Record(const std::string& line, bool crlf) {
        {
            std::lock_guard lock(st_.mu);
            st_.log.push_back(ReceivedCommand{id_, line, crlf});
        }
        st_.changed.notify_all();
    }

    bool Send(std::string_view bytes) { return st_.SendAll(control_.Get(), bytes); }

    // False when the control connection is to be closed.
    bool Perform(const Action& action) {
        if (action.delayMs > 0 && !st_.SleepFor(action.delayMs)) return false;
        switch (action.kind) {
            case Action::Kind::Reply:
                return Send(action.bytes) && !action.closeAfter;
            case Action::Kind::Silence:
                return true;
            case Action::Kind::Close:
                return false;
            case Action::Kind::Endless: {
                if (action.bytes.empty()) return false;
                std::string batch = RepeatToPiece(action.bytes);
                for (std::int64_t sent = 0; sent < kMaxStreamBytes;
                     sent += static_cast<std::int64_t>(batch.size())) {
                    if (!Send(batch)) break;
                }
                return false;
            }
            case Action::Kind::Trickle: {
                if (action.bytes.empty()) return false;
                for (std::int64_t sent = 0; sent < kMaxStreamBytes; ++sent) {
                    const std::size_t at = static_cast<std::size_t>(sent) % action.bytes.size();
                    if (!Send(std::string_view(action.bytes).substr(at, 1))) break;
                    if (!st_.SleepFor(action.intervalMs)) break;
                }
                return false;
            }
        }
        return false;
    }

    // Waits for the client's next bytes. A session idle since its last
    // command for the idle time-out (read anew while waiting, so a test can
    // set it on a session that waits already) is told so, as vsftpd's
    // idle_session_timeout does, and hung up on.
    bool WaitForInput() {
        const auto idleSince = std::chrono::steady_clock::now();
        while (true) {
            std::chrono::milliseconds idle;
            {
                std::lock_guard lock(st_.mu);
                idle = st_.idleTimeout;
            }
            if (st_.WaitFor(control_.Get(), POLLIN, std::chrono::milliseconds(kPollMs))) return true;
            if (st_.stopping) return false;
            if (idle.count() > 0 && std::chrono::steady_clock::now() - idleSince >= idle) {
                Send("421 Timeout.\r\n");
                return false;
            }
        }
    }

    // Reads one line ending in LF (CR LF or bare LF). A last piece without a
    // line end, cut by the client's close, is still returned once.
    bool ReadLine(std::string& line, bool& crlf) {
        for (;;) {
            std::size_t lf = input_.find('\n');
            if (lf != std::string::npos) {
                line = input_.substr(0, lf);
                input_.erase(0, lf + 1);
                crlf = !line.empty() && line.back() == '\r';
                if (crlf) line.pop_back();
                return true;
            }
            if (input_.size() > kMaxLineBytes || peerClosed_) {
                if (input_.empty()) return false;
                lineTooLong_ = input_.size() > kMaxLineBytes;
                line = std::move(input_);
                input_.clear();
                crlf = false;
                peerClosed_ = true;  // nothing after a cut line is read
                return true;
            }
            if (!WaitForInput()) return false;
            char buffer[4096];
            ssize_t n = ::recv(control_.Get(), buffer, sizeof buffer, 0);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                peerClosed_ = true;
            } else if (n == 0) {
                peerClosed_ = true;
            } else {
                input_.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }

    std::optional<Action> TakeRule(const std::string& line) {
        std::lock_guard lock(st_.mu);
        std::string whole = NormalizeKey(line);
        std::string verb = whole.substr(0, whole.find(' '));
        for (const std::string& key : {whole, verb}) {
            auto q = st_.queued.find(key);
            if (q != st_.queued.end() && !q->second.empty()) {
                Action a = std::move(q->second.front());
                q->second.pop_front();
                return a;
            }
        }
        for (const std::string& key : {whole, verb}) {
            auto l = st_.lasting.find(key);
            if (l != st_.lasting.end()) return l->second;
        }
        return std::nullopt;
    }

    bool Dispatch(const std::string& line) {
        if (auto rule = TakeRule(line)) return Perform(*rule);
        std::size_t space = line.find(' ');
        std::string verb = Upper(line.substr(0, space));
        std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);
        return BuiltIn(verb, arg);
    }

    bool LoginRequired(const std::string& verb) {
        std::lock_guard lock(st_.mu);
        if (!st_.credentials || loggedIn_) return false;
        static const std::set<std::string> open = {"USER", "PASS", "QUIT", "FEAT", "SYST", "NOOP"};
        return open.count(verb) == 0;
    }

    bool BuiltIn(const std::string& verb, const std::string& arg) {
        if (LoginRequired(verb)) return Send("530 Please login with USER and PASS.\r\n");
        if (verb == "USER") {
            user_ = arg;
            loggedIn_ = false;
            return Send("331 Please specify the password.\r\n");
        }
        if (verb == "PASS") {
            std::unique_lock lock(st_.mu);
            bool good =
                !st_.credentials || (st_.credentials->first == user_ && st_.credentials->second == arg);
            lock.unlock();
            loggedIn_ = good;
            return Send(good ? "230 Login successful.\r\n" : "530 Login incorrect.\r\n");
        }
        if (verb == "QUIT") {
            ReleasePlace();
            Send("221 Goodbye.\r\n");
            return false;
        }
        if (verb == "SYST") return Send("215 UNIX Type: L8\r\n");
        if (verb == "FEAT") {
            std::string extra;
            {
                std::lock_guard guard(st_.mu);
                if (st_.fileTimes) extra = " MDTM\r\n MFMT\r\n";
            }
            return Send("211-Features:\r\n SIZE\r\n REST STREAM\r\n" + extra + "211 End\r\n");
        }
        if (verb == "NOOP") return Send("200 NOOP ok.\r\n");
        if (verb == "ABOR") return Send("225 No transfer to ABOR.\r\n");
        if (verb == "TYPE") return Type(arg);
        if (verb == "MODE" || verb == "STRU") return Send("200 Mode set.\r\n");
        if (verb == "PWD" || verb == "XPWD") {
            return Send("257 \"" + QuotePath(cwd_) + "\" is the current directory\r\n");
        }
        if (verb == "CWD" || verb == "XCWD") return ChangeDirectory(ResolvePath(cwd_, arg));
        if (verb == "CDUP" || verb == "XCUP") return ChangeDirectory(ParentOf(cwd_));
        if (verb == "MKD" || verb == "XMKD") return MakeDirectory(ResolvePath(cwd_, arg));
        if (verb == "RMD" || verb == "XRMD") return RemoveDirectory(ResolvePath(cwd_, arg));
        if (verb == "DELE") return DeleteFile(ResolvePath(cwd_, arg));
        if (verb == "RNFR") return RenameFrom(ResolvePath(cwd_, arg));
        if (verb == "RNTO") return RenameTo(ResolvePath(cwd_, arg));
        if (verb == "SIZE") return Size(ResolvePath(cwd_, arg));
        if ((verb == "MDTM" || verb == "MFMT") && FileTimesOn()) return FileTime(verb == "MFMT", arg);
        if (verb == "REST") return Restart(arg);
        if (verb == "PASV") return Passive();
        if (verb == "PORT") return Active(arg);
        if (verb == "LIST" || verb == "NLST") return List(verb == "NLST", arg);
        if (verb == "RETR") return Retrieve(ResolvePath(cwd_, arg));
        if (verb == "STOR") return Store(ResolvePath(cwd_, arg), false);
        if (verb == "APPE") return Store(ResolvePath(cwd_, arg), true);
        return Send("502 Command not implemented.\r\n");
    }

    bool Type(const std::string& arg) {
        std::string t = Upper(arg);
        if (t == "I" || t == "L 8" || t == "L8") {
            binary_ = true;
            return Send("200 Switching to Binary mode.\r\n");
        }
        if (t == "A" || t == "A N") {
            binary_ = false;
            return Send("200 Switching to ASCII mode.\r\n");
        }
        return Send("504 Bad TYPE command.\r\n");
    }

    bool DirExists(const std::string& path) const { return st_.dirs.count(path) != 0; }

    bool ChangeDirectory(const std::string& path) {
        std::unique_lock lock(st_.mu);
        if (!DirExists(path) && !st_.bottomless) {
            lock.unlock();
            return Send("550 Failed to change directory.\r\n");
        }
        lock.unlock();
        cwd_ = path;
        return Send("250 Directory successfully changed.\r\n");
    }

    bool MakeDirectory(const std::string& path) {
        std::unique_lock lock(st_.mu);
        if (DirExists(path) || st_.files.count(path) != 0 || !DirExists(ParentOf(path))) {
            lock.unlock();
            return Send("550 Create directory operation failed.\r\n");
        }
        st_.dirs.insert(path);
        lock.unlock();
        return Send("257 \"" + QuotePath(path) + "\" created\r\n");
    }

    bool RemoveDirectory(const std::string& path) {
        std::unique_lock lock(st_.mu);
        bool empty =
            std::none_of(st_.dirs.begin(), st_.dirs.end(), [&](auto& d) { return IsBelow(d, path); }) &&
            std::none_of(st_.files.begin(), st_.files.end(), [&](auto& f) { return IsBelow(f.first, path); });
        if (path == "/" || !DirExists(path) || !empty) {
            lock.unlock();
            return Send("550 Remove directory operation failed.\r\n");
        }
        st_.dirs.erase(path);
        st_.listings.erase(path);
        lock.unlock();
        return Send("250 Remove directory operation successful.\r\n");
    }

    bool DeleteFile(const std::string& path) {
        std::unique_lock lock(st_.mu);
        if (st_.files.erase(path) == 0) {
            lock.unlock();
            return Send("550 Delete operation failed.\r\n");
        }
        lock.unlock();
        return Send("250 Delete operation successful.\r\n");
    }

    bool RenameFrom(const std::string& path) {
        std::unique_lock lock(st_.mu);
        bool exists = st_.files.count(path) != 0 || (DirExists(path) && path != "/");
        lock.unlock();
        if (!exists) return Send("550 RNFR command failed.\r\n");
        renameFrom_ = path;
        return Send("350 Ready for RNTO.\r\n");
    }

    bool RenameTo(const std::string& path) {
        if (renameFrom_.empty()) return Send("503 RNFR required first.\r\n");
        std::string from = std::exchange(renameFrom_, {});
        std::unique_lock lock(st_.mu);
        if (st_.files.count(path) != 0 || DirExists(path) || !DirExists(ParentOf(path)) ||
            IsBelow(path, from)) {
            lock.unlock();
            return Send("550 Rename failed.\r\n");
        }
        MoveSubtree(st_.files, from, path);
        MoveSubtree(st_.dirs, from, path);
        MoveSubtree(st_.listings, from, path);
        MoveSubtree(st_.faults, from, path);
        lock.unlock();
        return Send("250 Rename successful.\r\n");
    }

    bool FileTimesOn() {
        std::lock_guard guard(st_.mu);
        return st_.fileTimes;
    }

    // MDTM path (the time), MDTM digits path (vsftpd's setting form) and MFMT digits path.
    bool FileTime(bool mfmt, const std::string& arg) {
        std::string digits;
        std::string name = arg;
        const std::size_t space = arg.find(' ');
        if (space != std::string::npos && IsTimeDigits(arg.substr(0, space))) {
            digits = arg.substr(0, space);
            name = arg.substr(space + 1);
        }
        if (mfmt && digits.empty()) return Send("501 Bad MFMT syntax.\r\n");
        const std::string path = ResolvePath(cwd_, name);
        std::unique_lock lock(st_.mu);
        auto file = st_.files.find(path);
        if (file == st_.files.end()) {
            lock.unlock();
            return Send("550 No such file.\r\n");
        }
        if (!digits.empty()) file->second.modified = digits;
        const std::string time = file->second.modified;
        lock.unlock();
        if (mfmt) return Send("213 Modify=" + time + "; " + name + "\r\n");
        return Send("213 " + time + "\r\n");
    }

    bool Size(const std::string& path) {
        std::unique_lock lock(st_.mu);
        if (st_.binaryOnly && !binary_) {
            lock.unlock();
            return Send("550 SIZE not allowed in ASCII mode.\r\n");
        }
        auto file = st_.files.find(path);
        if (file == st_.files.end()) {
            lock.unlock();
            return Send("550 Could not get file size.\r\n");
        }
        std::int64_t bytes = file->second.Size();
        auto f = st_.faults.find(path);
        if (f != st_.faults.end() && f->second.reportedSize >= 0) bytes = f->second.reportedSize;
        lock.unlock();
        return Send("213 " + std::to_string(bytes) + "\r\n");
    }

    bool Restart(const std::string& arg) {
        std::unique_lock lock(st_.mu);
        RestMode mode = st_.restMode;
        bool refuseAscii = st_.binaryOnly && !binary_;
        lock.unlock();
        if (refuseAscii) return Send("501 Resuming transfers not allowed in ASCII mode.\r\n");
        if (mode == RestMode::Refused) return Send("502 REST not implemented.\r\n");
        auto offset = ParseOffset(arg);
        if (!offset) return Send("501 Bad REST parameter.\r\n");
        rest_ = *offset;
        if (mode == RestMode::NoRestartWord) return Send("350 Rest supported\r\n");
        return Send("350 Restarting at " + std::to_string(rest_) + ". Send STORE or RETRIEVE.\r\n");
    }

    bool Passive() {
        pasvListener_ = ListenLoopback();
        portTarget_.reset();
        if (!pasvListener_) return Send("425 Cannot open a passive listener.\r\n");
        std::uint16_t port = LocalPortOf(pasvListener_.Get());
        std::unique_lock lock(st_.mu);
        auto make = st_.pasvReply;
        lock.unlock();
        return Send(make ? make(port) : FakeFtpServer::PasvReplyText("127,0,0,1", port));
    }

    bool Active(const std::string& arg) {
        auto target = ParsePortArgument(arg);
        if (!target) return Send("501 Illegal PORT command.\r\n");
        std::unique_lock lock(st_.mu);
        bool strict = st_.strictPort;
        lock.unlock();
        if (strict && target->sin_addr.s_addr != peer_.s_addr) return Send("500 Illegal PORT command.\r\n");
        pasvListener_.Reset();
        portTarget_ = *target;
        return Send("200 PORT command successful. Consider using PASV.\r\n");
    }

    // The data connection announced by the last PASV or PORT, used once.
    UniqueFd OpenData() {
        std::chrono::milliseconds limit;
        {
            std::lock_guard lock(st_.mu);
            limit = st_.dataTimeout;
        }
        UniqueFd listener = std::move(pasvListener_);
        std::optional<sockaddr_in> target = std::exchange(portTarget_, std::nullopt);
        if (listener) {
            if (!st_.WaitFor(listener.Get(), POLLIN, limit)) return {};
            UniqueFd fd(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            return fd;
        }
        if (!target) return {};
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd) return {};
        if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&*target), sizeof *target) != 0) {
            if (errno != EINPROGRESS) return {};
            if (!st_.WaitFor(fd.Get(), POLLOUT, limit)) return {};
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return {};
        }
        return fd;
    }

    TransferFaults FaultsFor(const std::string& key, bool* dropNow) {
        std::lock_guard lock(st_.mu);
        auto f = st_.faults.find(key);
        if (f == st_.faults.end()) return {};
        TransferFaults faults = f->second;
        *dropNow = faults.dropAfterBytes >= 0 && st_.dropsDone[key] < faults.dropTimes;
        if (*dropNow) ++st_.dropsDone[key];
        if (faults.stallAfterBytes >= 0 && faults.stallTimes >= 0) {
            if (st_.stallsDone[key] < faults.stallTimes)
                ++st_.stallsDone[key];
            else
                faults.stallAfterBytes = -1;
        }
        return faults;
    }

    // Sends content[offset..] over the data connection, applying the faults.
    SendResult SendData(UniqueFd data, const FileEntry& content, std::int64_t offset,
                        const std::string& faultKey) {
        bool dropNow = false;
        TransferFaults faults = FaultsFor(faultKey, &dropNow);
        std::int64_t limit = -1;  // bytes to send before the drop or the stall
        if (dropNow) limit = faults.dropAfterBytes;
        if (faults.stallAfterBytes >= 0 && (limit < 0 || faults.stallAfterBytes < limit)) {
            limit = faults.stallAfterBytes;
            dropNow = false;
        }
        std::int64_t length = content.Size() - std::min(offset, content.Size());
        std::int64_t total = faults.repeatForever && length > 0 ? kMaxStreamBytes : length;
        if (limit >= 0) total = std::min(total, limit);
        std::size_t piece = faults.chunkBytes > 0 ? faults.chunkBytes : kSendPiece;
        for (std::int64_t sent = 0; sent < total;) {
            std::int64_t at = offset + (length > 0 ? sent % length : 0);
            std::size_t take = static_cast<std::size_t>(std::min<std::int64_t>(
                {static_cast<std::int64_t>(piece), total - sent, content.Size() - at}));
            if (!st_.SendAll(data.Get(), content.Read(at, take)))
                return st_.stopping ? SendResult::Stopped : SendResult::PeerGone;
            sent += static_cast<std::int64_t>(take);
            if (faults.chunkDelayMs > 0 && sent < total && !st_.SleepFor(faults.chunkDelayMs)) {
                return SendResult::Stopped;
            }
        }
        if (dropNow) {
            if (faults.resetOnDrop) {
                linger hard{1, 0};
                ::setsockopt(data.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            return SendResult::Dropped;
        }
        if (limit >= 0 && faults.stallAfterBytes == limit) {
            // Hold the connection open and silent until the client gives up.
            for (;;) {
                short revents = 0;
                if (!st_.WaitFor(data.Get(), POLLIN, std::chrono::hours(1), &revents))
                    return SendResult::Stopped;
                char sink[512];
                ssize_t n = ::recv(data.Get(), sink, sizeof sink, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return SendResult::PeerGone;
            }
        }
        ::shutdown(data.Get(), SHUT_WR);
        return SendResult::Complete;
    }

    // Replies after a transfer; false when the control connection is to be closed.
    bool FinishTransfer(SendResult result, const std::string& doneText, const std::string& faultKey) {
        switch (result) {
            case SendResult::Complete:
                return Send(doneText);
            case SendResult::Stopped:
                return false;
            case SendResult::PeerGone:
                return Send("426 Failure writing network stream.\r\n");
            case SendResult::Dropped: {
                std::unique_lock lock(st_.mu);
                bool closeControl = st_.faults[faultKey].closeControlOnDrop;
                bool silent = st_.faults[faultKey].silentOnDrop;
                lock.unlock();
                if (closeControl) return false;
                if (silent) return true;
                return Send("426 Failure writing network stream.\r\n");
            }
        }
        return false;
    }

    std::string MakeListing(const std::string& dir, bool namesOnly) {
        std::vector<std::pair<std::string, std::string>> rows;  // name, line
        for (const auto& d : st_.dirs) {
            if (d != "/" && ParentOf(d) == dir) {
                std::string name = BaseName(d);
                rows.emplace_back(name, "drwxr-xr-x    2 ftp      ftp          4096 Jan 01  2024 " + name);
            }
        }
        for (const auto& [path, entry] : st_.files) {
            if (ParentOf(path) == dir) {
                std::string name = BaseName(path);
                char head[96];
                std::snprintf(head, sizeof head, "-rw-r--r--    1 ftp      ftp      %12lld Jan 01  2024 ",
                              static_cast<long long>(entry.Size()));
                rows.emplace_back(name, head + name);
            }
        }
        std::sort(rows.begin(), rows.end());
        std::string out;
        for (const auto& [name, line] : rows) out += (namesOnly ? name : line) + "\r\n";
        return out;
    }

    bool List(bool namesOnly, const std::string& arg) {
        // "LIST -la /pub": options are skipped, the rest is the path.
        std::string path = arg;
        while (!path.empty() && path[0] == '-') {
            std::size_t space = path.find(' ');
            path = space == std::string::npos ? std::string() : path.substr(space + 1);
        }
        std::string dir = ResolvePath(cwd_, path);
        FileEntry content;
        std::unique_lock lock(st_.mu);
        auto raw = st_.listings.find(dir);
        if (raw == st_.listings.end() && st_.bottomless) raw = st_.listings.find("/");
        bool found = true;
        if (raw != st_.listings.end() && !namesOnly) {
            content.bytes = raw->second;
        } else if (DirExists(dir)) {
            content.bytes = MakeListing(dir, namesOnly);
        } else {
            found = false;
        }
        lock.unlock();
        if (!found) {
            pasvListener_.Reset();
            portTarget_.reset();
            return Send("550 No such directory.\r\n");
        }
        UniqueFd data = OpenData();
        if (!data) return Send("425 Failed to establish connection.\r\n");
        if (!Send("150 Here comes the directory listing.\r\n")) return false;
        return FinishTransfer(SendData(std::move(data), content, 0, dir), "226 Directory send OK.\r\n", dir);
    }

    bool Retrieve(const std::string& path) {
        std::int64_t offset = std::exchange(rest_, 0);
        std::unique_lock lock(st_.mu);
        auto file = st_.files.find(path);
        if (file == st_.files.end()) {
            lock.unlock();
            pasvListener_.Reset();
            portTarget_.reset();
            return Send("550 Failed to open file.\r\n");
        }
        FileEntry content = file->second;
        lock.unlock();
        UniqueFd data = OpenData();
        if (!data) return Send("425 Failed to establish connection.\r\n");
        if (!Send("150 Opening " + std::string(binary_ ? "BINARY" : "ASCII") + " mode data connection for " +
                  BaseName(path) + " (" + std::to_string(content.Size()) + " bytes).\r\n")) {
            return false;
        }
        return FinishTransfer(SendData(std::move(data), content, offset, path), "226 Transfer complete.\r\n",
                              path);
    }

    // STOR (from the REST offset) and APPE (at the end of the file). What
    // arrives is kept even when the transfer breaks, as real servers do.
    bool Store(const std::string& path, bool append) {
        std::int64_t offset = std::exchange(rest_, 0);
        std::unique_lock lock(st_.mu);
        bool parentOk = DirExists(ParentOf(path)) && !DirExists(path);
        bool restartRefused = !append && offset > 0 && !st_.storeRestart;
        std::string kept;
        auto existing = st_.files.find(path);
        if (existing != st_.files.end()) {
            std::int64_t keep = append ? existing->second.Size() : std::min(offset, existing->second.Size());
            kept = existing->second.Read(0, static_cast<std::size_t>(keep));
        }
        // A restart beyond the end leaves a hole of zeros, as a seek and write do.
        if (!append && static_cast<std::int64_t>(kept.size()) < offset)
            kept.resize(static_cast<std::size_t>(offset));
        lock.unlock();
        if (!parentOk || restartRefused) {
            pasvListener_.Reset();
            portTarget_.reset();
            return Send(restartRefused ? "451 Append/Restart not permitted, try again\r\n"
                                       : "553 Could not create file.\r\n");
        }
        bool dropNow = false;
        TransferFaults faults = FaultsFor(path, &dropNow);
        UniqueFd data = OpenData();
        if (!data) return Send("425 Failed to establish connection.\r\n");
        if (faults.receiveBuffer > 0)
            ::setsockopt(data.Get(), SOL_SOCKET, SO_RCVBUF, &faults.receiveBuffer,
                         sizeof faults.receiveBuffer);
        if (!Send("150 Ok to send data.\r\n")) return false;
        std::string received;
        auto commit = [&] {
            std::lock_guard guard(st_.mu);
            st_.files[path] = FileEntry{kept + received, -1, 0, NowDigits()};
        };
        std::int64_t limit = dropNow ? faults.dropAfterBytes : -1;
        if (faults.stallAfterBytes >= 0 && (limit < 0 || faults.stallAfterBytes < limit)) {
            limit = faults.stallAfterBytes;
            dropNow = false;
        }
        std::string failure;
        for (;;) {
            auto count = static_cast<std::int64_t>(received.size());
            if (limit >= 0 && count >= limit) break;
            if (!st_.WaitFor(data.Get(), POLLIN, std::chrono::hours(1))) return false;
            char buffer[16384];
            std::size_t want = sizeof buffer;
            if (limit >= 0) want = static_cast<std::size_t>(std::min<std::int64_t>(want, limit - count));
            if (faults.chunkBytes > 0) want = std::min(want, faults.chunkBytes);
            ssize_t n = ::recv(data.Get(), buffer, want, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0) {
                failure = "426 Failure reading network stream.\r\n";
                break;
            }
            if (n == 0) break;
            if (count + n > kMaxUploadBytes) {
                failure = "552 Upload larger than the test server keeps.\r\n";
                break;
            }
            received.append(buffer, static_cast<std::size_t>(n));
            if (faults.chunkDelayMs > 0 && !st_.SleepFor(faults.chunkDelayMs)) return false;
        }
        if (limit >= 0 && !dropNow && static_cast<std::int64_t>(received.size()) >= limit) {
            // The stall: read nothing more until the client closes or resets.
            short revents = 0;
            if (!st_.WaitFor(data.Get(), POLLRDHUP, std::chrono::hours(1), &revents)) return false;
            failure = "426 Failure reading network stream.\r\n";
        } else if (dropNow && static_cast<std::int64_t>(received.size()) >= limit) {
            if (faults.resetOnDrop) {
                linger hard{1, 0};
                ::setsockopt(data.Get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            failure = "426 Failure reading network stream.\r\n";
        }
        data.Reset();
        commit();
        if (dropNow && faults.closeControlOnDrop) return false;
        if (faults.storeReplySilent) return true;
        if (!faults.storeReply.empty()) return Send(faults.storeReply);
        return Send(failure.empty() ? "226 Transfer complete.\r\n" : failure);
    }

    State& st_;
    UniqueFd control_;
    int id_;
    in_addr peer_{};
    std::string input_;
    bool peerClosed_ = false;
    bool lineTooLong_ = false;
    std::string cwd_ = "/";
    std::string user_;
    bool holdsPlace_ = false;
    bool loggedIn_ = false;
    bool binary_ = false;
    std::int64_t rest_ = 0;
    std::string renameFrom_;
    UniqueFd pasvListener_;
    std::optional<sockaddr_in> portTarget_;
};

}  // namespace

FakeFtpServer::FakeFtpServer() : state_(std::make_shared<detail::FakeServerState>()) {
    state_->listener = ListenLoopback();
    if (!state_->listener) {
        state_->error = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        return;
    }
    state_->port = LocalPortOf(state_->listener.Get());
    detail::FakeServerState* st = state_.get();
    st->acceptor = std::thread([st] {
        while (!st->stopping) {
            if (!st->WaitFor(st->listener.Get(), POLLIN, std::chrono::milliseconds(kPollMs))) continue;
            UniqueFd fd(::accept4(st->listener.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!fd) continue;
            int one = 1;
            ::setsockopt(fd.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            int id = 0;
            {
                std::lock_guard lock(st->mu);
                if (st->connections >= kMaxConnections) continue;  // fd closes: refused
                id = ++st->connections;
            }
            st->changed.notify_all();
            std::lock_guard threads(st->threadsMu);
            st->sessions.emplace_back(
                [st, id, control = std::move(fd)]() mutable { Session(*st, std::move(control), id).Run(); });
        }
    });
}

FakeFtpServer::~FakeFtpServer() { Stop(); }

void FakeFtpServer::Stop() {
    detail::FakeServerState& st = *state_;
    st.stopping = true;
    if (st.acceptor.joinable()) st.acceptor.join();
    std::vector<std::thread> sessions;
    {
        std::lock_guard lock(st.threadsMu);
        sessions.swap(st.sessions);
    }
    for (auto& t : sessions) t.join();
    st.listener.Reset();
    st.changed.notify_all();
}

bool FakeFtpServer::ok() const { return state_->error.empty(); }
const std::string& FakeFtpServer::error() const { return state_->error; }
std::uint16_t FakeFtpServer::port() const { return state_->port; }

std::string FakeFtpServer::Url(std::string_view path) const {
    return "ftp://127.0.0.1:" + std::to_string(state_->port) + std::string(path);
}

void FakeFtpServer::SetConnectionLimit(int connections, std::string refusal) {
    std::lock_guard lock(state_->mu);
    state_->connectionLimit = connections;
    state_->limitReply = std::move(refusal);
}

void FakeFtpServer::SetGreeting(std::string raw) { GreetWith(Action::Reply(std::move(raw))); }

void FakeFtpServer::GreetWith(Action action) {
    std::lock_guard lock(state_->mu);
    state_->greeting = std::move(action);
}

void FakeFtpServer::GreetNext(std::vector<Action> actions) {
    std::lock_guard lock(state_->mu);
    for (auto& a : actions) state_->greetingQueue.push_back(std::move(a));
}

void FakeFtpServer::Reply(std::string key, std::string raw) {
    On(std::move(key), Action::Reply(std::move(raw)));
}

void FakeFtpServer::On(std::string key, Action action) {
    std::lock_guard lock(state_->mu);
    state_->lasting[NormalizeKey(key)] = std::move(action);
}

void FakeFtpServer::OnNext(std::string key, std::vector<Action> actions) {
    std::lock_guard lock(state_->mu);
    auto& q = state_->queued[NormalizeKey(key)];
    for (auto& a : actions) q.push_back(std::move(a));
}

void FakeFtpServer::ReplyNext(std::string key, std::vector<std::string> raws) {
    std::vector<Action> actions;
    for (auto& raw : raws) actions.push_back(Action::Reply(std::move(raw)));
    OnNext(std::move(key), std::move(actions));
}

void FakeFtpServer::CloseOn(std::string key) { On(std::move(key), Action::Close()); }
void FakeFtpServer::SilentOn(std::string key) { On(std::move(key), Action::Silence()); }

void FakeFtpServer::ClearRules() {
    std::lock_guard lock(state_->mu);
    state_->lasting.clear();
    state_->queued.clear();
}

void FakeFtpServer::SetCredentials(std::string user, std::string password) {
    std::lock_guard lock(state_->mu);
    state_->credentials = std::make_pair(std::move(user), std::move(password));
}

void FakeFtpServer::SetRestMode(RestMode mode) {
    std::lock_guard lock(state_->mu);
    state_->restMode = mode;
}

void FakeFtpServer::SetBinaryOnlyRestAndSize(bool on) {
    std::lock_guard lock(state_->mu);
    state_->binaryOnly = on;
}

void FakeFtpServer::SetStoreRestartAllowed(bool on) {
    std::lock_guard lock(state_->mu);
    state_->storeRestart = on;
}

void FakeFtpServer::SetBottomless(bool on) {
    std::lock_guard lock(state_->mu);
    state_->bottomless = on;
}

void FakeFtpServer::SetFileTimes(bool on) {
    std::lock_guard lock(state_->mu);
    state_->fileTimes = on;
}

void FakeFtpServer::SetModified(const std::string& path, std::string digits) {
    std::lock_guard lock(state_->mu);
    auto file = state_->files.find(ResolvePath("/", path));
    if (file != state_->files.end()) file->second.modified = std::move(digits);
}

std::optional<std::string> FakeFtpServer::Modified(const std::string& path) const {
    std::lock_guard lock(state_->mu);
    auto file = state_->files.find(ResolvePath("/", path));
    if (file == state_->files.end()) return std::nullopt;
    return file->second.modified;
}

void FakeFtpServer::SetPasvReply(std::function<std::string(std::uint16_t)> make) {
    std::lock_guard lock(state_->mu);
    state_->pasvReply = std::move(make);
}

void FakeFtpServer::SetStrictPort(bool on) {
    std::lock_guard lock(state_->mu);
    state_->strictPort = on;
}

void FakeFtpServer::SetIdleTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard lock(state_->mu);
    state_->idleTimeout = timeout;
}

void FakeFtpServer::DropConnections() {
    std::lock_guard lock(state_->mu);
    for (int fd : state_->controls) ::shutdown(fd, SHUT_RDWR);
}

void FakeFtpServer::SetDataTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard lock(state_->mu);
    state_->dataTimeout = timeout;
}

void FakeFtpServer::AddFile(std::string path, std::string bytes, TransferFaults faults) {
    path = ResolvePath("/", path);
    std::lock_guard lock(state_->mu);
    state_->AddParents(path);
    state_->files[path] = FileEntry{std::move(bytes), -1, 0};
    state_->faults[path] = faults;
    state_->dropsDone.erase(path);
    state_->stallsDone.erase(path);
}

void FakeFtpServer::AddPatternFile(std::string path, std::int64_t size, std::uint32_t seed,
                                   TransferFaults faults) {
    path = ResolvePath("/", path);
    std::lock_guard lock(state_->mu);
    state_->AddParents(path);
    state_->files[path] = FileEntry{{}, size, seed};
    state_->faults[path] = faults;
    state_->dropsDone.erase(path);
    state_->stallsDone.erase(path);
}

void FakeFtpServer::AddDirectory(std::string path) {
    path = ResolvePath("/", path);
    std::lock_guard lock(state_->mu);
    state_->AddParents(path);
    state_->dirs.insert(path);
}

void FakeFtpServer::SetListing(std::string dirPath, std::string raw, TransferFaults faults) {
    dirPath = ResolvePath("/", dirPath);
    std::lock_guard lock(state_->mu);
    state_->AddParents(dirPath);
    state_->dirs.insert(dirPath);
    state_->listings[dirPath] = std::move(raw);
    state_->faults[dirPath] = faults;
    state_->dropsDone.erase(dirPath);
    state_->stallsDone.erase(dirPath);
}

void FakeFtpServer::SetFaults(std::string path, TransferFaults faults) {
    path = ResolvePath("/", path);
    std::lock_guard lock(state_->mu);
    state_->faults[path] = faults;
    state_->dropsDone.erase(path);
    state_->stallsDone.erase(path);
}

std::optional<std::string> FakeFtpServer::FileContents(const std::string& path) const {
    std::lock_guard lock(state_->mu);
    auto f = state_->files.find(ResolvePath("/", path));
    if (f == state_->files.end()) return std::nullopt;
    return f->second.Read(0, static_cast<std::size_t>(f->second.Size()));
}

bool FakeFtpServer::DirectoryExists(const std::string& path) const {
    std::lock_guard lock(state_->mu);
    return state_->dirs.count(ResolvePath("/", path)) != 0;
}

std::vector<std::string> FakeFtpServer::Commands() const {
    std::lock_guard lock(state_->mu);
    std::vector<std::string> out;
    for (const auto& r : state_->log) out.push_back(r.line);
    return out;
}

std::vector<ReceivedCommand> FakeFtpServer::Received() const {
    std::lock_guard lock(state_->mu);
    return state_->log;
}

std::vector<std::string> FakeFtpServer::CommandsOf(int connection) const {
    std::lock_guard lock(state_->mu);
    std::vector<std::string> out;
    for (const auto& r : state_->log) {
        if (r.connection == connection) out.push_back(r.line);
    }
    return out;
}

int FakeFtpServer::ConnectionCount() const {
    std::lock_guard lock(state_->mu);
    return state_->connections;
}

int FakeFtpServer::CountCommands(std::string_view key) const {
    std::string normalized = NormalizeKey(key);
    std::lock_guard lock(state_->mu);
    return static_cast<int>(
        std::count_if(state_->log.begin(), state_->log.end(),
                      [&](const ReceivedCommand& r) { return KeyMatches(normalized, r.line); }));
}

bool FakeFtpServer::WaitForCommand(std::string_view key, std::chrono::milliseconds timeout) const {
    return WaitForCommandCount(key, 1, timeout);
}

bool FakeFtpServer::WaitForCommandCount(std::string_view key, int count,
                                        std::chrono::milliseconds timeout) const {
    std::string normalized = NormalizeKey(key);
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] {
        return std::count_if(state_->log.begin(), state_->log.end(), [&](const ReceivedCommand& r) {
                   return KeyMatches(normalized, r.line);
               }) >= count;
    });
}

bool FakeFtpServer::WaitForConnections(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->connections >= count; });
}

bool FakeFtpServer::WaitForAllClosed(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(state_->mu);
    return state_->changed.wait_for(lock, timeout, [&] { return state_->openConnections == 0; });
}

std::string FakeFtpServer::Transcript() const {
    std::lock_guard lock(state_->mu);
    std::ostringstream out;
    for (const auto& r : state_->log) {
        out << "[" << r.connection << "] " << r.line << (r.crlf ? "" : "  (no CR LF)") << "\n";
    }
    return out.str();
}

std::string FakeFtpServer::PasvReplyText(std::string_view commaHost, std::uint16_t port) {
    return "227 Entering Passive Mode (" + std::string(commaHost) + "," + std::to_string(port / 256) + "," +
           std::to_string(port % 256) + ").\r\n";
}

}  // namespace testsupport

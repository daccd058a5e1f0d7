// Start and stop of real FTP servers for the end-to-end tests (see
// real_servers.h). Children are made with fork and execve; everything the
// child needs is prepared before the fork, so the child only calls
// async-signal-safe functions.
#include "support/real_servers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "support/cli_runner.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"

extern char** environ;

namespace testsupport {

namespace {

constexpr char kPython[] = "/usr/bin/python3";
constexpr char kPamDir[] = "/etc/pam.d";
constexpr char kPamPrefix[] = "quorvel-test-";
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStopLimit = std::chrono::seconds(3);

std::string SourceDir() {
#ifdef QFTP_SOURCE_DIR
    return QFTP_SOURCE_DIR;
#else
    return ".";
#endif
}

bool IsExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::string VsftpdBinary(std::string* tried) {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("QFTP_VSFTPD"); env != nullptr && *env != '\0')
        candidates.push_back(env);
    candidates.push_back(SourceDir() + "/.servers/vsftpd/usr/sbin/vsftpd");
    candidates.push_back("/usr/sbin/vsftpd");
    for (const auto& c : candidates) {
        if (IsExecutable(c)) return c;
        *tried += (tried->empty() ? "" : ", ") + c;
    }
    return {};
}

// A port that was free a moment ago (the server binds it itself; a lost race
// shows as a failed start, which is retried with another port).
std::uint16_t FreeLoopbackPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
    socklen_t len = sizeof addr;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

// Connects and reads the first reply line; true when it starts with 220.
bool GreetsWith220(std::uint16_t port, std::chrono::milliseconds limit) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    timeval tv{0, 300000};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < 4 && std::chrono::steady_clock::now() < deadline) {
        char buffer[256];
        ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n == 0) return false;
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    ::send(fd.get(), "QUIT\r\n", 6, MSG_NOSIGNAL);
    return got.rfind("220", 0) == 0;
}

std::string Substitute(std::string text, const std::vector<std::pair<std::string, std::string>>& fields) {
    for (const auto& [name, value] : fields) {
        std::string key = "@" + name + "@";
        for (std::size_t at = text.find(key); at != std::string::npos;
             at = text.find(key, at + value.size())) {
            text.replace(at, key.size(), value);
        }
    }
    return text;
}

std::string Tail(const std::string& text, std::size_t bytes = 4000) {
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

// The child of a fork: its own process group, death with the parent's
// thread, standard streams redirected, then the program.
[[noreturn]] void ExecChild(pid_t parent, int stdoutFd, int stderrFd, char* const* argv, char* const* envp) {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, 0);
    ::dup2(stdoutFd, 1);
    ::dup2(stderrFd, 2);
    // The test process may hold SIGPIPE ignored or signals blocked; the server must not.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::execve(argv[0], argv, envp);
    ::_exit(127);
}

pid_t Launch(const std::vector<std::string>& args, int stdoutFd, int stderrFd, std::string* error) {
    std::vector<std::string> argStore = args;
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e != nullptr; ++e) envStore.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        return -1;
    }
    if (pid == 0) ExecChild(parent, stdoutFd, stderrFd, argv.data(), envp.data());
    ::setpgid(pid, pid);  // also from this side, so the group exists before either goes on
    return pid;
}

// Reaps the child if it has ended; then *status holds its wait status.
bool HasExited(pid_t pid, int* status) { return ::waitpid(pid, status, WNOHANG) == pid; }

// True when the child has ended (or is no child of ours any more); leaves it unreaped.
bool EndedUnreaped(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    return info.si_pid == pid;
}

std::string DescribeExit(int status) {
    if (WIFEXITED(status)) return "exited with code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
    return "ended";
}

// PAM service files left by test processes that died without cleaning up.
void RemoveStalePamServices() {
    DIR* dir = ::opendir(kPamDir);
    if (dir == nullptr) return;
    std::vector<std::string> stale;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.rfind(kPamPrefix, 0) != 0) continue;
        long owner = std::strtol(name.c_str() + std::strlen(kPamPrefix), nullptr, 10);
        if (owner > 0 && ::kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : stale) ::unlink((std::string(kPamDir) + "/" + name).c_str());
}

}  // namespace

struct RealServer::Files {
    TempDir state{"qftp-server"};
    std::string stderrLog;
    std::string serverLog;
    std::string pamService;  // full path; removed on stop
};

std::string ServerKindName(ServerKind kind) {
    switch (kind) {
        case ServerKind::Pyftpdlib:
            return "pyftpdlib";
        case ServerKind::Vsftpd:
            return "vsftpd";
    }
    return "?";
}

RealServer::RealServer(ServerKind kind) : kind_(kind), files_(std::make_unique<Files>()) {}

RealServer::RealServer(RealServer&& other) noexcept
    : kind_(other.kind_),
      pid_(std::exchange(other.pid_, -1)),
      error_(std::move(other.error_)),
      host_(std::move(other.host_)),
      port_(other.port_),
      user_(std::move(other.user_)),
      password_(std::move(other.password_)),
      root_(std::move(other.root_)),
      files_(std::move(other.files_)) {}

RealServer& RealServer::operator=(RealServer&& other) noexcept {
    if (this != &other) {
        stop();
        kind_ = other.kind_;
        pid_ = std::exchange(other.pid_, -1);
        error_ = std::move(other.error_);
        host_ = std::move(other.host_);
        port_ = other.port_;
        user_ = std::move(other.user_);
        password_ = std::move(other.password_);
        root_ = std::move(other.root_);
        files_ = std::move(other.files_);
    }
    return *this;
}

RealServer::~RealServer() { stop(); }

std::string RealServer::url(std::string_view path) const {
    return "ftp://" + host_ + ":" + std::to_string(port_) + std::string(path);
}

std::string RealServer::log() const {
    if (!files_) return {};
    std::string out;
    if (auto text = ReadFile(files_->stderrLog); text && !text->empty()) out += Tail(*text);
    if (auto text = ReadFile(files_->serverLog); text && !text->empty()) out += "\n" + Tail(*text);
    return out;
}

bool RealServer::stop() {
    bool gone = true;
    siginfo_t probe{};
    if (pid_ > 0 && ::waitid(P_PID, static_cast<id_t>(pid_), &probe, WEXITED | WNOHANG | WNOWAIT) != 0) {
        pid_ = -1;  // already reaped: its id may belong to someone else now
    }
    if (pid_ > 0) {
        if (!EndedUnreaped(pid_)) {
            ::kill(pid_, SIGTERM);
            auto deadline = std::chrono::steady_clock::now() + kStopLimit;
            while (!EndedUnreaped(pid_) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!EndedUnreaped(pid_)) ::kill(pid_, SIGKILL);
        }
        // Session processes of the server (vsftpd forks one per client) are in
        // the group made for it; until the leader is reaped its id cannot be reused.
        ::kill(-pid_, SIGKILL);
        int status = 0;
        pid_t reaped = ::waitpid(pid_, &status, 0);
        gone = reaped == pid_ || (reaped < 0 && errno == ECHILD);
        pid_ = -1;
    }
    if (files_ && !files_->pamService.empty()) {
        ::unlink(files_->pamService.c_str());
        files_->pamService.clear();
    }
    return gone;
}

RealServer RealServer::Start(ServerKind kind, const std::string& root, const std::string& user,
                             const std::string& password) {
    return kind == ServerKind::Vsftpd ? StartVsftpd(root, user, password) : StartPyftpd(root, user, password);
}

RealServer RealServer::StartPyftpd(const std::string& root, const std::string& user,
                                   const std::string& password) {
    RealServer server(ServerKind::Pyftpdlib);
    server.user_ = user;
    server.password_ = password;
    server.root_ = root;
    auto fail = [&](std::string why) {
        server.error_ = "pyftpdlib did not start: " + why;
        std::string log = server.log();
        if (!log.empty()) server.error_ += "\n--- server log ---\n" + log;
        server.stop();
        return std::move(server);
    };
    if (!server.files_->state.ok()) return fail("no temporary directory");
    std::string script = SourceDir() + "/tests/support/pyftpd_server.py";
    if (!IsExecutable(kPython)) return fail(std::string(kPython) + " is missing (install python3-pyftpdlib)");
    if (::access(script.c_str(), R_OK) != 0) return fail(script + " is missing");

    server.files_->stderrLog = server.files_->state.file("pyftpd.log");
    UniqueFd logFd(::open(server.files_->stderrLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    int fds[2];
    if (!logFd || ::pipe2(fds, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
    UniqueFd portRead(fds[0]), portWrite(fds[1]);

    std::string error;
    server.pid_ = Launch({kPython, script, root, user, password, "0"}, portWrite.get(), logFd.get(), &error);
    if (server.pid_ < 0) return fail(error);
    portWrite.reset();

    // The first line of its output is the port; it comes once the socket listens.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (line.find('\n') == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return fail("no port reported within 20 s");
        pollfd p{portRead.get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[64];
        ssize_t n = ::read(portRead.get(), buffer, sizeof buffer);
        if (n == 0) {
            int status = 0;
            std::string how = "closed its output";
            if (HasExited(server.pid_, &status)) {
                how = DescribeExit(status);
                server.pid_ = -1;
            }
            return fail("the script " + how + " before reporting a port");
        }
        if (n > 0) line.append(buffer, static_cast<std::size_t>(n));
        if (line.size() > 32) return fail("unexpected output: " + line);
    }
    long port = std::strtol(line.c_str(), nullptr, 10);
    if (port <= 0 || port > 65535) return fail("unexpected output: " + line);
    server.port_ = static_cast<std::uint16_t>(port);
    return server;
}

RealServer RealServer::StartVsftpd(const std::string& root, const std::string& user,
                                   const std::string& password) {
    RealServer server(ServerKind::Vsftpd);
    server.user_ = user;
    server.password_ = password;
    server.root_ = root;
    auto fail = [&](std::string why) {
        server.error_ = "vsftpd did not start: " + why;
        std::string log = server.log();
        if (!log.empty()) server.error_ += "\n--- server log ---\n" + log;
        server.stop();
        return std::move(server);
    };
    if (::geteuid() != 0) {
        return fail("it needs root here (PAM log-in of a virtual user, chroot into the root directory)");
    }
    std::string tried;
    std::string binary = VsftpdBinary(&tried);
    if (binary.empty()) return fail("no binary at " + tried + "; run scripts/fetch-servers.sh (make deps)");
    auto templ = ReadFile(SourceDir() + "/tests/servers/vsftpd.conf.in");
    if (!templ) return fail("cannot read tests/servers/vsftpd.conf.in");
    Files& files = *server.files_;
    if (!files.state.ok()) return fail("no temporary directory");
    ::chmod(files.state.path().c_str(), 0755);
    std::string emptyDir = files.state.subdir("empty");
    ::chmod(emptyDir.c_str(), 0755);
    files.stderrLog = files.state.file("vsftpd.stderr");
    files.serverLog = files.state.file("vsftpd.log");
    passwd* runUser = ::getpwuid(::geteuid());
    if (runUser == nullptr) return fail("the launching user has no name");

    // The user database of pam_userdb: a Berkeley DB hash file, which
    // Debian's Python writes through dbm.ndbm.
    std::string db = files.state.file("users");
    RunOptions quick;
    quick.timeout = std::chrono::seconds(30);
    ProcessResult made = RunProcess({kPython, "-c",
                                     "import dbm.ndbm, sys\n"
                                     "d = dbm.ndbm.open(sys.argv[1], 'n', 0o600)\n"
                                     "d[sys.argv[2].encode('utf-8', 'surrogateescape')] = "
                                     "sys.argv[3].encode('utf-8', 'surrogateescape')\n"
                                     "d.close()\n",
                                     db, user, password},
                                    quick);
    if (!made.exitedWith(0)) return fail("cannot write the user database: " + made.summary());

    RemoveStalePamServices();
    static std::atomic<int> counter{0};
    std::string service =
        std::string(kPamPrefix) + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    files.pamService = std::string(kPamDir) + "/" + service;
    if (!WriteFile(files.pamService,
                   "auth required pam_userdb.so db=" + db +
                       "\naccount required pam_permit.so\nsession required pam_permit.so\n")) {
        files.pamService.clear();
        return fail("cannot write " + std::string(kPamDir) + "/" + service);
    }

    std::string conf = files.state.file("vsftpd.conf");
    for (int attempt = 1;; ++attempt) {
        std::uint16_t port = FreeLoopbackPort();
        if (port == 0) return fail("no free loopback port");
        std::string text = Substitute(*templ, {{"PORT", std::to_string(port)},
                                               {"RUN_USER", runUser->pw_name},
                                               {"PAM_SERVICE", service},
                                               {"ROOT", root},
                                               {"EMPTY_DIR", emptyDir},
                                               {"LOG_FILE", files.serverLog}});
        if (!WriteFile(conf, text)) return fail("cannot write " + conf);
        ::chmod(conf.c_str(), 0600);
        UniqueFd logFd(::open(files.stderrLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!logFd) return fail("cannot create " + files.stderrLog);
        std::string error;
        server.pid_ = Launch({binary, conf}, logFd.get(), logFd.get(), &error);
        if (server.pid_ < 0) return fail(error);

        auto deadline = std::chrono::steady_clock::now() + kStartLimit;
        bool ready = false;
        int status = 0;
        bool exited = false;
        while (!ready && std::chrono::steady_clock::now() < deadline) {
            if ((exited = HasExited(server.pid_, &status))) break;
            ready = GreetsWith220(port, std::chrono::milliseconds(500));
            if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (ready) {
            server.port_ = port;
            return server;
        }
        if (!exited) return fail("no 220 greeting on port " + std::to_string(port) + " within 20 s");
        server.pid_ = -1;
        auto out = ReadFile(files.stderrLog).value_or("");
        bool portTaken = out.find("could not bind") != std::string::npos;
        if (!portTaken || attempt == 5) return fail("the binary " + DescribeExit(status) + ": " + out);
    }
}

}  // namespace testsupport

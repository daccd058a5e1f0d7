// Start and stop of real FTP servers for the end-to-end tests (see
// real_servers.h). Children are made with fork and execve; everything the
// child needs is prepared before the fork, so the child only calls
// async-signal-safe functions.
#include "support/real_servers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
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
#include "support/server_accounts.h"
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

// The unpacked binary of a server: $env_var, then .servers/<relative>, then
// the system's copy.
std::string ServerBinary(const char* envVar, const std::string& relative, const std::string& system,
                         std::string* tried) {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv(envVar); env != nullptr && *env != '\0') candidates.push_back(env);
    candidates.push_back(SourceDir() + "/.servers/" + relative);
    candidates.push_back(system);
    for (const auto& c : candidates) {
        if (IsExecutable(c)) return c;
        *tried += (tried->empty() ? "" : ", ") + c;
    }
    return {};
}

// The account files' separators; a name or password holding one would
// silently make another account.
bool FitsAccountFile(const std::string& text) { return text.find_first_of(":\r\n") == std::string::npos; }

// A port that was free a moment ago (the server binds it itself; a lost race
// shows as a failed start, which is retried with another port).
std::uint16_t FreeLoopbackPort() {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return 0;
    socklen_t len = sizeof addr;
    if (::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

// Connects and reads the first reply line; true when it starts with 220.
bool GreetsWith220(std::uint16_t port, std::chrono::milliseconds limit) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return false;
    timeval tv{0, 300000};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.size() < 4 && std::chrono::steady_clock::now() < deadline) {
        char buffer[256];
        ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
        if (n == 0) return false;
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    ::send(fd.Get(), "QUIT\r\n", 6, MSG_NOSIGNAL);
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
    std::string tlsLog;      // proftpd keeps its TLS handshakes apart from the rest
    std::string pamService;  // full path; removed on stop
};

const std::vector<ServerKind>& AllServerKinds() {
    static const std::vector<ServerKind> kinds = {ServerKind::Pyftpdlib, ServerKind::Vsftpd,
                                                  ServerKind::PureFtpd, ServerKind::ProFtpd};
    return kinds;
}

std::string ServerKindName(ServerKind kind) {
    switch (kind) {
        case ServerKind::Pyftpdlib:
            return "pyftpdlib";
        case ServerKind::Vsftpd:
            return "vsftpd";
        case ServerKind::PureFtpd:
            return "pureftpd";
        case ServerKind::ProFtpd:
            return "proftpd";
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
        Stop();
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

RealServer::~RealServer() { Stop(); }

std::string RealServer::Url(std::string_view path) const {
    return "ftp://" + host_ + ":" + std::to_string(port_) + std::string(path);
}

std::string RealServer::Log() const {
    if (!files_) return {};
    std::string out;
    if (auto text = ReadFile(files_->stderrLog); text && !text->empty()) out += Tail(*text);
    if (auto text = ReadFile(files_->serverLog); text && !text->empty()) out += "\n" + Tail(*text);
    if (auto text = ReadFile(files_->tlsLog); text && !text->empty()) out += "\n" + Tail(*text);
    return out;
}

std::string RealServer::TlsLog() const {
    if (!files_ || files_->tlsLog.empty()) return {};
    return ReadFile(files_->tlsLog).value_or("");
}

bool RealServer::Stop() {
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

thread_local std::string RealServer::tlsFolder_;
thread_local std::string RealServer::vsftpdSettings_;

RealServer RealServer::StartVsftpdWith(const std::string& root, const std::string& user,
                                       const std::string& password, const std::string& settings) {
    vsftpdSettings_ = settings;
    RealServer server = StartVsftpd(root, user, password);
    vsftpdSettings_.clear();
    return server;
}

RealServer RealServer::StartWithTls(ServerKind kind, const std::string& root, const std::string& user,
                                    const std::string& password, const std::string& certificateFolder) {
    tlsFolder_ = certificateFolder;
    RealServer server = Start(kind, root, user, password);
    tlsFolder_.clear();
    return server;
}

RealServer RealServer::Start(ServerKind kind, const std::string& root, const std::string& user,
                             const std::string& password) {
    switch (kind) {
        case ServerKind::Vsftpd:
            return StartVsftpd(root, user, password);
        case ServerKind::PureFtpd:
            return StartPureFtpd(root, user, password);
        case ServerKind::ProFtpd:
            return StartProFtpd(root, user, password);
        case ServerKind::Pyftpdlib:
            break;
    }
    return StartPyftpd(root, user, password);
}

RealServer RealServer::Failed(std::string why) {
    error_ = Name() + " did not start: " + why;
    std::string text = Log();
    if (!text.empty()) error_ += "\n--- server log ---\n" + text;
    Stop();
    return std::move(*this);
}

std::string RealServer::LaunchOnFreePort(
    const std::string& binary,
    const std::function<std::string(std::uint16_t port, std::vector<std::string>* args)>& configure) {
    Files& files = *files_;
    for (int attempt = 1;; ++attempt) {
        std::uint16_t port = FreeLoopbackPort();
        if (port == 0) return "no free loopback port";
        std::vector<std::string> args = {binary};
        if (std::string error = configure(port, &args); !error.empty()) return error;
        UniqueFd logFd(::open(files.stderrLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!logFd) return "cannot create " + files.stderrLog;
        std::string error;
        pid_ = Launch(args, logFd.Get(), logFd.Get(), &error);
        if (pid_ < 0) return error;

        auto deadline = std::chrono::steady_clock::now() + kStartLimit;
        bool ready = false;
        int status = 0;
        bool exited = false;
        while (!ready && std::chrono::steady_clock::now() < deadline) {
            if ((exited = HasExited(pid_, &status))) break;
            ready = GreetsWith220(port, std::chrono::milliseconds(500));
            if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (ready) {
            port_ = port;
            return {};
        }
        if (!exited) return "no 220 greeting on port " + std::to_string(port) + " within 20 s";
        pid_ = -1;
        std::string out = ReadFile(files.stderrLog).value_or("") + ReadFile(files.serverLog).value_or("");
        bool portTaken = out.find("bind") != std::string::npos || out.find("in use") != std::string::npos;
        if (!portTaken || attempt == 5) return "the binary " + DescribeExit(status) + ": " + Tail(out);
    }
}

RealServer RealServer::StartPyftpd(const std::string& root, const std::string& user,
                                   const std::string& password) {
    RealServer server(ServerKind::Pyftpdlib);
    server.user_ = user;
    server.password_ = password;
    server.root_ = root;
    auto fail = [&](std::string why) {
        server.error_ = "pyftpdlib did not start: " + why;
        std::string log = server.Log();
        if (!log.empty()) server.error_ += "\n--- server log ---\n" + log;
        server.Stop();
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
    std::vector<std::string> args{kPython, script, root, user, password, "0"};
    if (!tlsFolder_.empty()) {
        args.push_back(tlsFolder_ + "/cert.pem");
        args.push_back(tlsFolder_ + "/key.pem");
    }
    server.pid_ = Launch(args, portWrite.Get(), logFd.Get(), &error);
    if (server.pid_ < 0) return fail(error);
    portWrite.Reset();

    // The first line of its output is the port; it comes once the socket listens.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    while (line.find('\n') == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) return fail("no port reported within 20 s");
        pollfd p{portRead.Get(), POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[64];
        ssize_t n = ::read(portRead.Get(), buffer, sizeof buffer);
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
        std::string log = server.Log();
        if (!log.empty()) server.error_ += "\n--- server log ---\n" + log;
        server.Stop();
        return std::move(server);
    };
    if (::geteuid() != 0) {
        return fail("it needs root here (PAM log-in of a virtual user, chroot into the root directory)");
    }
    std::string tried;
    std::string binary = ServerBinary("QFTP_VSFTPD", "vsftpd/usr/sbin/vsftpd", "/usr/sbin/vsftpd", &tried);
    if (binary.empty()) return fail("no binary at " + tried + "; run scripts/fetch-servers.sh (make deps)");
    auto templ = ReadFile(SourceDir() + "/tests/servers/vsftpd.conf.in");
    if (!templ) return fail("cannot read tests/servers/vsftpd.conf.in");
    Files& files = *server.files_;
    if (!files.state.ok()) return fail("no temporary directory");
    ::chmod(files.state.Path().c_str(), 0755);
    std::string emptyDir = files.state.Subdir("empty");
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
    if (!made.ExitedWith(0)) return fail("cannot write the user database: " + made.Summary());

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
    std::string error =
        server.LaunchOnFreePort(binary, [&](std::uint16_t port, std::vector<std::string>* args) {
            std::string text = Substitute(*templ, {{"PORT", std::to_string(port)},
                                                   {"RUN_USER", runUser->pw_name},
                                                   {"PAM_SERVICE", service},
                                                   {"ROOT", root},
                                                   {"EMPTY_DIR", emptyDir},
                                                   {"LOG_FILE", files.serverLog}});
            // TLS offered, not forced: plain log-ins keep working beside it.
            if (!tlsFolder_.empty())
                text += "ssl_enable=YES\nforce_local_logins_ssl=NO\nforce_local_data_ssl=NO\nrsa_cert_file=" +
                        tlsFolder_ + "/cert.pem\nrsa_private_key_file=" + tlsFolder_ + "/key.pem\n";
            text += vsftpdSettings_;
            if (!WriteFile(conf, text)) return "cannot write " + conf;
            ::chmod(conf.c_str(), 0600);
            args->push_back(conf);
            return std::string();
        });
    if (!error.empty()) return fail(error);
    return server;
}

RealServer RealServer::StartPureFtpd(const std::string& root, const std::string& user,
                                     const std::string& password) {
    RealServer server(ServerKind::PureFtpd);
    server.user_ = user;
    server.password_ = password;
    server.root_ = root;
    if (::geteuid() != 0) return server.Failed("it needs root here (chroot into the root directory)");
    if (!FitsAccountFile(user) || !FitsAccountFile(password))
        return server.Failed("a user name or password with ':' or a line break cannot go into its user file");
    std::string tried;
    std::string binary =
        ServerBinary("QFTP_PUREFTPD", "pure-ftpd/usr/sbin/pure-ftpd", "/usr/sbin/pure-ftpd", &tried);
    if (binary.empty())
        return server.Failed("no binary at " + tried + "; run scripts/fetch-servers.sh (make deps)");
    // pure-pw comes in the same package, beside the server.
    std::string pureBin = binary.substr(0, binary.rfind("/sbin/")) + "/bin/pure-pw";
    if (!IsExecutable(pureBin)) return server.Failed("no " + pureBin + " beside the server");
    auto templ = ReadFile(SourceDir() + "/tests/servers/pure-ftpd.conf.in");
    if (!templ) return server.Failed("cannot read tests/servers/pure-ftpd.conf.in");
    Files& files = *server.files_;
    if (!files.state.ok()) return server.Failed("no temporary directory");
    files.stderrLog = files.state.file("pure-ftpd.stderr");
    files.serverLog = files.state.file("pure-ftpd.log");

    // The unprivileged user the account runs as; pure-ftpd will not use uid 0.
    uid_t uid = 65534;
    gid_t gid = 65534;
    if (const passwd* nobody = ::getpwnam("nobody")) {
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    if (std::string error = GrantTreeToUser(root, uid); !error.empty())
        return server.Failed("cannot open the root to uid " + std::to_string(uid) + ": " + error);

    std::string hash = Sha512CryptHash(password);
    if (hash.empty()) return server.Failed("the crypt library made no SHA-512 hash");
    // One account line of pure-pw's text format: name, hash, uid, gid, gecos,
    // home, then twelve empty limits.
    std::string passwdFile = files.state.file("pureftpd.passwd");
    std::string line = user + ":" + hash + ":" + std::to_string(uid) + ":" + std::to_string(gid) +
                       "::" + root + "/./" + std::string(12, ':') + "\n";
    if (!WriteFile(passwdFile, line)) return server.Failed("cannot write " + passwdFile);
    std::string db = files.state.file("pureftpd.pdb");
    RunOptions quick;
    quick.timeout = std::chrono::seconds(30);
    ProcessResult made = RunProcess({pureBin, "mkdb", db, "-f", passwdFile}, quick);
    if (!made.ExitedWith(0)) return server.Failed("pure-pw mkdb failed: " + made.Summary());

    std::string conf = files.state.file("pure-ftpd.conf");
    std::string error =
        server.LaunchOnFreePort(binary, [&](std::uint16_t port, std::vector<std::string>* args) {
            std::string text = Substitute(*templ, {{"PORT", std::to_string(port)},
                                                   {"PUREDB", db},
                                                   {"PID_FILE", files.state.file("pure-ftpd.pid")},
                                                   {"LOG_FILE", files.serverLog}});
            if (!tlsFolder_.empty()) {
                // pure-ftpd wants the certificate and its key in one file.
                const std::string bundle = files.state.file("tls-bundle.pem");
                if (!WriteFile(bundle, ReadFile(tlsFolder_ + "/cert.pem").value_or("") +
                                           ReadFile(tlsFolder_ + "/key.pem").value_or("")))
                    return "cannot write " + bundle;
                text += "TLS 1\nCertFile " + bundle + "\n";
            }
            if (!WriteFile(conf, text)) return "cannot write " + conf;
            args->push_back(conf);
            return std::string();
        });
    if (!error.empty()) return server.Failed(error);
    return server;
}

RealServer RealServer::StartProFtpd(const std::string& root, const std::string& user,
                                    const std::string& password) {
    RealServer server(ServerKind::ProFtpd);
    server.user_ = user;
    server.password_ = password;
    server.root_ = root;
    if (::geteuid() != 0) return server.Failed("it needs root here (chroot into the root directory)");
    if (!FitsAccountFile(user) || !FitsAccountFile(password))
        return server.Failed("a user name or password with ':' or a line break cannot go into its user file");
    std::string tried;
    std::string binary =
        ServerBinary("QFTP_PROFTPD", "proftpd-core/usr/sbin/proftpd", "/usr/sbin/proftpd", &tried);
    if (binary.empty())
        return server.Failed("no binary at " + tried + "; run scripts/fetch-servers.sh (make deps)");
    auto templ = ReadFile(SourceDir() + "/tests/servers/proftpd.conf.in");
    if (!templ) return server.Failed("cannot read tests/servers/proftpd.conf.in");
    // The modules lie beside the binary: .../usr/sbin/proftpd, .../usr/lib/proftpd.
    const std::string usr = binary.substr(0, binary.rfind('/', binary.rfind('/') - 1));
    const std::string moduleDir = usr + "/lib/proftpd";
    if (!tlsFolder_.empty() && ::access((moduleDir + "/mod_tls.so").c_str(), R_OK) != 0)
        return server.Failed("no mod_tls.so in " + moduleDir + "; run scripts/fetch-servers.sh (make deps)");
    Files& files = *server.files_;
    if (!files.state.ok()) return server.Failed("no temporary directory");
    files.stderrLog = files.state.file("proftpd.stderr");
    files.serverLog = files.state.file("proftpd.log");
    const passwd* runUser = ::getpwuid(::geteuid());
    if (runUser == nullptr) return server.Failed("the launching user has no name");
    std::string runUserName = runUser->pw_name;
    uid_t uid = runUser->pw_uid;
    gid_t gid = runUser->pw_gid;
    const group* runGroup = ::getgrgid(gid);
    if (runGroup == nullptr) return server.Failed("the launching user's group has no name");
    std::string runGroupName = runGroup->gr_name;

    std::string hash = Sha512CryptHash(password);
    if (hash.empty()) return server.Failed("the crypt library made no SHA-512 hash");
    // proftpd refuses account files that others can write to.
    std::string passwdFile = files.state.file("passwd");
    std::string groupFile = files.state.file("group");
    if (!WriteFile(passwdFile, user + ":" + hash + ":" + std::to_string(uid) + ":" + std::to_string(gid) +
                                   "::" + root + ":/bin/sh\n") ||
        !WriteFile(groupFile, runGroupName + ":x:" + std::to_string(gid) + ":\n"))
        return server.Failed("cannot write the account files");
    ::chmod(passwdFile.c_str(), 0600);
    ::chmod(groupFile.c_str(), 0644);

    std::string conf = files.state.file("proftpd.conf");
    std::string error =
        server.LaunchOnFreePort(binary, [&](std::uint16_t port, std::vector<std::string>* args) {
            std::string text = Substitute(*templ, {{"PORT", std::to_string(port)},
                                                   {"RUN_USER", runUserName},
                                                   {"RUN_GROUP", runGroupName},
                                                   {"STATE_DIR", files.state.Path()},
                                                   {"LOG_FILE", files.serverLog},
                                                   {"MODULE_DIR", moduleDir}});
            if (!tlsFolder_.empty()) {
                // Offered, not required, so plain log-ins keep working beside
                // it. Session reuse on data connections stays demanded (no
                // NoSessionReuseRequired): that is what a client must meet.
                files.tlsLog = files.state.file("tls.log");
                text += "LoadModule mod_tls.c\n<IfModule mod_tls.c>\n  TLSEngine on\n  TLSLog " +
                        files.tlsLog +
                        "\n  TLSProtocol TLSv1.2 TLSv1.3\n  TLSRequired off\n  TLSVerifyClient off\n"
                        "  TLSRSACertificateFile " +
                        tlsFolder_ + "/cert.pem\n  TLSRSACertificateKeyFile " + tlsFolder_ +
                        "/key.pem\n</IfModule>\n";
            }
            if (!WriteFile(conf, text)) return "cannot write " + conf;
            ::chmod(conf.c_str(), 0600);
            args->insert(args->end(), {"-n", "-q", "-c", conf});
            return std::string();
        });
    if (!error.empty()) return server.Failed(error);
    return server;
}

}  // namespace testsupport

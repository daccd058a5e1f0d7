// Where quorvel-ftp-cli takes its password from besides -p PASSWORD: standard
// input (without echo on a terminal), QUORVEL_FTP_PASSWORD and ~/.netrc; and
// the -p argument blanked in /proc/PID/cmdline. Against the scriptable fake
// server, which records what came on the wire.
#include "tools/cli_password.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/cli_runner.h"
#include "support/fake_ftp_server.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using cli::FindNetrcEntry;
using cli::NetrcState;
using testsupport::FakeFtpServer;
using testsupport::TempDir;

bool Holds(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// ---- .netrc text

TEST(CliNetrc, FindsTheEntryOfTheHostAsFtpDoes) {
    const std::optional<std::string> anyUser;
    struct Case {
        const char* what;
        std::string text;
        std::optional<std::string> user;
        NetrcState state;
        std::optional<std::string> login;  // no value: no entry
        std::string password;
    };
    const Case cases[] = {
        {"one line", "machine h login me password pw\n", anyUser, NetrcState::Read, "me", "pw"},
        {"over lines", "machine h\n  login me\n  password pw\n", anyUser, NetrcState::Read, "me", "pw"},
        {"other host", "machine other login me password pw\n", anyUser, NetrcState::Read, std::nullopt, ""},
        {"first machine wins", "machine h login a password 1\nmachine h login b password 2\n", anyUser,
         NetrcState::Read, "a", "1"},
        {"default when no machine", "machine x login a password 1\ndefault login d password dd\n", anyUser,
         NetrcState::Read, "d", "dd"},
        {"machine before default", "default login d password dd\nmachine h login a password 1\n", anyUser,
         NetrcState::Read, "a", "1"},
        {"no login", "machine h password pw\n", anyUser, NetrcState::Read, "", "pw"},
        {"no password", "machine h login me\n", anyUser, NetrcState::Read, std::nullopt, ""},
        {"login of -u", "machine h login a password 1\nmachine h login b password 2\n", "b", NetrcState::Read,
         "b", "2"},
        {"other login than -u", "machine h login a password 1\n", "z", NetrcState::Read, std::nullopt, ""},
        {"quoted", "machine h login \"my name\" password \"p \\\"w\\\\\"\n", anyUser, NetrcState::Read,
         "my name", "p \"w\\"},
        {"account skipped", "machine h login me account acc password pw\n", anyUser, NetrcState::Read, "me",
         "pw"},
        {"macro skipped",
         "macdef init\ncd /\nmachine h login no password no\n\nmachine h login me password pw\n", anyUser,
         NetrcState::Read, "me", "pw"},
        {"CR LF", "machine h\r\nlogin me\r\npassword pw\r\n", anyUser, NetrcState::Read, "me", "pw"},
        {"empty", "", anyUser, NetrcState::Read, std::nullopt, ""},
        {"keyword at end", "machine h login me password", anyUser, NetrcState::Malformed, std::nullopt, ""},
        {"machine at end", "machine", anyUser, NetrcState::Malformed, std::nullopt, ""},
        {"unknown word", "machine h logon me password pw\n", anyUser, NetrcState::Malformed, std::nullopt,
         ""},
        {"login before machine", "login me password pw\n", anyUser, NetrcState::Malformed, std::nullopt, ""},
        {"open quote", "machine h login \"me password pw\n", anyUser, NetrcState::Malformed, std::nullopt,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const cli::NetrcLookup found = FindNetrcEntry(c.text, "h", c.user);
        EXPECT_EQ(found.state, c.state);
        ASSERT_EQ(found.entry.has_value(), c.login.has_value());
        if (!c.login) continue;
        EXPECT_EQ(found.entry->login, *c.login);
        EXPECT_EQ(found.entry->password, c.password);
    }
}

// ---- the password on the wire, from each source

struct Source {
    const char* what;
    std::vector<std::string> args;  // before "-P PORT ... HOST"
    std::string stdinData;
    std::vector<std::string> env;  // besides HOME
    std::optional<std::string> netrc;
    mode_t netrcMode;
    std::string user;      // expected on the wire
    std::string password;  // expected on the wire
    bool warning;          // a line about ~/.netrc on standard error
};

TEST(CliPassword, EachSourceInItsOrder) {
    const std::string anonymous = "quorvel@ftp.local";
    const std::string entry = "machine 127.0.0.1 login netuser password netpw\n";
    const Source sources[] = {
        {"-p", {"-u", "u", "-p", "argpw"}, "", {}, std::nullopt, 0600, "u", "argpw", false},
        {"-p -",
         {"-u", "u", "-p", "-", "-c", "pwd"},
         "stdinpw\n",
         {},
         std::nullopt,
         0600,
         "u",
         "stdinpw",
         false},
        {"-p - CR LF",
         {"-u", "u", "-p", "-", "-c", "pwd"},
         "stdinpw\r\n",
         {},
         std::nullopt,
         0600,
         "u",
         "stdinpw",
         false},
        {"environment",
         {"-u", "u"},
         "",
         {"QUORVEL_FTP_PASSWORD=envpw"},
         std::nullopt,
         0600,
         "u",
         "envpw",
         false},
        {"-p before environment",
         {"-u", "u", "-p", "argpw"},
         "",
         {"QUORVEL_FTP_PASSWORD=envpw"},
         entry,
         0600,
         "u",
         "argpw",
         false},
        {"environment before .netrc",
         {},
         "",
         {"QUORVEL_FTP_PASSWORD=envpw"},
         entry,
         0600,
         "anonymous",
         "envpw",
         false},
        {".netrc", {}, "", {}, entry, 0600, "netuser", "netpw", false},
        {".netrc of -u", {"-u", "netuser"}, "", {}, entry, 0400, "netuser", "netpw", false},
        {".netrc of another user", {"-u", "u"}, "", {}, entry, 0600, "u", anonymous, false},
        {".netrc readable by all", {}, "", {}, entry, 0644, "anonymous", anonymous, true},
        {".netrc readable by the group", {}, "", {}, entry, 0640, "anonymous", anonymous, true},
        {".netrc writable by others", {}, "", {}, entry, 0602, "anonymous", anonymous, true},
        {".netrc malformed", {}, "", {}, "machine 127.0.0.1 login", 0600, "anonymous", anonymous, true},
        {"none", {}, "", {}, std::nullopt, 0600, "anonymous", anonymous, false},
    };
    for (const Source& s : sources) {
        SCOPED_TRACE(s.what);
        TempDir home;
        if (s.netrc) {
            ASSERT_TRUE(testsupport::WriteFile(home.file(".netrc"), *s.netrc));
            ASSERT_EQ(::chmod(home.file(".netrc").c_str(), s.netrcMode), 0);
        }
        FakeFtpServer server;
        server.SetCredentials(s.user, s.password);
        std::vector<std::string> args = s.args;
        for (const char* a : {"-P", "", "-t", "5000"}) args.emplace_back(a);
        args[args.size() - 3] = std::to_string(server.port());
        args.emplace_back("127.0.0.1");
        testsupport::RunOptions run;
        run.stdinData = s.stdinData;
        run.extraEnv = s.env;
        run.extraEnv.push_back("HOME=" + home.Path());
        const testsupport::ProcessResult result = testsupport::RunCli(args, run);
        EXPECT_TRUE(result.ExitedWith(0)) << result.Summary();
        const std::vector<std::string> wire = server.Commands();
        EXPECT_TRUE(Holds(wire, "USER " + s.user));
        EXPECT_TRUE(Holds(wire, "PASS " + s.password));
        EXPECT_EQ(result.err.find(".netrc is ignored") != std::string::npos, s.warning) << result.err;
        EXPECT_EQ(result.err.find(s.password), std::string::npos) << "the log shows the password";
    }
}

TEST(CliPassword, DashWithoutALineOnStandardInputIsAUsageError) {
    FakeFtpServer server;
    testsupport::RunOptions run;
    run.stdinData = "";
    const testsupport::ProcessResult result =
        testsupport::RunCli({"-p", "-", "-P", std::to_string(server.port()), "127.0.0.1"}, run);
    EXPECT_TRUE(result.ExitedWith(2)) << result.Summary();
    EXPECT_NE(result.err.find("no password on standard input"), std::string::npos) << result.err;
    EXPECT_EQ(server.ConnectionCount(), 0);
}

// After the password line, the rest of standard input is the command list.
TEST(CliPassword, CommandsFollowThePasswordOnStandardInput) {
    FakeFtpServer server;
    server.SetCredentials("u", "pw");
    testsupport::RunOptions run;
    run.stdinData = "pw\npwd\nmkdir made\n";
    const testsupport::ProcessResult result =
        testsupport::RunCli({"-u", "u", "-p", "-", "-P", std::to_string(server.port()), "127.0.0.1"}, run);
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_EQ(result.out, "/\n");
    EXPECT_TRUE(server.DirectoryExists("/made"));
}

// ---- the process list

// The children of this test process that run the command-line client.
std::vector<pid_t> CliChildren() {
    std::vector<pid_t> found;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return found;
    const std::string cli = std::filesystem::weakly_canonical(testsupport::CliPath()).string();
    while (dirent* entry = ::readdir(proc.get())) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat("/proc/" + name + "/stat");
        std::string line;
        std::getline(stat, line);
        // "PID (COMM) STATE PPID ...": COMM may hold blanks, so read after its ")".
        const std::size_t close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 1));
        std::string state;
        pid_t parent = 0;
        rest >> state >> parent;
        std::error_code error;
        const auto exe = std::filesystem::read_symlink("/proc/" + name + "/exe", error);
        if (parent == ::getpid() && !error && exe == cli) found.push_back(std::stoi(name));
    }
    return found;
}

TEST(CliPassword, TheArgumentIsBlankedInTheProcessList) {
    const std::string password = "VisibleSecret42";
    for (const bool attached : {false, true}) {
        SCOPED_TRACE(attached ? "-pPASSWORD" : "-p PASSWORD");
        FakeFtpServer server;
        // Held at the greeting, the client waits with its command line in place.
        server.GreetWith(testsupport::Action::Silence());
        std::vector<std::string> args = {"-u", "u"};
        if (attached) {
            args.push_back("-p" + password);
        } else {
            args.insert(args.end(), {"-p", password});
        }
        args.insert(args.end(), {"-P", std::to_string(server.port()), "-t", "30000", "127.0.0.1"});
        testsupport::ProcessResult result;
        std::thread run([&] { result = testsupport::RunCli(args); });
        ASSERT_TRUE(server.WaitForConnections(1, 20s));
        const std::vector<pid_t> children = CliChildren();
        std::string cmdline;
        if (children.size() == 1) {
            std::ifstream in("/proc/" + std::to_string(children[0]) + "/cmdline", std::ios::binary);
            cmdline.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        server.DropConnections();
        run.join();
        ASSERT_EQ(children.size(), 1u);
        EXPECT_EQ(cmdline.find(password), std::string::npos) << cmdline;
        const std::string blanked = std::string(attached ? "-p" : "-p\0", attached ? 2 : 3) +
                                    std::string(password.size(), 'x') + std::string(1, '\0');
        EXPECT_NE(cmdline.find(blanked), std::string::npos) << cmdline;
        EXPECT_TRUE(result.ExitedWith(1)) << result.Summary();
    }
}

// ---- a terminal on standard input

TEST(CliPassword, TypedOnATerminalItIsNotEchoed) {
    FakeFtpServer server;
    server.SetCredentials("u", "TypedSecret");
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    testsupport::UniqueFd masterFd(master), slaveFd(slave);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_adddup2(&actions, slave, fd);
    posix_spawn_file_actions_addclose(&actions, slave);
    std::vector<std::string> args = {
        testsupport::CliPath(),        "-u", "u",    "-p",       "-", "-c", "pwd", "-P",
        std::to_string(server.port()), "-t", "5000", "127.0.0.1"};
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);

    std::string screen;
    auto readFor = [&](auto done) {
        for (int i = 0; i < 1000 && !done(); ++i) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buffer[512];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) break;
            screen.append(buffer, static_cast<std::size_t>(n));
        }
    };
    // The prompt comes after echo is off; what is typed earlier would be echoed.
    readFor([&] { return screen.find("Password: ") != std::string::npos; });
    ASSERT_NE(screen.find("Password: "), std::string::npos) << screen;
    ASSERT_EQ(::write(master, "TypedSecret\n", 12), 12);
    int status = 0;
    readFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
    // What is left on the screen; the slave stays open here, so no end of file comes.
    for (pollfd p{master, POLLIN, 0}; ::poll(&p, 1, 100) > 0;) {
        char buffer[512];
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        screen.append(buffer, static_cast<std::size_t>(n));
    }
    if (::kill(pid, 0) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "the client did not end: " << screen;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_EQ(screen.find("TypedSecret"), std::string::npos) << screen;
    EXPECT_TRUE(Holds(server.Commands(), "PASS TypedSecret"));
    termios after{};
    ASSERT_EQ(::tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo is not restored";
}

}  // namespace

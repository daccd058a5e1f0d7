// quorvel-ftp-cli against the scriptable fake server where a user would be
// misled or harmed: listings that fail, "." and "..", names that would drive
// a terminal, and a download interrupted by a signal or a kill.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
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
using testsupport::Action;
using testsupport::FakeFtpServer;
using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::TransferFaults;
using testsupport::UniqueFd;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // a terminal writes CR LF
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> CliArgs(const FakeFtpServer& server, std::vector<std::string> commands,
                                 int timeoutMs = 2000) {
    std::vector<std::string> args = {
        testsupport::CliPath(),   "-u", "u", "-p", "p", "-P", std::to_string(server.port()), "-t",
        std::to_string(timeoutMs)};
    for (auto& command : commands) {
        args.push_back("-c");
        args.push_back(std::move(command));
    }
    args.push_back("127.0.0.1");
    return args;
}

// The command-line client as a child of the test: its standard output goes
// to a pipe or to a terminal (a pseudo-terminal), standard error to a pipe.
// Ended by its PID; every wait is bounded.
class Child {
public:
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    bool Start(const std::vector<std::string>& argv, bool terminal) {
        int outRead = -1, outWrite = -1, errFds[2];
        if (terminal) {
            if (::openpty(&outRead, &outWrite, nullptr, nullptr, nullptr) != 0) return false;
        } else {
            int fds[2];
            if (::pipe(fds) != 0) return false;
            outRead = fds[0];
            outWrite = fds[1];
        }
        if (::pipe(errFds) != 0) return false;
        out_.Reset(outRead);
        err_.Reset(errFds[0]);
        UniqueFd outChild(outWrite), errChild(errFds[1]);
        for (int fd : {out_.Get(), err_.Get(), outChild.Get(), errChild.Get()})
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, outChild.Get(), 1);
        posix_spawn_file_actions_adddup2(&actions, errChild.Get(), 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        std::vector<std::string> args = argv;
        std::vector<char*> argp;
        for (auto& a : args) argp.push_back(a.data());
        argp.push_back(nullptr);
        int rc = ::posix_spawn(&pid_, args[0].c_str(), &actions, &attr, argp.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    void Signal(int number) const { ::kill(pid_, number); }

    // Drains both outputs until the child has exited; false when it did not
    // exit within the limit.
    bool Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0) {
            Drain();
            int status = 0;
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                Drain();
                if (WIFEXITED(status)) exitCode = WEXITSTATUS(status);
                if (WIFSIGNALED(status)) signal = WTERMSIG(status);
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline) return false;
        }
        return true;
    }

    int exitCode = -1;
    int signal = 0;
    std::string out;
    std::string err;

private:
    void Drain() {
        pollfd fds[2] = {{out_.Get(), POLLIN, 0}, {err_.Get(), POLLIN, 0}};
        if (::poll(fds, 2, 10) <= 0) return;
        char buffer[4096];
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(out_.Get(), buffer, sizeof buffer);
            if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::read(err_.Get(), buffer, sizeof buffer);
            if (n > 0) err.append(buffer, static_cast<std::size_t>(n));
        }
    }

    pid_t pid_ = -1;
    UniqueFd out_;
    UniqueFd err_;
};

// ---- ls

// Every way a listing can fail is an exit status of 1 with the reason on
// standard error; an empty folder is a success with no output.
TEST(CliLs, AFailedListingExitsWithOneAndSaysWhy) {
    const std::string line = "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n";
    const struct {
        const char* what;
        std::function<void(FakeFtpServer&)> arrange;
        const char* reason;
    } cases[] = {
        {"LIST refused with 550", [](FakeFtpServer& s) { s.Reply("LIST", "550 No such directory\r\n"); },
         "获得列表错误"},
        {"LIST refused with 450", [](FakeFtpServer& s) { s.Reply("LIST", "450 Busy\r\n"); }, "获得列表错误"},
        {"the data connection stalls",
         [&](FakeFtpServer& s) {
             TransferFaults stall;
             stall.stallAfterBytes = 3;
             s.SetListing("/", line, stall);
         },
         "接收数据超时"},
        {"the final reply never comes",
         [](FakeFtpServer& s) { s.OnNext("LIST", {Action::Reply("150 Here\r\n")}); }, "获得返回命令失败"},
        {"no data channel",
         [](FakeFtpServer& s) {
             s.Reply("PASV", "502 no\r\n");
             s.Reply("PORT", "502 no\r\n");
         },
         "获得列表错误"},
    };
    for (const auto& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.SetListing("/", line);
        c.arrange(server);
        std::vector<std::string> args = CliArgs(server, {"ls"}, 1000);
        ProcessResult result = testsupport::RunProcess(args);
        EXPECT_TRUE(result.ExitedWith(1)) << c.what << "\n" << result.Summary();
        EXPECT_EQ(result.out, "") << c.what;
        const std::string said = "quorvel-ftp-cli: ls: ";
        std::size_t at = result.err.find(said);
        ASSERT_NE(at, std::string::npos) << c.what << "\n" << result.err;
        EXPECT_NE(result.err.find(c.reason, at), std::string::npos) << c.what << "\n" << result.err;
    }
    FakeFtpServer empty;
    empty.SetListing("/", "");
    ProcessResult result = testsupport::RunProcess(CliArgs(empty, {"ls"}));
    EXPECT_TRUE(result.ExitedWith(0)) << result.Summary();
    EXPECT_EQ(result.out, "");
}

TEST(CliLs, DotAndDotDotAreNeverListed) {
    FakeFtpServer server;
    server.SetListing("/",
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 .\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 ..\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 ...\r\n"
                      "-rw-r--r-- 1 ftp ftp 5 Jan 12 10:30 a\r\n");
    ProcessResult result = testsupport::RunProcess(CliArgs(server, {"ls"}));
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary();
    std::vector<std::string> names;
    for (const std::string& l : Lines(result.out)) names.push_back(l.substr(0, l.find('\t')));
    EXPECT_EQ(names, (std::vector<std::string>{"...", "a"}));
}

// On a terminal a name cannot carry escape sequences, control bytes or tabs
// through; into a pipe (for scripts) names stay byte for byte.
TEST(CliLs, NamesAreEscapedOnATerminalAndExactInAPipe) {
    const std::pair<std::string, std::string> names[] = {
        {"clear\x1b[2Jscreen", "clear\\x1B[2Jscreen"},
        {"tab\there", "tab\\x09here"},
        {"bell\x07", "bell\\x07"},
        {"del\x7f", "del\\x7F"},
        {"back\\slash", "back\\x5Cslash"},
        {"c1\xc2\x9b"
         "31m",
         "c1\\xC2\\x9B31m"},
        {"中文 名字", "中文 名字"},
        {"plain.txt", "plain.txt"},
    };
    std::string listing;
    for (const auto& [raw, shown] : names) listing += "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 " + raw + "\r\n";
    FakeFtpServer server;
    server.SetListing("/", listing);
    for (bool terminal : {true, false}) {
        Child child;
        ASSERT_TRUE(child.Start(CliArgs(server, {"ls"}), terminal));
        ASSERT_TRUE(child.Wait(60s));
        EXPECT_EQ(child.exitCode, 0) << child.err;
        std::vector<std::string> lines = Lines(child.out);
        ASSERT_EQ(lines.size(), std::size(names)) << child.out;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string expected = terminal ? names[i].second : names[i].first;
            // In a pipe a name holding a tab runs into the next column; its start is still its own.
            EXPECT_EQ(lines[i].substr(0, expected.size()), expected) << (terminal ? "terminal" : "pipe");
            if (terminal) {
                EXPECT_EQ(lines[i].find('\x1b'), std::string::npos) << lines[i];
            }
        }
    }
}

// On a terminal the columns line up and sizes are grouped; in a pipe the
// same listing stays one TAB-separated line per entry.
TEST(CliLs, ColumnsArePaddedOnATerminalAndTabSeparatedInAPipe) {
    FakeFtpServer server;
    server.SetListing("/",
                      "-rw-r--r-- 1 ftp ftp 1234567 Jan 12 10:30 big.zip\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 中文\r\n"
                      "-rw-r--r-- 1 ftp ftp 5 Jan 12 10:30 a\r\n");
    for (bool terminal : {true, false}) {
        Child child;
        ASSERT_TRUE(child.Start(CliArgs(server, {"ls"}), terminal));
        ASSERT_TRUE(child.Wait(60s));
        EXPECT_EQ(child.exitCode, 0) << child.err;
        const std::vector<std::string> lines = Lines(child.out);
        ASSERT_EQ(lines.size(), 3u) << child.out;
        for (const std::string& line : lines)
            EXPECT_EQ(line.find('\t') == std::string::npos, terminal) << line;
        if (terminal) {
            EXPECT_EQ(lines[0].substr(0, 20), "big.zip  1,234,567  ") << lines[0];
            EXPECT_EQ(lines[1].substr(0, 22), "中文             -  ") << lines[1];
            EXPECT_EQ(lines[2].substr(0, 20), "a                5  ") << lines[2];
            EXPECT_EQ(lines[2].back(), '-');
            EXPECT_EQ(lines[1].back(), 'd');
        } else {
            EXPECT_EQ(lines[0].substr(0, 16), "big.zip\t1234567\t") << lines[0];
            EXPECT_EQ(lines[1].substr(0, 10), "中文\t-1\t") << lines[1];
        }
    }
}

// ---- get interrupted

constexpr const char* kStamp = "213 20261209101500\r\n";

struct StalledDownload {
    StalledDownload() {
        TransferFaults stall;
        stall.stallAfterBytes = kSent;  // then silence, for as long as the client waits
        server.AddFile("/big.bin", content, stall);
        server.Reply("MDTM", kStamp);
    }
    // Waits until the bytes before the stall are (almost all) on disk, under
    // the temporary name.
    bool WaitForBytes() const {
        for (int i = 0; i < 3000; ++i) {
            if (testsupport::FileSize(Part()) >= kSent - 20480) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    std::string Part() const { return local.file("big.bin.quorvel-part"); }

    static constexpr std::int64_t kSent = 300000;
    std::string content = testsupport::PatternBytes(0, 2000000, 21);
    FakeFtpServer server;
    TempDir local;
};

// SIGINT and SIGTERM stop the download as a stop does: the part file is cut
// to the bytes received, nothing carries the final name, and the exit status
// says the run did not finish.
TEST(CliGet, ASignalStopsTheDownloadAndLeavesOnlyTheBytesReceived) {
    for (int signal : {SIGINT, SIGTERM}) {
        StalledDownload d;
        Child child;
        ASSERT_TRUE(
            child.Start(CliArgs(d.server, {"get /big.bin " + d.local.file("big.bin")}, 600000), false));
        ASSERT_TRUE(d.WaitForBytes()) << signal;
        child.Signal(signal);
        ASSERT_TRUE(child.Wait(60s)) << signal;
        EXPECT_EQ(child.signal, 0) << signal << "\n" << child.err;  // it ended itself
        EXPECT_EQ(child.exitCode, 128 + signal) << child.err;
        EXPECT_EQ(testsupport::FileSha256Hex(d.Part()),
                  testsupport::Sha256Hex(d.content.substr(0, StalledDownload::kSent)))
            << signal << " size " << testsupport::FileSize(d.Part());
        EXPECT_EQ(testsupport::FileSize(d.local.file("big.bin")), -1) << signal;
    }
}

// A kill (no chance to cut or rename anything) leaves only the part file, no
// larger than the bytes written. The next get of the same file asks only for
// the rest and ends with the whole file under its name.
TEST(CliGet, AKilledDownloadLeavesOnlyItsPartAndTheNextGetSendsOnlyTheRest) {
    StalledDownload d;
    Child child;
    ASSERT_TRUE(child.Start(CliArgs(d.server, {"get /big.bin " + d.local.file("big.bin")}, 600000), false));
    ASSERT_TRUE(d.WaitForBytes());
    child.Signal(SIGKILL);
    ASSERT_TRUE(child.Wait(60s));
    EXPECT_EQ(child.signal, SIGKILL);
    EXPECT_EQ(testsupport::FileSize(d.local.file("big.bin")), -1);
    std::optional<std::string> kept = testsupport::ReadFile(d.Part());
    ASSERT_TRUE(kept.has_value());
    ASSERT_GT(kept->size(), 0u);
    EXPECT_LE(static_cast<std::int64_t>(kept->size()), StalledDownload::kSent);
    EXPECT_TRUE(*kept == d.content.substr(0, kept->size())) << "the bytes kept are not the file's start";

    FakeFtpServer again;  // the same file, now sent without a stall
    again.AddFile("/big.bin", d.content);
    again.Reply("MDTM", kStamp);
    ProcessResult result =
        testsupport::RunProcess(CliArgs(again, {"get /big.bin " + d.local.file("big.bin")}, 5000));
    ASSERT_TRUE(result.ExitedWith(0)) << result.Summary() << result.err;
    EXPECT_EQ(again.CountCommands("REST " + std::to_string(kept->size())), 1) << again.Transcript();
    EXPECT_EQ(testsupport::FileSha256Hex(d.local.file("big.bin")), testsupport::Sha256Hex(d.content));
    EXPECT_EQ(testsupport::FileSize(d.Part()), -1);
    EXPECT_EQ(testsupport::FileSize(d.local.file("big.bin.quorvel-part.info")), -1);
}

// A SIZE far beyond the file: a kill keeps no more reserved than one step
// ahead of the bytes written.
TEST(CliGet, AKilledDownloadWithAnInflatedSizeKeepsAtMostOneStepReserved) {
    StalledDownload d;
    d.server.Reply("SIZE", "213 5000000000\r\n");
    Child child;
    ASSERT_TRUE(child.Start(CliArgs(d.server, {"get /big.bin " + d.local.file("big.bin")}, 600000), false));
    ASSERT_TRUE(d.WaitForBytes());
    child.Signal(SIGKILL);
    ASSERT_TRUE(child.Wait(60s));
    struct stat info {};
    ASSERT_EQ(::stat(d.Part().c_str(), &info), 0);
    const std::int64_t reserved = static_cast<std::int64_t>(info.st_blocks) * 512;
    EXPECT_LE(reserved, StalledDownload::kSent + (std::int64_t{64} << 20) + (1 << 20)) << reserved;
}

}  // namespace

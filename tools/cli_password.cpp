// Password sources of quorvel-ftp-cli besides -p PASSWORD.
#include "tools/cli_password.h"

#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace cli {
namespace {

// A .netrc holds a few lines per server; a bigger file is a mistake, and is
// not read whole into memory.
constexpr std::streamsize kNetrcLimit = 1 << 20;

// Splits at blanks; "..." keeps blanks and takes \" and \\ as escapes.
std::optional<std::vector<std::string>> NetrcTokens(const std::string& text,
                                                    std::vector<std::size_t>& lineOf) {
    std::vector<std::string> tokens;
    std::size_t line = 1;
    std::size_t i = 0;
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    };
    while (i < text.size()) {
        if (blank(text[i])) {
            if (text[i] == '\n') ++line;
            ++i;
            continue;
        }
        std::string token;
        if (text[i] == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                if (text[i] == '\n') ++line;
                token += text[i++];
            }
            if (i >= text.size()) return std::nullopt;
            ++i;
        } else {
            while (i < text.size() && !blank(text[i])) token += text[i++];
        }
        tokens.push_back(std::move(token));
        lineOf.push_back(line);
    }
    return tokens;
}

// The terminal's settings while the password is typed with echo off, for the
// handler below: a Ctrl-C at the prompt must not leave the shell deaf.
termios savedTerminal{};
int quietFd = -1;

extern "C" void RestoreTerminalAndDie(int signal) {
    if (quietFd >= 0) ::tcsetattr(quietFd, TCSANOW, &savedTerminal);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

NetrcLookup FindNetrcEntry(const std::string& text, const std::string& host,
                           const std::optional<std::string>& user) {
    std::vector<std::size_t> lineOf;
    std::optional<std::vector<std::string>> tokens = NetrcTokens(text, lineOf);
    if (!tokens) return {NetrcState::Malformed, std::nullopt};
    // A macro definition runs to the first blank line: its words are not
    // keywords. Lines are counted in the token list to find where it ends.
    std::vector<std::size_t> blankLines;
    {
        std::size_t line = 1;
        bool empty = true;
        for (char c : text) {
            if (c == '\n') {
                if (empty) blankLines.push_back(line);
                ++line;
                empty = true;
            } else if (c != '\r' && c != ' ' && c != '\t') {
                empty = false;
            }
        }
    }
    std::optional<NetrcEntry> found;
    std::optional<NetrcEntry> fallback;
    bool inEntry = false;
    bool matching = false;
    bool isDefault = false;
    NetrcEntry current;
    auto close = [&] {
        if (inEntry && matching && !current.password.empty() &&
            (!user || current.login.empty() || current.login == *user)) {
            if (isDefault) {
                if (!fallback) fallback = current;
            } else if (!found) {
                found = current;
            }
        }
        inEntry = false;
        current = {};
    };
    const std::vector<std::string>& t = *tokens;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const std::string& word = t[i];
        auto value = [&]() -> const std::string* { return i + 1 < t.size() ? &t[++i] : nullptr; };
        if (word == "machine") {
            close();
            const std::string* name = value();
            if (!name) return {NetrcState::Malformed, std::nullopt};
            inEntry = true;
            isDefault = false;
            matching = *name == host;
        } else if (word == "default") {
            close();
            inEntry = true;
            isDefault = true;
            matching = true;
        } else if (word == "login" || word == "password" || word == "account") {
            const std::string* field = value();
            if (!field || !inEntry) return {NetrcState::Malformed, std::nullopt};
            if (word == "login") current.login = *field;
            if (word == "password") current.password = *field;
        } else if (word == "macdef") {
            close();
            if (!value()) return {NetrcState::Malformed, std::nullopt};
            const std::size_t startLine = lineOf[i];
            std::size_t endLine = 0;
            for (std::size_t blankLine : blankLines)
                if (blankLine > startLine) {
                    endLine = blankLine;
                    break;
                }
            while (i + 1 < t.size() && (endLine == 0 || lineOf[i + 1] < endLine)) ++i;
        } else {
            return {NetrcState::Malformed, std::nullopt};
        }
    }
    close();
    return {NetrcState::Read, found ? found : fallback};
}

NetrcLookup LookUpNetrc(const std::string& path, const std::string& host,
                        const std::optional<std::string>& user) {
    NetrcLookup result;
    std::ifstream in(path, std::ios::binary);
    if (!in) return result;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return result;
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        result.state = NetrcState::Unsafe;
        return result;
    }
    std::string text(static_cast<std::size_t>(kNetrcLimit) + 1, '\0');
    in.read(text.data(), kNetrcLimit + 1);
    if (in.gcount() > kNetrcLimit) {
        result.state = NetrcState::TooLarge;
        return result;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    return FindNetrcEntry(text, host, user);
}

std::string DefaultNetrcPath() {
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.netrc";
    if (const passwd* account = ::getpwuid(::getuid()); account && account->pw_dir)
        return std::string(account->pw_dir) + "/.netrc";
    return {};
}

std::optional<std::string> ReadPasswordLine(std::istream& in, int fd) {
    termios saved{};
    const bool terminal = ::isatty(fd) == 1 && ::tcgetattr(fd, &saved) == 0;
    using Handler = void (*)(int);
    Handler oldInt = SIG_DFL, oldTerm = SIG_DFL;
    if (terminal) {
        savedTerminal = saved;
        quietFd = fd;
        oldInt = std::signal(SIGINT, RestoreTerminalAndDie);
        oldTerm = std::signal(SIGTERM, RestoreTerminalAndDie);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
    }
    std::string line;
    const bool read = static_cast<bool>(std::getline(in, line));
    if (terminal) {
        ::tcsetattr(fd, TCSAFLUSH, &saved);
        std::signal(SIGINT, oldInt);
        std::signal(SIGTERM, oldTerm);
        quietFd = -1;
    }
    if (!read) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

void WipeArgument(char* argument) { std::memset(argument, 'x', std::strlen(argument)); }

}  // namespace cli

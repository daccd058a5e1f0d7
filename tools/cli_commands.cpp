// Command table of quorvel-ftp-cli. Each command maps onto one engine call; a
// false, -1 or empty result is a failure.
#include "tools/cli_commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>

#include "downlib/ftp_engine.h"
#include "tools/cli_connections.h"
#include "tools/cli_get.h"
#include "tools/cli_listing.h"
#include "tools/cli_mput.h"
#include "tools/cli_put.h"

namespace cli {
namespace {

std::atomic<int> interruptSignal{0};

// The download objects of the running Run, for Interrupt.
std::mutex runningLock;
std::vector<downlib::Download*> runningDownloads;

// The failure lines the engine logged during the current command, for the
// reason a failed ls gives.
std::mutex errorsLock;
std::vector<std::string> commandErrors;

bool StdoutIsTerminal() {
    static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    return terminal;
}

bool StderrIsTerminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) == 1;
    return terminal;
}

struct Context {
    const Options& options;
    RunConnections& connections;
    downlib::DezAziveduza& Client() { return connections.Client(); }
};

using Handler = std::function<bool(Context&, const std::vector<std::string>&)>;

struct CommandInfo {
    std::size_t minArgs;
    std::size_t maxArgs;
    Handler run;
    // For --help, the manual page and the README: the arguments as the user
    // writes them, and one line on what the command does.
    const char* arguments = "";
    const char* summary = "";
    bool (*wellFormed)(const std::vector<std::string>&) = nullptr;  // beyond the word count
};

// OLE date (days since 1899-12-30, local time) to the standard date-time text.
std::string OleDateText(double value) {
    if (value == -657434.0) return "-";
    double days = std::floor(value);
    double fraction = value - days;
    auto base = static_cast<std::time_t>((days - 25569.0) * 86400.0);
    std::tm date{};
    gmtime_r(&base, &date);
    long seconds = std::lround(fraction * 86400.0);
    return downlib::DateTimeText(date.tm_year + 1900, date.tm_mon + 1, date.tm_mday,
                                 static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                                 static_cast<int>(seconds % 60));
}

bool Pwd(Context& context, const std::vector<std::string>&) {
    std::string directory = context.Client().GetCurrentDir();
    if (directory.empty()) return false;
    std::printf("%s\n", directory.c_str());
    return true;
}

// vsftpd and pure-ftpd take LIST's argument as a pattern: a folder that does
// not exist lists as an empty one ("150", no data, "226"). Entering it tells
// the two apart; the session goes back to where it was.
bool IsListedFolder(downlib::DezAziveduza& client, const std::string& path) {
    const std::string here = client.GetCurrentDir();
    if (!client.ChangeDir(path)) return false;
    if (!here.empty()) client.ChangeDir(here);
    return true;
}

bool Ls(Context& context, const std::vector<std::string>& args) {
    std::vector<std::string> names;
    std::vector<std::int32_t> flags;
    std::vector<std::int64_t> sizes;
    std::vector<double> times;
    std::optional<std::string> path;
    if (args.size() > 1) path = args[1];
    int count = context.Client().ListDir(path, &names, &flags, &sizes, &times);
    if (count < 0) {
        // A failed listing is never an empty folder: say why.
        std::string reason;
        {
            std::lock_guard guard(errorsLock);
            for (const std::string& error : commandErrors) reason += (reason.empty() ? "" : "; ") + error;
        }
        if (reason.empty()) reason = "未连接";
        std::fprintf(stderr, "quorvel-ftp-cli: ls: %s\n",
                     StderrIsTerminal() ? TerminalSafe(reason).c_str() : reason.c_str());
        return false;
    }
    if (count == 0 && path && !path->empty() && !IsListedFolder(context.Client(), *path)) {
        std::fprintf(stderr, "quorvel-ftp-cli: ls: %s: 没有这个目录\n",
                     StderrIsTerminal() ? TerminalSafe(*path).c_str() : path->c_str());
        return false;
    }
    std::vector<ListedEntry> entries;
    for (int i = 0; i < count; ++i) {
        if (names[i] == "." || names[i] == "..") continue;
        const char kind = flags[i] == 1 ? 'l' : (sizes[i] == -1 ? 'd' : '-');
        entries.push_back(
            {StdoutIsTerminal() ? TerminalSafe(names[i]) : names[i], sizes[i], OleDateText(times[i]), kind});
    }
    std::fputs(ListingText(entries, StdoutIsTerminal()).c_str(), stdout);
    std::fflush(stdout);
    return true;
}

const std::map<std::string, CommandInfo>& Commands() {
    static const std::map<std::string, CommandInfo> table = {
        {"pwd", {0, 0, Pwd, "", "prints the current remote folder"}},
        {"cd",
         {1, 1, [](Context& c, const auto& a) { return c.Client().ChangeDir(a[1]); }, "PATH",
          "changes the remote folder"}},
        {"ls",
         {0, 1, Ls, "[PATH]",
          "lists a folder: name, size, time, and d folder, l link or - file; TAB-separated in a pipe, in "
          "padded columns with sizes as 1,234,567 on a terminal"}},
        {"mkdir",
         {1, 1, [](Context& c, const auto& a) { return c.Client().MakeDir(a[1]); }, "PATH",
          "creates a folder"}},
        {"rename",
         {2, 2, [](Context& c, const auto& a) { return c.Client().RenameEntry(a[1], a[2]); }, "OLD NEW",
          "renames an entry"}},
        {"del",
         {1, 1, [](Context& c, const auto& a) { return c.Client().DeleteEntry(a[1]); }, "PATH",
          "deletes a file"}},
        {"rmdir",
         {1, 1, [](Context& c, const auto& a) { return c.Client().RemoveDir(a[1]); }, "PATH",
          "deletes a folder with everything in it (links inside are removed, never followed; a PATH that is "
          "itself a link is removed as a link)"}},
        {"get",
         {2, 2, [](Context& c, const auto& a) { return Get(c.options, c.connections, a); }, "REMOTE LOCAL",
          "downloads one file on a connection of its own, resuming after a break; prints the bytes "
          "received; fails unless the whole file arrived"}},
        {"mget",
         {2, 4, [](Context& c, const auto& a) { return Mget(c.options, c.connections, a); },
          "[-j N] REMOTE_DIR LOCAL_DIR",
          "downloads a folder with everything in it into LOCAL_DIR (as LOCAL_DIR/NAME), N files at once "
          "(default 3; fewer while the server refuses more connections), each on a connection of its own, "
          "folders made first; prints the files and bytes "
          "received; fails unless every file arrived",
          IsMgetCommand}},
        {"mput",
         {2, 4, [](Context& c, const auto& a) { return Mput(c.options, c.connections, a); },
          "[-j N] LOCAL_DIR REMOTE_DIR",
          "uploads a folder with everything in it into REMOTE_DIR (as REMOTE_DIR/NAME), N files at once "
          "(default 3; fewer while the server refuses more connections), folders made first; links are left "
          "out; prints the files and bytes sent; fails "
          "unless every file arrived",
          IsMputCommand}},
        {"put",
         {1, 3, [](Context& c, const auto& a) { return Put(c.options, c.connections, a); },
          "[-r] LOCAL [REMOTE]",
          "uploads a file (REMOTE defaults to its name in the current remote folder); a remote file "
          "proven the same is skipped, one proven the local file's beginning continued, any other "
          "replaced; -r only continues (and fails, changing nothing, without that proof); fails "
          "unless the whole file arrived",
          IsPutCommand}},
    };
    return table;
}

std::string CommandSynopsis(const std::string& name, const CommandInfo& info) {
    return *info.arguments ? name + " " + info.arguments : name;
}

}  // namespace

void PrintLog(downlib::Handle, const std::string&, const std::string& message, int kind, downlib::Handle) {
    if (kind == downlib::LogError) {
        std::lock_guard guard(errorsLock);
        commandErrors.push_back(message);
    }
    // Reply lines come from the server: on a terminal they are escaped too.
    std::fprintf(stderr, "%d %s\n", kind,
                 StderrIsTerminal() ? TerminalSafe(message).c_str() : message.c_str());
    std::fflush(stderr);
}

std::string TerminalSafe(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c < 0x20 || c == 0x7F || c == '\\') {
            escape(c);
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // U+0080 to U+009F: a terminal reads U+009B as the start of a control sequence.
            escape(c);
            escape(next);
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void Interrupt(int signal) {
    int expected = 0;
    interruptSignal.compare_exchange_strong(expected, signal);
    std::lock_guard guard(runningLock);
    for (downlib::Download* running : runningDownloads) running->StopTask();
}

RunningDownload::RunningDownload(downlib::Download& download) : download_(download) {
    std::lock_guard guard(runningLock);
    runningDownloads.push_back(&download_);
    if (interruptSignal.load() != 0) download_.StopTask();
}

RunningDownload::~RunningDownload() {
    std::lock_guard guard(runningLock);
    std::erase(runningDownloads, &download_);
}

int InterruptSignal() { return interruptSignal.load(); }

std::string ForStderr(const std::string& text) { return StderrIsTerminal() ? TerminalSafe(text) : text; }

std::optional<std::vector<std::string>> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            std::size_t close = line.find('"', i + 1);
            if (close == std::string::npos) return std::nullopt;
            word = line.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
        }
        words.push_back(std::move(word));
    }
    return words;
}

bool IsKnownCommand(const std::vector<std::string>& words) {
    if (words.empty()) return false;
    auto it = Commands().find(words[0]);
    if (it == Commands().end()) return false;
    std::size_t args = words.size() - 1;
    if (args < it->second.minArgs || args > it->second.maxArgs) return false;
    return !it->second.wellFormed || it->second.wellFormed(words);
}

std::string HelpText() {
    std::string text =
        "Usage: quorvel-ftp-cli [OPTION]... HOST\n"
        "Logs in to the FTP server HOST (port 21 and anonymous by default), runs the\n"
        "commands in order, then logs out. Without -c, commands are read from standard\n"
        "input one per line (blank lines and lines starting with # are ignored); a name\n"
        "with blanks is written in double quotes. Every engine log event is one line on\n"
        "standard error: the kind digit (0 progress, 1 command, 2 reply, 3 error), a\n"
        "blank, the message.\n"
        "\n"
        "Without -p the password comes from the environment variable\n"
        "QUORVEL_FTP_PASSWORD, else from the entry of HOST in ~/.netrc (machine, login,\n"
        "password; the file is ignored with a warning when others may read it).\n"
        "\n"
        "Options:\n"
        "  -u USER         user name (default the login of ~/.netrc, else anonymous)\n"
        "  -p PASSWORD     password; it shows in the process list to every user of the machine (until "
        "the program blanks it as it starts): prefer -p -, QUORVEL_FTP_PASSWORD or ~/.netrc\n"
        "  -p -            reads the password from the first line of standard input (no echo on a terminal); "
        "commands may follow on the next lines\n"
        "  -P PORT         server port (default 21)\n"
        "  -t TIMEOUT_MS   time-out of the connect, of each send and of each reply\n"
        "  -b SEND_BLOCK   bytes per send of put (default: the engine's, 64 KiB)\n"
        "  -c COMMAND      a command to run; repeat for more\n"
        "  --tls MODE      auto (default: TLS when offered), required, implicit (port 990) or off\n"
        "  --trust SHA256:HEX  trusts the certificate with this SHA-256 fingerprint; repeat for more\n"
        "  --trust-always  keeps the --trust certificates in the trusted-certificate file\n"
        "  --retries N     retries of a transfer after a failed attempt (default 5)\n"
        "  -h, --help      prints this help and exits\n"
        "  --version       prints the version and exits\n"
        "\n"
        "Commands:\n";
    std::size_t width = 0;
    for (const auto& [name, info] : Commands()) width = std::max(width, CommandSynopsis(name, info).size());
    for (const auto& [name, info] : Commands()) {
        const std::string synopsis = CommandSynopsis(name, info);
        text += "  " + synopsis + std::string(width + 2 - synopsis.size(), ' ') + info.summary + "\n";
    }
    text +=
        "\n"
        "Exit status:\n"
        "  0   the log-in and every command succeeded\n"
        "  1   the log-in or a command failed (the session is still closed)\n"
        "  2   usage error\n"
        "  130  stopped by SIGINT, 143 by SIGTERM (a running transfer is stopped first)\n";
    return text;
}

int Run(const Options& options, const std::vector<std::vector<std::string>>& commands) {
    RunConnections connections(options);
    if (!connections.LogIn()) return 1;
    Context context{options, connections};
    int status = 0;
    for (const auto& words : commands) {
        if (interruptSignal.load() != 0) break;
        {
            std::lock_guard guard(errorsLock);
            commandErrors.clear();
        }
        if (!Commands().at(words[0]).run(context, words)) {
            status = 1;
            break;
        }
    }
    std::fflush(stdout);
    connections.LogOut();
    if (interruptSignal.load() != 0) return 128 + interruptSignal.load();
    return status;
}

}  // namespace cli

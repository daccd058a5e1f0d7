// Command table of quorvel-ftp-cli. Each command maps onto one engine call; a
// false, -1 or empty result is a failure.
#include "tools/cli_commands.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "downlib/ftp_engine.h"

namespace cli {
namespace {

std::atomic<int> interruptSignal{0};

// The download object of the running Run, for Interrupt.
std::mutex runningLock;
downlib::Download* runningDownload = nullptr;

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
    downlib::DezAziveduza& client;
    downlib::Download& download;
};

using Handler = std::function<bool(Context&, const std::vector<std::string>&)>;

struct CommandInfo {
    std::size_t minArgs;
    std::size_t maxArgs;
    Handler run;
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
    std::string directory = context.client.GetCurrentDir();
    if (directory.empty()) return false;
    std::printf("%s\n", directory.c_str());
    return true;
}

bool Ls(Context& context, const std::vector<std::string>& args) {
    std::vector<std::string> names;
    std::vector<std::int32_t> flags;
    std::vector<std::int64_t> sizes;
    std::vector<double> times;
    std::optional<std::string> path;
    if (args.size() > 1) path = args[1];
    int count = context.client.ListDir(path, &names, &flags, &sizes, &times);
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
    for (int i = 0; i < count; ++i) {
        if (names[i] == "." || names[i] == "..") continue;
        char kind = flags[i] == 1 ? 'l' : (sizes[i] == -1 ? 'd' : '-');
        const std::string name = StdoutIsTerminal() ? TerminalSafe(names[i]) : names[i];
        std::printf("%s\t%lld\t%s\t%c\n", name.c_str(), static_cast<long long>(sizes[i]),
                    OleDateText(times[i]).c_str(), kind);
    }
    std::fflush(stdout);
    return true;
}

void PrintLog(downlib::Handle, const std::string&, const std::string& message, int kind, downlib::Handle);

// The engine decodes "%XX" and "+" in a URL path; a name holding them must
// reach the server as typed.
std::string EscapeForUrl(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '%')
            out += "%25";
        else if (c == '+')
            out += "%2B";
        else
            out += c;
    }
    return out;
}

// What a download task reported, filled on the task's thread.
struct GetOutcome {
    std::mutex lock;
    std::condition_variable changed;
    bool ended = false;
    std::int64_t bytes = 0;
    int workersDone = 0;
    int workersFailed = 0;
};

// get REMOTE LOCAL: one download task over a connection of its own. The
// byte count goes to standard output; the command fails unless every worker
// of the task reported its part whole.
bool Get(Context& context, const std::vector<std::string>& args) {
    const Options& options = context.options;
    std::string remote = args[1];
    if (remote.empty() || remote[0] != '/') remote = "/" + remote;
    downlib::TaskParam param;
    param.url = "ftp://" + options.host + ":" + std::to_string(options.port) + EscapeForUrl(remote);
    param.localPath = args[2];
    // The folder named in LOCAL is the chosen folder: the file is created in
    // it without following a link in its place.
    if (std::size_t slash = param.localPath.rfind('/'); slash != std::string::npos)
        param.localBase = slash == 0 ? "/" : param.localPath.substr(0, slash);
    param.user = options.user;
    param.password = options.password;
    if (options.timeoutMs) param.connectTimeout = param.sendTimeout = param.replyTimeout = *options.timeoutMs;
    auto outcome = std::make_shared<GetOutcome>();
    param.logCallback = PrintLog;
    param.taskCallback = [outcome](int code, std::int64_t, std::int64_t value2, std::int64_t,
                                   downlib::Handle) {
        std::lock_guard guard(outcome->lock);
        if (code == downlib::TaskWorkerDone) ++outcome->workersDone;
        if (code == downlib::TaskWorkerFailed) ++outcome->workersFailed;
        if (code == downlib::TaskEnded) {
            outcome->ended = true;
            outcome->bytes = value2;
            outcome->changed.notify_all();
        }
        return 0;  // an existing local file: the engine picks name(1).ext
    };
    if (!context.download.StartTask(param)) {
        std::fprintf(stderr, "quorvel-ftp-cli: the download could not be started\n");
        return false;
    }
    // A signal that came while the task was being started.
    if (interruptSignal.load() != 0) context.download.StopTask();
    std::unique_lock guard(outcome->lock);
    outcome->changed.wait(guard, [&] { return outcome->ended; });
    std::printf("%lld\n", static_cast<long long>(outcome->bytes));
    std::fflush(stdout);
    return outcome->workersDone > 0 && outcome->workersFailed == 0;
}

const std::map<std::string, CommandInfo>& Commands() {
    static const std::map<std::string, CommandInfo> table = {
        {"pwd", {0, 0, Pwd}},
        {"cd", {1, 1, [](Context& c, const auto& a) { return c.client.ChangeDir(a[1]); }}},
        {"ls", {0, 1, Ls}},
        {"mkdir", {1, 1, [](Context& c, const auto& a) { return c.client.MakeDir(a[1]); }}},
        {"rename", {2, 2, [](Context& c, const auto& a) { return c.client.RenameEntry(a[1], a[2]); }}},
        {"del", {1, 1, [](Context& c, const auto& a) { return c.client.DeleteEntry(a[1]); }}},
        {"rmdir", {1, 1, [](Context& c, const auto& a) { return c.client.RemoveDir(a[1]); }}},
        {"get", {2, 2, Get}},
    };
    return table;
}

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

}  // namespace

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
    if (runningDownload) runningDownload->StopTask();
}

int InterruptSignal() { return interruptSignal.load(); }

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
    return args >= it->second.minArgs && args <= it->second.maxArgs;
}

int Run(const Options& options, const std::vector<std::vector<std::string>>& commands) {
    downlib::DezAziveduza client;
    downlib::Download download;
    if (!client.Connect("ftp://" + options.host, options.user, options.password, options.port, PrintLog,
                        options.timeoutMs))
        return 1;
    Context context{options, client, download};
    {
        std::lock_guard guard(runningLock);
        runningDownload = &download;
    }
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
    {
        std::lock_guard guard(runningLock);
        runningDownload = nullptr;
    }
    std::fflush(stdout);
    client.Disconnect();
    if (interruptSignal.load() != 0) return 128 + interruptSignal.load();
    return status;
}

}  // namespace cli

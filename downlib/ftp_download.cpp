// FTP download workers: opening, reopening with REST, the local file with its
// same-name rule, the receive loop with its block limit and rate limit, and
// the retries.
#include "downlib/ftp_download.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "downlib/entry_name.h"
#include "downlib/error_codes.h"
#include "downlib/local_path.h"
#include "downlib/remote_commands.h"
#include "downlib/session_reuse.h"

namespace {

// Runs its function when the scope is left, on every way out.
template <typename Function>
struct ScopeExit {
    Function run;
    ~ScopeExit() { run(); }
};
// Spelled out for compilers without deduction for aggregates (clang before 17).
template <typename Function>
ScopeExit(Function) -> ScopeExit<Function>;

}  // namespace

namespace downlib {
namespace {

constexpr const char* kCreateErrorText =
    "创建文件错误，超出最大支持下载长度或磁盘不可写或磁盘没有空间或同名文件已存在";
constexpr std::size_t kNameLimit = 255;  // NAME_MAX
constexpr std::size_t kPathLimit = PATH_MAX - 1;
constexpr int kRenameAttempts = 99;

std::string WithText(const char* pattern, const std::string& text) {
    std::string out = pattern;
    std::size_t at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, text);
    return out;
}

bool IsBinary(const TransferSession& session) { return session.transferTypeMode == 1; }

// Bytes past the stated size that are read to tell a wrong SIZE from a
// server that keeps sending; more are not waited for.
constexpr std::int64_t kExtraBytesLimit = std::int64_t{1} << 20;

std::string RestRefusedText(std::int64_t position, int code) {
    return "续传位置" + std::to_string(position) + "被拒绝 (回应" + std::to_string(code) + "), 停止下载";
}

// Maps the opening sequence onto the worker's results: a name that does not
// resolve or a stop gives up, every other failure is worth a retry.
int OpeningResult(OpenResult result) {
    switch (result) {
        case OpenResult::Ok:
            return 1;
        case OpenResult::ResolveFailed:
        case OpenResult::Stopped:
            return 0;
        case OpenResult::ConnectTimeout:
        case OpenResult::ConnectFailed:
        case OpenResult::NoWelcome:
        case OpenResult::LoginFailed:
            return -1;
    }
    return -1;
}

// Sends TYPE I before anything that depends on the type: proftpd and
// pyftpdlib answer "501 ... in ASCII mode" to REST and "550 SIZE not allowed
// in ASCII mode" to SIZE while the session is still in its default type.
void EnterBinaryType(SessionConnection& connection) {
    std::string reply;
    EmitLog(connection, "TYPE I", LogReply);
    SetTransferType(connection, true, reply, connection.session->replyTimeout);
}

// The task's own type (ASCII tasks only; binary was set at log-in), the data
// channel, the restart position when given, RETR, and the accept of an
// active-mode connection. 1 ready, 0 give up, -1 retry.
int StartRetrieve(SessionConnection& connection, std::optional<std::int64_t> restAt) {
    TransferSession& session = *connection.session;
    std::string reply;
    if (!IsBinary(session)) {
        EmitLog(connection, "TYPE A", LogReply);
        SetTransferType(connection, false, reply, session.replyTimeout);
    }
    CloseDataChannel(connection);
    if (!SetUpDataChannel(connection, DataCaller::Download)) return -1;
    if (restAt) {
        std::string command = "REST " + std::to_string(*restAt);
        EmitLog(connection, command, LogCommand);
        // Bytes are only ever written where the server confirmed it starts:
        // after a refused REST, RETR would send the file from another place
        // (from 0, or from the probe's 100) and every byte would land wrong.
        int code = SendRest(connection, *restAt, session.replyTimeout);
        if (code <= 0) return -1;
        if (code != 350) {
            EmitLog(connection, RestRefusedText(*restAt, code), LogError);
            return 0;
        }
    }
    EmitLog(connection, "RETR " + session.path, LogCommand);
    int code = SendRetr(connection, session.path, session.replyTimeout);
    if (code != 125 && code != 150) {
        EmitLog(connection, "数据传送失败", LogError);
        return -1;
    }
    return CompleteDataChannel(connection) ? 1 : -1;
}

void CloseSockets(SessionConnection& connection) {
    CloseDataChannel(connection);
    connection.control.Close();
}

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The automatic rename: the next free name(k).ext beside the wanted path, in
// the same (already opened) folder.
bool RenameAutomatically(SessionConnection& connection, LocalTarget& target, std::string& path) {
    std::string directory = DirectoryOf(path);
    std::string name = NameOf(path);
    for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
        std::optional<std::string> next = NextAutomaticName(name);
        if (!next || next->size() > kNameLimit || directory.size() + next->size() > kPathLimit) break;
        name = *next;
        if (!ExistsIn(target, name)) {
            path = directory + name;
            target.name = name;
            EmitLog(connection, WithText("发现同名文件, 系统自动更名为%s", path), LogInfo);
            return true;
        }
    }
    EmitLog(connection, "发现同名文件，超过系统自动更名次数", LogError);
    return false;
}

// After the last byte of the file the data connection must end right there
// and the server must call the transfer done. More data than SIZE said, or a
// failing final reply, fails the task; a connection that breaks off or a
// reply that never comes is retried from the file's end.
ReceiveEnd ConfirmEnd(TaskRunner& task, SessionConnection& connection, char* buffer) {
    TransferSession& session = task.session();
    const std::int64_t size = session.remoteSize.load();
    std::int64_t extra = 0;
    std::int64_t result = 0;
    while (extra < kExtraBytesLimit) {
        ReceiveOptions options;
        options.connection = &connection;
        options.total = kBlockLimit;
        options.chunk = kBlockLimit;
        options.idleTimeoutMs = session.replyTimeout;
        int reads = 1;
        options.countLimit = &reads;
        result = ReceiveWithTimeout(connection.data.fd(), buffer, options);
        if (result <= 0) break;
        extra += result;
    }
    CloseDataChannel(connection);
    if (result == 0 && connection.StopRequested()) return ReceiveEnd::Stopped;
    if (extra > 0) {
        EmitLog(connection,
                "收到的数据多于文件大小: 文件大小" + std::to_string(size) + "字节, 收到" +
                    (result == kErrPeerClosed ? "" : "至少") + std::to_string(size + extra) + "字节",
                LogError);
        return ReceiveEnd::Failed;
    }
    // A stall or a reset after the last byte is a broken transfer like any
    // other: the retry asks again from the file's end, where a sound server
    // ends the data at once and confirms.
    if (result != kErrPeerClosed) {
        ReportSocketError(connection, static_cast<int>(result));
        EmitLog(connection, "数据连接没有正常结束, 文件的" + std::to_string(size) + "字节尚未确认", LogError);
        return ReceiveEnd::Retry;
    }
    std::string reply;
    int code = ReadReply(connection, reply, session.replyTimeout);
    if (code == 0) return ReceiveEnd::Retry;  // the control connection went silent or broke
    if (code < 200 || code > 299) {
        EmitLog(connection, "服务器没有确认传送完成 (回应" + std::to_string(code) + ")", LogError);
        return ReceiveEnd::Failed;
    }
    task.endConfirmed = true;
    return ReceiveEnd::Complete;
}

}  // namespace

std::optional<std::string> NextAutomaticName(const std::string& fileName) {
    std::size_t dot = fileName.find('.');
    std::string base = fileName.substr(0, dot);
    std::string rest = dot == std::string::npos ? std::string() : fileName.substr(dot);
    // "name(k)" with one or two digits and k from 1 to 98 becomes "name(k+1)".
    if (base.size() >= 3 && base.back() == ')') {
        std::size_t open = base.rfind('(');
        std::size_t digits = open == std::string::npos ? 0 : base.size() - open - 2;
        if (open != std::string::npos && (digits == 1 || digits == 2)) {
            std::string number = base.substr(open + 1, digits);
            if (std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                int k = std::stoi(number);
                if (k >= 1 && k <= 98) return base.substr(0, open) + "(" + std::to_string(k + 1) + ")" + rest;
                if (k == 99) return std::nullopt;  // the count would reach 100
            }
        }
    }
    return base + "(1)" + rest;
}

std::optional<std::string> LocalTargetPath(const std::string& localPath, const std::string& remotePath) {
    if (localPath.empty()) return std::nullopt;
    if (localPath.back() != '/') return localPath;
    std::string name = NameOf(remotePath);
    // A remote name becomes a local path only when it cannot leave the folder.
    if (!IsSafeEntryName(name, EntryNameUse::LocalComponent)) return std::nullopt;
    return localPath + name;
}

void RetryPause(SessionConnection& connection, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += kWaitCycleMs) {
        if (connection.StopRequested()) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kWaitCycleMs, milliseconds - waited)));
    }
}

namespace {

// The task's control connection, logged in and in binary type: one the
// Download object kept from an earlier task when it still answers, otherwise
// a new one. The result as the opening's.
int OpenLoggedIn(SessionConnection& connection, bool resolve) {
    if (TakeLoggedInConnection(connection)) return 1;
    connection.control = OpenTcpSocket();
    if (!connection.control) return 0;
    int opened =
        OpeningResult(OpenControlConnection(connection, resolve, connection.session->connectTimeout));
    if (opened != 1) return opened;
    EnterBinaryType(connection);
    return 1;
}

}  // namespace

int OpenFtpDownload(TaskRunner& task, SessionConnection& connection) {
    TransferSession& session = task.session();
    int opened = OpenLoggedIn(connection, true);
    if (opened != 1) return opened;

    EmitLog(connection, "REST 100", LogCommand);
    int probeCode = 0;
    bool supported = ProbeRestart(connection, session.replyTimeout, &probeCode);
    task.resumeSupported = supported;
    EmitLog(connection, supported ? "站点支持断点续传" : "站点不支持断点续传", LogError);
    // Any 350 left the marker at 100, whatever the reply said; RETR would
    // then start at byte 100. A marker that will not go back to 0 ends the task.
    if (probeCode == 350) {
        EmitLog(connection, "REST 0", LogCommand);
        int code = SendRestZero(connection, session.replyTimeout);
        if (code <= 0) return -1;
        if (code != 350) {
            EmitLog(connection, RestRefusedText(0, code), LogError);
            return 0;
        }
    }

    std::int64_t size = SendSize(connection, session.path, session.replyTimeout);
    if (size < 0) return 0;
    session.remoteSize = size;

    int started = StartRetrieve(connection, std::nullopt);
    if (started != 1) return started;

    int parts = supported ? session.connectionsWanted : 1;
    if (size < kSingleSegmentBelow) parts = 1;
    task.segments().Divide(size, parts, &connection);
    connection.segment = 0;
    return 1;
}

int ReopenFtpSegment(TaskRunner& task, SessionConnection& connection, int segment) {
    TransferSession& session = task.session();
    CloseSockets(connection);
    int opened = OpenLoggedIn(connection, false);
    if (opened != 1) return opened;

    if (!ProbeRestart(connection, session.replyTimeout)) {
        EmitLog(connection, "该站点不支持断点续传", LogError);
        return 0;
    }
    // The REST of the real position replaces the probe's marker.
    return StartRetrieve(connection, task.segments().Get(segment).Position());
}

bool PrepareLocalFile(TaskRunner& task, SessionConnection& connection) {
    TransferSession& session = task.session();
    std::optional<std::string> path = LocalTargetPath(session.localPath, session.path);
    if (!path) {
        EmitLog(connection, "远程文件名不能用作本地文件名", LogError);
        return false;
    }
    session.localPath = *path;
    std::optional<LocalTarget> target = OpenLocalTarget(session.localBase, session.localPath);
    if (!target) {
        EmitLog(connection, kCreateErrorText, LogError);
        return false;
    }
    struct stat existing {};
    if (::fstatat(target->folder.fd(), target->name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        int answer = 0;
        if (session.taskCallback) {
            answer = session.taskCallback(TaskSameName, static_cast<std::int64_t>(connection.handle()),
                                          static_cast<std::int64_t>(existing.st_size),
                                          session.remoteSize.load(), session.handle());
        }
        if (answer == 1) {
            EmitLog(connection, "发现同名文件, 用户选择放弃下载", LogInfo);
            return false;
        }
        if (answer == 2) {
            EmitLog(connection, WithText("发现同名文件, 用户更名为%s", session.localPath), LogInfo);
        } else if (answer != 0 || !RenameAutomatically(connection, *target, session.localPath)) {
            return false;
        }
    }
    if (!task.file().Create(*target, session.localPath, session.remoteSize.load())) {
        EmitLog(connection, kCreateErrorText, LogError);
        return false;
    }
    return true;
}

ReceiveEnd ReceiveSegment(TaskRunner& task, SessionConnection& connection, int index, char* buffer,
                          bool firstSegment) {
    TransferSession& session = task.session();
    SegmentTable& table = task.segments();
    Segment segment = table.Get(index);
    task.PostEvent(connection, firstSegment ? TaskFirstSegment : TaskLaterSegment, segment.Position(),
                   segment.End());
    if (connection.firstWorker && !task.transferAnnounced.exchange(true))
        task.PostEvent(connection, TaskTransferStarted, session.remoteSize.load());

    const bool paced = session.blockSizeOverride > 0;
    const std::int64_t unit = paced ? session.blockSizeOverride
                                    : std::clamp<std::int64_t>(session.downloadBlockSize, 1, kBlockLimit);
    std::int64_t pending = 0;
    // Byte counts go to the callback in batches: one event per block would wake
    // the task thread some fifty thousand times per GiB, and the running total
    // is read from GetBytesDone anyway. No count is held back for long.
    std::int64_t unreported = 0;
    auto lastReport = std::chrono::steady_clock::now();
    auto report = [&](std::int64_t n, bool now) {
        unreported += n;
        auto at = std::chrono::steady_clock::now();
        if (unreported > 0 &&
            (now || unreported >= kBytesEventBatch || at - lastReport >= kBytesEventDelay)) {
            task.PostEvent(connection, TaskBytes, unreported);
            unreported = 0;
            lastReport = at;
        }
    };
    ScopeExit reportRest{[&] { report(0, true); }};
    // Writes what is pending at the segment's position. A split may have
    // moved the segment's end: bytes beyond it belong to another connection.
    auto flush = [&]() {
        if (pending == 0) return true;
        Segment now = table.Get(index);
        std::int64_t room = now.End() - now.Position();
        std::int64_t length = std::min(pending, room);
        pending = 0;
        if (length <= 0) return true;
        if (task.file().Write(table, index, buffer, length)) return true;
        EmitLog(connection, "写入文件失败", LogError);
        return false;
    };

    std::int64_t receivedHere = 0;  // bytes this data connection brought
    while (!connection.StopRequested()) {
        segment = table.Get(index);
        std::int64_t left = segment.End() - segment.Position() - pending;
        if (left <= 0) break;
        ReceiveOptions options;
        options.connection = &connection;
        options.total = std::min({unit, kBlockLimit - pending, left});
        options.chunk = std::min(kBlockLimit, unit);
        options.idleTimeoutMs = session.replyTimeout;
        options.accounting = true;
        std::int64_t partial = 0;
        options.receivedOut = &partial;
        auto began = std::chrono::steady_clock::now();
        std::int64_t n = ReceiveWithTimeout(connection.data.fd(), buffer + pending, options);
        receivedHere += n > 0 ? n : partial;
        if (n > 0) {
            if (paced) {
                // One block a second: the override is a rate limit.
                auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - began);
                if (spent.count() < 1000) RetryPause(connection, static_cast<int>(1000 - spent.count()));
            }
            report(n, false);
            pending += n;
            if (pending >= kBlockLimit || n >= left || connection.StopRequested()) {
                if (!flush()) return ReceiveEnd::Failed;
            }
            continue;
        }
        if (n == 0) break;  // told to stop with nothing new
        // The failing read may still have brought bytes: keep them.
        if (partial > 0) {
            report(partial, true);
            pending += partial;
        }
        if (!flush()) return ReceiveEnd::Failed;
        ReportSocketError(connection, static_cast<int>(n));
        CloseDataChannel(connection);
        if (n == kErrPeerClosed && !connection.StopRequested() && receivedHere == 0) {
            // The server ended the data at once, with nothing from this
            // position on. When it calls the transfer complete, the file is
            // shorter than SIZE said and no retry can bring the rest. (A break
            // after some bytes is retried at once: waiting for a reply first
            // would wait a whole time-out on a server that sends none.)
            std::string reply;
            int code = ReadReply(connection, reply, session.replyTimeout);
            if (code == 226 || code == 250) {
                Segment now = table.Get(index);
                EmitLog(connection,
                        "服务器结束了传送, 但只收到" + std::to_string(now.Position()) + "字节, 文件大小为" +
                            std::to_string(session.remoteSize.load()) + "字节",
                        LogError);
                return ReceiveEnd::Failed;
            }
        }
        return connection.StopRequested() ? ReceiveEnd::Stopped : ReceiveEnd::Retry;
    }
    if (!flush()) return ReceiveEnd::Failed;
    Segment done = table.Get(index);
    if (!done.Complete()) return ReceiveEnd::Stopped;
    if (done.End() == session.remoteSize.load()) return ConfirmEnd(task, connection, buffer);
    return ReceiveEnd::Complete;
}

void RunFtpDownloadWorker(TaskRunner& task, SessionConnection& connection) {
    TransferSession& session = task.session();
    SegmentTable& table = task.segments();
    task.PostEvent(connection, TaskWorkerStarted);
    std::vector<char> buffer(static_cast<std::size_t>(kBlockLimit));
    int retriesLeft = kRetryCount;
    bool opening = connection.firstWorker;
    bool firstSegment = connection.firstWorker;
    int segment = connection.segment;
    bool complete = false;

    // True when the worker should open again after the pause.
    auto pauseForRetry = [&] {
        CloseSockets(connection);
        if (connection.StopRequested() || retriesLeft <= 0 || session.state.load() != 1) return false;
        --retriesLeft;
        ++task.retries;
        EmitLog(connection, "等待" + std::to_string(RetryPauseMs() / 1000) + "秒后重试", LogInfo);
        RetryPause(connection, RetryPauseMs());
        return !connection.StopRequested();
    };

    while (true) {
        int opened =
            opening ? OpenFtpDownload(task, connection) : ReopenFtpSegment(task, connection, segment);
        if (opened == -1 && pauseForRetry()) continue;
        if (opened != 1) break;
        if (opening) {
            opening = false;
            segment = 0;
            if (!PrepareLocalFile(task, connection)) break;
            int further = static_cast<int>(table.Count()) - 1;
            if (further > 0) {
                task.ExpectWorkers(further);
                for (int i = 0; i < further; ++i) {
                    TaskMessage open;
                    open.code = kTaskOpenWorker;
                    if (!task.Post(std::move(open))) task.WorkerEnded();
                }
            }
        }
        ReceiveEnd end = ReceiveSegment(task, connection, segment, buffer.data(), firstSegment);
        firstSegment = false;
        if (end == ReceiveEnd::Complete) {
            complete = true;
            std::optional<int> next = table.TakeFree(&connection);
            if (!next || connection.StopRequested()) break;
            // The connection serves the next free part from a fresh log-in.
            table.Release(segment);
            segment = *next;
            connection.segment = segment;
            complete = false;
            continue;
        }
        if (end == ReceiveEnd::Retry && pauseForRetry()) continue;
        break;
    }

    CloseDataChannel(connection);
    bool stopped = connection.StopRequested() && session.stopFlag.load() == 1;
    Segment served = table.Get(segment);
    const bool endsFile = segment >= 0 && served.End() == session.remoteSize.load();
    // The part that ends the file had its final reply read and judged 2xx.
    bool confirmed = complete && endsFile;
    if (complete && !stopped && !endsFile && connection.control) {
        // A part inside the file: the server's word on a transfer we broke
        // off; the part is judged by its bytes.
        std::string reply;
        const int code = ReadReply(connection, reply, session.replyTimeout);
        confirmed = code >= 200 && code <= 299;
    }
    // Still logged in and in step: the next task of the Download object
    // takes it instead of logging in again.
    if (!confirmed || stopped || !ReturnLoggedInConnection(connection)) connection.control.Close();
    task.PostEvent(connection, complete ? TaskWorkerDone : TaskWorkerFailed,
                   segment >= 0 ? served.Position() : 0);
    if (segment >= 0) table.Release(segment);
    connection.runFlag = -1;
    task.WorkerEnded();
}

}  // namespace downlib

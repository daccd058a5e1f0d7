// FTP download workers: opening, reopening with REST, the local file with its
// same-name rule, the receive loop with its block limit and rate limit, the
// end of the data, and the worker's one loop over its steps with the retries.
#include "downlib/ftp_download.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <vector>

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "downlib/entry_name.h"
#include "downlib/error_codes.h"
#include "downlib/local_path.h"
#include "downlib/part_file.h"
#include "downlib/remote_commands.h"
#include "downlib/server_bytes.h"
#include "downlib/server_hash.h"
#include "downlib/session_reuse.h"

namespace downlib {
namespace {

constexpr const char* kCreateErrorText =
    "创建文件错误，超出最大支持下载长度或磁盘不可写或磁盘没有空间或同名文件已存在";
constexpr std::size_t kNameLimit = 255;  // NAME_MAX
constexpr std::size_t kPathLimit = PATH_MAX - 1;
constexpr int kRenameAttempts = 99;

// Bytes past the stated size that are read to tell a wrong SIZE from a
// server that keeps sending; more are not waited for.
constexpr std::int64_t kExtraBytesLimit = std::int64_t{1} << 20;

std::string RestRefusedText(std::int64_t position, int code) {
    return "续传位置" + std::to_string(position) + "被拒绝 (回应" + std::to_string(code) + "), 停止下载";
}

// A download's control connection: a name that does not resolve, no socket
// or a stop gives up, every other failure is worth a retry. A TYPE I without
// answer is no failure here: the commands after it tell.
OpenOutcome OpenDownloadConnection(SessionConnection& connection, bool resolve) {
    LoggedIn loggedIn = OpenLoggedIn(connection, resolve, GreetingTexts::Download);
    if (!loggedIn.opening) return OpenOutcome::GiveUp;
    switch (*loggedIn.opening) {
        case OpenResult::Ok:
            return OpenOutcome::Opened;
        case OpenResult::ResolveFailed:
        case OpenResult::Stopped:
            return OpenOutcome::GiveUp;
        case OpenResult::ConnectTimeout:
        case OpenResult::ConnectFailed:
        case OpenResult::NoWelcome:
        case OpenResult::LoginFailed:
            return OpenOutcome::Retry;
    }
    return OpenOutcome::Retry;
}

// The task's own type (ASCII tasks only; binary was set at log-in), the data
// channel, the restart position when given, RETR, and the accept of an
// active-mode connection.
OpenOutcome StartRetrieve(SessionConnection& connection, std::optional<std::int64_t> restAt,
                          bool pasvSent = false) {
    TransferSession& session = *connection.session;
    if (!session.Binary()) SwitchTransferType(connection, false);
    CloseDataChannel(connection);
    if (!SetUpDataChannel(connection, DataCaller::Download, pasvSent)) return OpenOutcome::Retry;
    if (restAt) {
        std::string command = "REST " + std::to_string(*restAt);
        EmitLog(connection, command, LogCommand);
        // Bytes are only ever written where the server confirmed it starts:
        // after a refused REST, RETR would send the file from another place
        // (from 0, or from the probe's 100) and every byte would land wrong.
        int code = SendRest(connection, *restAt, session.replyTimeout);
        if (code <= 0) return OpenOutcome::Retry;
        if (code != 350) {
            EmitLog(connection, RestRefusedText(*restAt, code), LogError);
            return OpenOutcome::GiveUp;
        }
    }
    EmitLog(connection, "RETR " + session.path, LogCommand);
    int code = SendRetr(connection, session.path, session.replyTimeout);
    if (code != 125 && code != 150) {
        EmitLog(connection, "数据传送失败", LogError);
        return OpenOutcome::Retry;
    }
    return CompleteDataChannel(connection) ? OpenOutcome::Opened : OpenOutcome::Retry;
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
        result = ReceiveWithTimeout(connection.data, buffer, options);
        if (result <= 0) break;
        extra += result;
    }
    CloseDataChannel(connection);
    if (result == 0 && connection.StopRequested()) return ReceiveEnd::Stopped;
    if (extra > 0) {
        EmitLog(connection,
                "收到的数据多于文件大小: 文件大小" + std::to_string(size) + "字节, 收到" +
                    (Is(result, ErrorCode::PeerClosed) ? "" : "至少") + std::to_string(size + extra) + "字节",
                LogError);
        return ReceiveEnd::Failed;
    }
    // A stall or a reset after the last byte is a broken transfer like any
    // other: the retry asks again from the file's end, where a sound server
    // ends the data at once and confirms.
    if (!Is(result, ErrorCode::PeerClosed)) {
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
    // The server's own hash, where it offers one, is compared with the part
    // file once every segment is on disk. Bytes mean the same on both
    // sides only in binary type.
    if (session.Binary()) task.serverHash = ServerHashOf(connection, session.path);
    return ReceiveEnd::Complete;
}

}  // namespace

namespace {

// True when a part file's note lies beside the target: only then can an
// earlier download be continued.
bool HasPartNote(TaskRunner& task) {
    TransferSession& session = task.session();
    std::optional<std::string> path = LocalTargetPath(session.localPath, session.path);
    if (!path) return false;
    std::optional<LocalTarget> target = OpenLocalTarget(session.localBase, *path);
    return target && ReadPartNote(target->folder.fd(), target->name).has_value();
}

}  // namespace

std::optional<std::int64_t> ResumablePart(TaskRunner& task, SessionConnection& connection) {
    TransferSession& session = task.session();
    std::optional<std::string> path = LocalTargetPath(session.localPath, session.path);
    if (!path) return 0;
    std::optional<LocalTarget> target = OpenLocalTarget(session.localBase, *path);
    if (!target || ExistsIn(*target, target->name)) return 0;  // the same-name rule decides
    std::optional<PartOrigin> noted = ReadPartNote(target->folder.fd(), target->name);
    if (!noted) return 0;
    const std::string partName = PartFileName(target->name);
    struct stat part {};
    if (::fstatat(target->folder.fd(), partName.c_str(), &part, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(part.st_mode) || part.st_size <= 0)
        return 0;
    if (task.origin.modified.empty() || !(*noted == task.origin)) {
        EmitLog(connection, "服务器上的文件已改变 (大小或修改时间不同), 从头下载", LogInfo);
        return 0;
    }
    const std::int64_t kept = std::min<std::int64_t>(part.st_size, task.origin.size);
    if (kept >= task.origin.size) return 0;
    const std::int64_t length = std::min(kResumeProofBytes, kept);
    std::string local(static_cast<std::size_t>(length), '\0');
    int fd = ::openat(target->folder.fd(), partName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t got = ::pread(fd, local.data(), local.size(), static_cast<off_t>(kept - length));
    ::close(fd);
    if (got != static_cast<ssize_t>(length)) return 0;
    bool broken = false;
    std::optional<std::string> remote =
        ReadServerBytes(connection, session.path, kept - length, length, broken);
    if (broken) return std::nullopt;
    if (!remote || *remote != local) {
        EmitLog(connection, "临时文件的末尾与服务器上的文件不一致, 从头下载", LogInfo);
        return 0;
    }
    EmitLog(connection, "续传临时文件" + partName + ", 从" + std::to_string(kept) + "字节开始", LogInfo);
    return kept;
}

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

OpenOutcome OpenFtpDownload(TaskRunner& task, SessionConnection& connection) {
    TransferSession& session = task.session();
    OpenOutcome opened = OpenDownloadConnection(connection, true);
    if (opened != OpenOutcome::Opened) return opened;

    const RestartProbeOutcome probe = ProbeRestartOnce(connection);
    const bool supported = probe.answer.supported;
    task.resumeSupported = supported;
    EmitLog(connection, supported ? "站点支持断点续传" : "站点不支持断点续传", LogError);
    // A marker that will not go back to 0 ends the task: RETR would start at byte 100.
    if (probe.resetCode <= 0) return OpenOutcome::Retry;
    if (probe.resetCode != 350) {
        EmitLog(connection, RestRefusedText(0, probe.resetCode), LogError);
        return OpenOutcome::GiveUp;
    }

    // SIZE, MDTM and PASV go out in one write when nothing needs to come
    // between them (a part file to prove needs its own data connection
    // first): two round trips less per file. Replies come in order; after a
    // reply that ends the task the rest is left unread and the connection,
    // out of step, is closed with the task.
    const bool pipelined = session.Binary() && session.dataMode == kDataPassive && !HasPartNote(task);
    std::int64_t size = -1;
    std::optional<std::string> modified;
    if (pipelined) {
        const std::string sizeCommand = SizeCommand(session.path);
        const std::string mdtmCommand = MdtmCommand(session.path);
        EmitLog(connection, sizeCommand, LogReply);
        EmitLog(connection, mdtmCommand, LogCommand);
        EmitLog(connection, "PASV", LogCommand);
        if (!SendLines(connection, {sizeCommand, mdtmCommand, "PASV"}, session.sendTimeout))
            return OpenOutcome::Retry;
        std::string reply;
        size = SizeFromReply(connection, ReadReply(connection, reply, session.replyTimeout), reply);
        if (size >= 0) {
            std::string mdtmReply;
            const int code = ReadReply(connection, mdtmReply, session.replyTimeout);
            if (code <= 0) {
                connection.outOfStep = true;
                return OpenOutcome::Retry;
            }
            modified = MdtmFromReply(code, mdtmReply);
        } else {
            connection.outOfStep = true;
        }
    } else {
        size = SendSize(connection, session.path, session.replyTimeout);
        if (size >= 0) {
            EmitLog(connection, MdtmCommand(session.path), LogCommand);
            modified = SendMdtm(connection, session.path, session.replyTimeout);
        }
    }
    if (size < 0) return OpenOutcome::GiveUp;
    session.remoteSize = size;
    task.origin = PartOrigin{size, modified.value_or("")};

    std::int64_t from = 0;
    // Byte positions mean the same on both sides only in binary type.
    if (!pipelined && supported && session.Binary()) {
        std::optional<std::int64_t> resumable = ResumablePart(task, connection);
        if (!resumable) return OpenOutcome::Retry;
        from = *resumable;
    }
    task.resumeFrom = from;
    OpenOutcome started =
        StartRetrieve(connection, from > 0 ? std::optional<std::int64_t>(from) : std::nullopt, pipelined);
    if (started != OpenOutcome::Opened) return started;

    // A part taken up again is finished by this one connection.
    int parts = supported && from == 0 ? session.connectionsWanted : 1;
    if (size < kSingleSegmentBelow) parts = 1;
    task.segments().Divide(size, parts, &connection);
    if (from > 0) task.segments().AddWritten(0, from);
    connection.segment = 0;
    return OpenOutcome::Opened;
}

OpenOutcome ReopenFtpSegment(TaskRunner& task, SessionConnection& connection, int segment) {
    TransferSession& session = task.session();
    CloseSockets(connection);
    OpenOutcome opened = OpenDownloadConnection(connection, false);
    if (opened != OpenOutcome::Opened) return opened;

    const bool supported = connection.facts.restartProbe ? connection.facts.restartProbe->supported
                                                         : ProbeRestart(connection, session.replyTimeout);
    if (!supported) {
        EmitLog(connection, "该站点不支持断点续传", LogError);
        return OpenOutcome::GiveUp;
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
        // The data already flows from the part's end: a file that appeared
        // under the final name meanwhile cannot be answered any more.
        if (task.resumeFrom.load() > 0) {
            EmitLog(connection, kCreateErrorText, LogError);
            return false;
        }
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
    return CreatePartFile(task, connection, *target);
}

bool CreatePartFile(TaskRunner& task, SessionConnection& connection, LocalTarget& target) {
    TransferSession& session = task.session();
    const std::string finalName = target.name;
    if (finalName.size() + std::string(kPartSuffix).size() > kNameLimit) {
        EmitLog(connection, "文件名过长, 无法使用临时文件名", LogError);
        return false;
    }
    task.finalName = finalName;
    target.name = PartFileName(finalName);
    const std::int64_t size = session.remoteSize.load();
    const std::int64_t from = task.resumeFrom.load();
    if (from > 0) {
        if (task.file().OpenPart(target, session.localPath, size, from)) return true;
        EmitLog(connection, "无法续写临时文件" + target.name, LogError);
        return false;
    }
    // A part that could not be proven to belong to this file is replaced;
    // unlinking a planted link removes the link, never what it points to.
    ::unlinkat(target.folder.fd(), target.name.c_str(), 0);
    if (!task.file().Create(target, session.localPath, size)) {
        EmitLog(connection, kCreateErrorText, LogError);
        return false;
    }
    if (!WritePartNote(target.folder.fd(), finalName, task.origin))
        EmitLog(connection, "无法写入临时文件的说明, 中断后将从头下载", LogInfo);
    return true;
}

namespace {

// How the data loop of a segment ended.
enum class DataEnd {
    Ended,        // the segment is full, or a stop came with nothing new
    WriteFailed,  // the local file refused bytes
    Broken,       // a read failed: the data connection broke or went silent
};

// One data connection's bytes into one segment of the file.
class SegmentReceiver {
public:
    SegmentReceiver(TaskRunner& task, SessionConnection& connection, int index, char* buffer)
        : task_(task),
          connection_(connection),
          session_(task.session()),
          table_(task.segments()),
          index_(index),
          buffer_(buffer),
          bytes_(task, connection, TaskBytes) {}

    ReceiveEnd Run() {
        switch (ReceiveData()) {
            case DataEnd::Ended:
                return EndOfData();
            case DataEnd::WriteFailed:
                return ReceiveEnd::Failed;
            case DataEnd::Broken:
                return BrokenOff();
        }
        return ReceiveEnd::Failed;
    }

private:
    // Reads until the segment is full, a stop, or a failing read (its code
    // and what it still brought are kept). Bytes are written a buffer at a time.
    DataEnd ReceiveData() {
        const bool paced = session_.blockSizeOverride > 0;
        const std::int64_t unit = paced
                                      ? session_.blockSizeOverride
                                      : std::clamp<std::int64_t>(session_.downloadBlockSize, 1, kBlockLimit);
        while (!connection_.StopRequested()) {
            Segment segment = table_.Get(index_);
            std::int64_t left = segment.End() - segment.Position() - pending_;
            if (left <= 0) break;
            ReceiveOptions options;
            options.connection = &connection_;
            options.total = std::min({unit, kBlockLimit - pending_, left});
            options.chunk = std::min(kBlockLimit, unit);
            options.idleTimeoutMs = session_.replyTimeout;
            options.accounting = true;
            partial_ = 0;
            options.receivedOut = &partial_;
            auto began = std::chrono::steady_clock::now();
            std::int64_t n = ReceiveWithTimeout(connection_.data, buffer_ + pending_, options);
            receivedHere_ += n > 0 ? n : partial_;
            if (n == 0) break;  // told to stop with nothing new
            if (n < 0) {
                failure_ = n;
                return DataEnd::Broken;
            }
            if (paced) PaceBlock(connection_, began);
            bytes_.Add(n, false);
            pending_ += n;
            const bool flushNow = pending_ >= kBlockLimit || n >= left || connection_.StopRequested();
            if (flushNow && !Flush()) return DataEnd::WriteFailed;
        }
        return DataEnd::Ended;
    }

    // Writes what is pending at the segment's position. A split may have
    // moved the segment's end: bytes beyond it belong to another connection.
    bool Flush() {
        if (pending_ == 0) return true;
        Segment now = table_.Get(index_);
        std::int64_t length = std::min(pending_, now.End() - now.Position());
        pending_ = 0;
        if (length <= 0) return true;
        if (task_.file().Write(table_, index_, buffer_, length)) return true;
        EmitLog(connection_, "写入文件失败", LogError);
        return false;
    }

    // A failing read: what it still brought is kept, then the transfer is
    // retried, unless the server ended it early and calls it complete.
    ReceiveEnd BrokenOff() {
        if (partial_ > 0) {
            bytes_.Add(partial_, true);
            pending_ += partial_;
        }
        if (!Flush()) return ReceiveEnd::Failed;
        ReportSocketError(connection_, static_cast<int>(failure_));
        CloseDataChannel(connection_);
        if (Is(failure_, ErrorCode::PeerClosed) && !connection_.StopRequested() && receivedHere_ == 0 &&
            ServerCallsShortFileDone())
            return ReceiveEnd::Failed;
        return connection_.StopRequested() ? ReceiveEnd::Stopped : ReceiveEnd::Retry;
    }

    // The server ended the data at once, with nothing from this position on.
    // When it calls the transfer complete, the file is shorter than SIZE said
    // and no retry can bring the rest. (A break after some bytes is retried
    // at once: waiting for a reply first would wait a whole time-out on a
    // server that sends none.)
    bool ServerCallsShortFileDone() {
        std::string reply;
        int code = ReadReply(connection_, reply, session_.replyTimeout);
        if (code != 226 && code != 250) return false;
        EmitLog(connection_,
                "服务器结束了传送, 但只收到" + std::to_string(table_.Get(index_).Position()) +
                    "字节, 文件大小为" + std::to_string(session_.remoteSize.load()) + "字节",
                LogError);
        return true;
    }

    // The segment is full (or a stop came): the segment that ends the file
    // still needs the end of the data and the server's final reply.
    ReceiveEnd EndOfData() {
        if (!Flush()) return ReceiveEnd::Failed;
        Segment done = table_.Get(index_);
        if (!done.Complete()) return ReceiveEnd::Stopped;
        if (done.End() == session_.remoteSize.load()) return ConfirmEnd(task_, connection_, buffer_);
        return ReceiveEnd::Complete;
    }

    TaskRunner& task_;
    SessionConnection& connection_;
    TransferSession& session_;
    SegmentTable& table_;
    const int index_;
    char* const buffer_;
    ByteEvents bytes_;
    std::int64_t pending_ = 0;       // received, not yet written
    std::int64_t receivedHere_ = 0;  // bytes this data connection brought
    std::int64_t partial_ = 0;       // what the last read brought before it failed
    std::int64_t failure_ = 0;       // the failing read's code
};

}  // namespace

ReceiveEnd ReceiveSegment(TaskRunner& task, SessionConnection& connection, int index, char* buffer,
                          bool firstSegment) {
    Segment segment = task.segments().Get(index);
    task.PostEvent(connection, firstSegment ? TaskFirstSegment : TaskLaterSegment, segment.Position(),
                   segment.End());
    if (connection.firstWorker && !task.transferAnnounced.exchange(true))
        task.PostEvent(connection, TaskTransferStarted, task.session().remoteSize.load());
    return SegmentReceiver(task, connection, index, buffer).Run();
}

namespace {

enum class DownloadStep { Opening, Reopening, PreparingFile, Receiving, RetryPause, End };

// One download worker: one loop over its steps. The first worker of a task
// opens, sizes and creates the file; every later attempt, and every further
// segment, reopens at the first byte not yet written.
class DownloadWorker {
public:
    DownloadWorker(TaskRunner& task, SessionConnection& connection)
        : task_(task),
          connection_(connection),
          session_(task.session()),
          table_(task.segments()),
          buffer_(static_cast<std::size_t>(kBlockLimit)),
          retryStep_(connection.firstWorker ? DownloadStep::Opening : DownloadStep::Reopening),
          segment_(connection.segment),
          firstSegment_(connection.firstWorker) {}

    void Run() {
        task_.PostEvent(connection_, TaskWorkerStarted);
        DownloadStep step = connection_.firstWorker ? DownloadStep::Opening : DownloadStep::Reopening;
        while (step != DownloadStep::End) step = Advance(step);
        End();
    }

private:
    DownloadStep Advance(DownloadStep step) {
        switch (step) {
            case DownloadStep::Opening:
                return StepAfterOpening(OpenFtpDownload(task_, connection_), DownloadStep::PreparingFile);
            case DownloadStep::Reopening:
                return StepAfterOpening(ReopenFtpSegment(task_, connection_, segment_),
                                        DownloadStep::Receiving);
            case DownloadStep::PreparingFile:
                return PrepareFile();
            case DownloadStep::Receiving:
                return Receive();
            case DownloadStep::RetryPause:
                return retries_.PauseBeforeRetry(task_, connection_) ? retryStep_ : DownloadStep::End;
            case DownloadStep::End:
                break;
        }
        return DownloadStep::End;
    }

    // The file is sized: from now on an attempt reopens at the first byte not
    // yet written, and the further segments get connections of their own.
    DownloadStep PrepareFile() {
        retryStep_ = DownloadStep::Reopening;
        segment_ = 0;
        if (!PrepareLocalFile(task_, connection_)) return DownloadStep::End;
        OpenFurtherWorkers();
        return DownloadStep::Receiving;
    }

    void OpenFurtherWorkers() {
        int further = static_cast<int>(table_.Count()) - 1;
        if (further <= 0) return;
        task_.ExpectWorkers(further);
        for (int i = 0; i < further; ++i) {
            TaskMessage open;
            open.code = kTaskOpenWorker;
            if (!task_.Post(std::move(open))) task_.WorkerEnded();
        }
    }

    DownloadStep Receive() {
        ReceiveEnd end = ReceiveSegment(task_, connection_, segment_, buffer_.data(), firstSegment_);
        firstSegment_ = false;
        switch (end) {
            case ReceiveEnd::Complete:
                return NextSegment();
            case ReceiveEnd::Retry:
                return DownloadStep::RetryPause;
            case ReceiveEnd::Failed:
            case ReceiveEnd::Stopped:
                break;
        }
        return DownloadStep::End;
    }

    // The connection serves the next free part from a fresh log-in.
    DownloadStep NextSegment() {
        complete_ = true;
        std::optional<int> next = table_.TakeFree(&connection_);
        if (!next || connection_.StopRequested()) return DownloadStep::End;
        table_.Release(segment_);
        segment_ = *next;
        connection_.segment = segment_;
        complete_ = false;
        return DownloadStep::Reopening;
    }

    // A part inside the file: the server's word on a transfer we broke off;
    // the part is judged by its bytes. The part that ends the file had its
    // final reply read and judged 2xx already.
    bool Confirmed(bool stopped, bool endsFile) {
        if (!complete_) return false;
        if (endsFile) return true;
        if (stopped || !connection_.control) return false;
        std::string reply;
        const int code = ReadReply(connection_, reply, session_.replyTimeout);
        return code >= 200 && code <= 299;
    }

    void End() {
        CloseDataChannel(connection_);
        const bool stopped = connection_.StopRequested() && session_.StopRaised();
        const Segment served = table_.Get(segment_);
        const bool endsFile = segment_ >= 0 && served.End() == session_.remoteSize.load();
        // Still logged in and in step: the next task of the Download object
        // takes it instead of logging in again.
        if (!Confirmed(stopped, endsFile) || stopped || !ReturnLoggedInConnection(connection_))
            connection_.control.Close();
        task_.PostEvent(connection_, complete_ ? TaskWorkerDone : TaskWorkerFailed,
                        segment_ >= 0 ? served.Position() : 0);
        if (segment_ >= 0) table_.Release(segment_);
        connection_.SetRunFlag(RunFlag::Idle);
        task_.WorkerEnded();
    }

    TaskRunner& task_;
    SessionConnection& connection_;
    TransferSession& session_;
    SegmentTable& table_;
    std::vector<char> buffer_;
    RetryBudget retries_;
    DownloadStep retryStep_;  // where an attempt starts again
    int segment_;
    bool firstSegment_;
    bool complete_ = false;
};

}  // namespace

void RunFtpDownloadWorker(TaskRunner& task, SessionConnection& connection) {
    DownloadWorker(task, connection).Run();
}

}  // namespace downlib

// The upload worker: one loop over named steps. The local file is opened
// first, read-only; the opening (connect, log-in, restart probe, SIZE) is the
// only phase that is retried; the store request falls back from a refused
// restart to APPE and then to a send from byte 0; the send loop and the end of
// the data (the server's final reply, the size check) decide whether the
// remote file is whole.
#include "downlib/ftp_upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "downlib/error_codes.h"
#include "downlib/ftp_download.h"
#include "downlib/remote_commands.h"
#include "downlib/remote_file_time.h"
#include "downlib/reply_assembler.h"
#include "downlib/server_bytes.h"
#include "downlib/server_hash.h"
#include "downlib/session_reuse.h"
#include "downlib/transfer_worker.h"
#include "downlib/upload_decision.h"
#include "downlib/upload_source.h"

namespace downlib {

namespace {

constexpr const char* kOpenFileText = "打开文件失败，请检查磁盘是否存在 %s 这个文件";
constexpr const char* kStaleHashText = "服务器给出的仍是上传前的校验值（服务器缓存了旧值），未用作校验: ";
constexpr const char* kChangedText = "本地文件在上传过程中发生了变化, 上传的文件不完整";
constexpr const char* kClosedEarlyText = "服务器提前关闭了数据连接, 没有收下全部数据";
constexpr int kAlternativeNameAttempts = 99;
constexpr int kDefaultSendTimeoutMs = 20000;
// After a failed send, how long a reply the server may have sent with it
// (a 426, a 552 disk full) is awaited for the log.
constexpr int kPendingReplyWaitMs = 1000;
constexpr std::size_t kVerbLength = 5;  // "STOR ", "APPE ", "SIZE "

bool IsTransferStart(int code) { return code == 125 || code == 150; }

// The path of `path` as SIZE, MDTM and RETR must name it: each drops one
// leading "/" (as RETR does for downloads) while STOR sends the path as
// given, so whatever is asked about must be the same path, or a resume would
// continue one file at the size of another.
std::string AskedPath(const std::string& path) { return !path.empty() && path[0] == '/' ? "/" + path : path; }

enum class UploadStep { Opening, Deciding, DataChannel, Sending, RetryPause, End };

// How a store request (STOR or APPE with its data channel, TYPE and REST) went.
enum class StoreStart {
    Accepted,        // 125 or 150: the server waits for the data
    RestartRefused,  // the REST before it, or the request after a REST, was refused
    Refused,         // any other answer
    ChannelFailed,   // no data channel (the data channel's messages say why)
};

enum class SendEnd { AllSent, Failed, Stopped };

class UploadWorker {
public:
    UploadWorker(TaskRunner& task, SessionConnection& connection)
        : task_(task), connection_(connection), session_(task.session()) {}

    void Run() {
        UploadStep step = OpenLocalFile() ? UploadStep::Opening : UploadStep::End;
        while (step != UploadStep::End) step = Advance(step);
        End();
    }

private:
    UploadStep Advance(UploadStep step) {
        switch (step) {
            case UploadStep::Opening:
                return StepAfterOpening(OpenFtpUpload(), UploadStep::Deciding);
            case UploadStep::Deciding:
                return Decide();
            case UploadStep::DataChannel:
                return StartStore();
            case UploadStep::Sending:
                return Send();
            case UploadStep::RetryPause:
                return retries_.PauseBeforeRetry(task_, connection_) ? UploadStep::Opening : UploadStep::End;
            case UploadStep::End:
                break;
        }
        return UploadStep::End;
    }

    bool OpenLocalFile() {
        // A name that would break the command line fails here: the opening
        // would otherwise take the refused SIZE for a lost connection and retry.
        if (!IsSafeCommandText(session_.path) ||
            kVerbLength + session_.path.size() + 3 > kCommandBufferSize) {
            EmitLog(connection_, "远程文件路径含有回车、换行或空字符, 或者过长, 不能上传", LogError);
            return false;
        }
        if (!file_.Open(session_.localPath)) {
            EmitLog(connection_, WithText(kOpenFileText, session_.localPath), LogError);
            return false;
        }
        localSize_ = file_.Size();
        return true;
    }

    // The size of a remote file, -1 when the server names none.
    std::int64_t RemoteSize(const std::string& path) {
        return SendSize(connection_, AskedPath(path), session_.replyTimeout);
    }

    // Log-in, restart probe and the remote size. Only a stop gives up: an
    // upload also retries a name that did not resolve and a TYPE I without answer.
    OpenOutcome OpenFtpUpload() {
        CloseDataChannel(connection_);
        LoggedIn loggedIn = OpenLoggedIn(connection_, true, GreetingTexts::Upload);
        if (loggedIn.opening == OpenResult::Stopped) return OpenOutcome::GiveUp;
        if (!loggedIn.Ok() || !loggedIn.binary) return OpenOutcome::Retry;
        const RestartProbeOutcome probe = ProbeRestartOnce(connection_);
        if (probe.answer.code <= 0) return OpenOutcome::Retry;
        const bool supported = probe.answer.supported;
        task_.resumeSupported = supported;
        restartMarker_ = probe.answer.code == 350;
        EmitLog(connection_, supported ? "站点支持断点续传" : "站点不支持断点续传", LogError);
        if (probe.resetCode <= 0) return OpenOutcome::Retry;
        return LearnRemoteFile() ? OpenOutcome::Opened : OpenOutcome::Retry;
    }

    // SIZE and MDTM of the target in one write: one round trip whether or
    // not the file exists. False when a reply did not come.
    bool LearnRemoteFile() {
        const std::string asked = AskedPath(session_.path);
        const std::string sizeCommand = SizeCommand(asked);
        const std::string mdtmCommand = MdtmCommand(asked);
        EmitLog(connection_, sizeCommand, LogReply);
        EmitLog(connection_, mdtmCommand, LogCommand);
        if (!SendLines(connection_, {sizeCommand, mdtmCommand}, session_.sendTimeout)) return false;
        std::string reply;
        const int sizeCode = ReadReply(connection_, reply, session_.replyTimeout);
        if (sizeCode <= 0) return false;
        const std::int64_t size = SizeFromReply(connection_, sizeCode, reply);
        const int mdtmCode = ReadReply(connection_, reply, session_.replyTimeout);
        if (mdtmCode <= 0) return false;
        remote_ = RemoteFileFrom(sizeCode, size, mdtmCode, MdtmFromReply(mdtmCode, reply), session_.Binary());
        return true;
    }

    // The server's hash of the target equals ours of the local file's first
    // `length` bytes. Nothing when the server offers or gives no hash.
    std::optional<bool> HashSays(std::int64_t length) {
        if (!session_.Binary()) return std::nullopt;
        const std::optional<FileHash> remote = ServerHashOf(connection_, AskedPath(session_.path));
        if (!remote) return std::nullopt;
        hashBefore_ = {session_.path, remote->hex};
        const std::optional<std::string> local = HashLocalFile(file_.Fd(), remote->algorithm, length);
        return local && *local == remote->hex;
    }

    // The remote file has our content: the same size (asked before) and the
    // same hash where the server gives one, else the modification time our
    // own upload gave it, to the second.
    bool SameContent() {
        if (const std::optional<bool> hashed = HashSays(localSize_)) return *hashed;
        const std::optional<std::string> local = FileTimeDigits(file_.ModifiedSeconds());
        return local && remote_.modified && *remote_.modified == *local;
    }

    // The remote file is the beginning of the local one: the same hash as
    // our bytes up to its size, or, where the server gives none, not older
    // than the local file (the part an interrupted upload left is newer than
    // its source; an older version of the file is older) and its first and
    // last bytes equal the local bytes at the same places. Nothing when the
    // connection broke while reading them back.
    std::optional<bool> ProvenBeginning() {
        // The server's hash of the whole remote file against ours of the same range.
        if (const std::optional<bool> hashed = HashSays(remote_.size)) return *hashed;
        const std::optional<std::string> local = FileTimeDigits(file_.ModifiedSeconds());
        if (!local || !remote_.modified || *remote_.modified < *local) return false;
        if (!task_.resumeSupported) return false;
        const std::int64_t length = std::min(kResumeProofBytes, remote_.size);
        std::vector<std::int64_t> positions{0};
        if (remote_.size > length) positions.push_back(remote_.size - length);
        std::string localBytes(static_cast<std::size_t>(length), '\0');
        for (std::int64_t position : positions) {
            if (file_.Read(position, localBytes.data(), length) != length) return false;
            bool broken = false;
            std::optional<std::string> remoteBytes =
                ReadServerBytes(connection_, AskedPath(session_.path), position, length, broken);
            if (broken) return std::nullopt;
            if (!remoteBytes || *remoteBytes != localBytes) return false;
        }
        return true;
    }

    UploadStep Decide() {
        int flags = session_.taskFlags;
        if (remote_.size > 0 && (flags & UploadAsk) && session_.taskCallback) {
            flags = session_.taskCallback(TaskUploadQuestion, static_cast<std::int64_t>(connection_.handle()),
                                          remote_.size, localSize_, session_.handle()) &
                    0xFF;
            session_.taskFlags = flags;
        }
        bool proven = false;
        switch (ProofFor(flags, remote_, localSize_, session_.Binary())) {
            case ProofWanted::None:
                break;
            case ProofWanted::SameFile:
                proven = SameContent();
                break;
            case ProofWanted::Prefix: {
                const std::optional<bool> beginning = ProvenBeginning();
                if (!beginning) return UploadStep::RetryPause;
                proven = *beginning;
                break;
            }
        }
        decision_ = DecideUpload(flags, remote_, localSize_, proven);
        if (!decision_.reason.empty())
            EmitLog(connection_, decision_.reason + ": " + session_.path,
                    decision_.refused ? LogError : LogInfo);
        if (decision_.refused) return UploadStep::End;
        session_.transferred = decision_.offset;
        if (decision_.mode == UploadMode::Nothing) {
            complete_ = true;
            inStep_ = true;
            return UploadStep::End;
        }
        remoteName_ = session_.path;
        if (decision_.mode == UploadMode::AlternativeName) {
            std::optional<std::string> name = AlternativeName();
            if (!name) return UploadStep::End;
            remoteName_ = *name;
        }
        return UploadStep::DataChannel;
    }

    // Whether a file is there: SIZE, and MDTM where SIZE cannot tell.
    RemoteExistence ExistenceOf(const std::string& path) {
        connection_.lastReply.clear();
        const std::int64_t size = RemoteSize(path);
        const int sizeCode = size >= 0 ? 213 : ReplyCodeOf(connection_.lastReply);
        if (sizeCode == 213 || (sizeCode == 550 && session_.Binary()))
            return RemoteFileFrom(sizeCode, size, 0, std::nullopt, session_.Binary()).existence;
        const std::string asked = AskedPath(path);
        EmitLog(connection_, MdtmCommand(asked), LogCommand);
        std::string reply;
        const int mdtmCode = SendCommand(connection_, MdtmCommand(asked), reply, session_.replyTimeout);
        return RemoteFileFrom(sizeCode, size, mdtmCode, MdtmFromReply(mdtmCode, reply), session_.Binary())
            .existence;
    }

    // Mode 8's name: the task's member 16 when it names one, else the first
    // free "name(k).ext" beside the file, as a download's automatic rename.
    std::optional<std::string> AlternativeName() {
        std::string folder = session_.path.substr(0, session_.path.rfind('/') + 1);
        if (!session_.workerText.empty())
            return session_.workerText[0] == '/' ? session_.workerText : folder + session_.workerText;
        std::string name = session_.path.substr(folder.size());
        for (int attempt = 0; attempt < kAlternativeNameAttempts; ++attempt) {
            std::optional<std::string> next = NextAutomaticName(name);
            if (!next) break;
            name = *next;
            const RemoteExistence existence = ExistenceOf(folder + name);
            if (existence == RemoteExistence::Present) continue;
            if (existence == RemoteExistence::Absent) return folder + name;
            break;  // the server cannot tell whether the name is free: never guess
        }
        EmitLog(connection_, "服务器上找不到可用的新文件名", LogError);
        return std::nullopt;
    }

    // Data channel, the task's type, REST when given, then STOR or APPE.
    StoreStart StoreRequest(const std::string& verb, std::optional<std::int64_t> restAt) {
        if (!SetUpDataChannel(connection_, DataCaller::Upload)) return StoreStart::ChannelFailed;
        SwitchTransferType(connection_, session_.Binary());
        std::string reply;
        const bool restarted = restAt && *restAt > 0;
        if (restAt) {
            EmitLog(connection_, "REST " + std::to_string(*restAt), LogCommand);
            int code = SendRest(connection_, *restAt, session_.replyTimeout);
            // Sending at an offset the server did not confirm would write the
            // rest of the file over its start.
            if (restarted && code != 350) return StoreStart::RestartRefused;
        }
        std::string line = verb + " " + remoteName_;
        EmitLog(connection_, line, LogReply);
        int code = SendCommand(connection_, line, reply, session_.replyTimeout);
        if (IsTransferStart(code)) return StoreStart::Accepted;
        return restarted ? StoreStart::RestartRefused : StoreStart::Refused;
    }

    UploadStep StartStore() {
        sendFrom_ = decision_.mode == UploadMode::Resume ? decision_.offset : 0;
        StoreStart start = StoreRequest("STOR", sendFrom_);
        if (start == StoreStart::RestartRefused && !connection_.StopRequested()) {
            // proftpd without AllowStoreRestart: "451 Append/Restart not
            // permitted". APPE continues at the server's end of the file,
            // which SIZE just named; the size check at the end proves it.
            EmitLog(connection_, "服务器不接受续传位置, 改用APPE续传", LogError);
            std::optional<std::int64_t> clearMarker;
            if (restartMarker_) clearMarker = 0;
            start = StoreRequest("APPE", clearMarker);
            if (start == StoreStart::Refused && !connection_.StopRequested()) {
                EmitLog(connection_, "服务器不接受APPE, 改为从头上传", LogError);
                sendFrom_ = 0;
                session_.transferred = 0;
                start = StoreRequest("STOR", 0);
            }
        }
        if (start == StoreStart::Accepted) return UploadStep::Sending;
        if (start != StoreStart::ChannelFailed && !connection_.StopRequested())
            EmitLog(connection_, "不支持的响应", LogError);
        return UploadStep::End;
    }

    UploadStep Send() {
        EmitLog(connection_, "开始发送数据", LogInfo);
        if (!CompleteDataChannel(connection_)) return UploadStep::End;
        std::int64_t remaining = localSize_ - sendFrom_;
        task_.PostEvent(connection_, TaskTransferStarted, remaining);
        SendEnd end = SendLoop(sendFrom_, remaining);
        if (end == SendEnd::AllSent) complete_ = EndOfData();
        // The next upload of the same file can then see that it is unchanged.
        if (complete_) {
            if (std::optional<std::string> digits = FileTimeDigits(file_.ModifiedSeconds()))
                SetRemoteFileTime(connection_, remoteName_, *digits);
        }
        if (end == SendEnd::Failed) ReadPendingReply();
        return UploadStep::End;
    }

    // One send: waits for room in 10 ms cycles (a stop is seen in one), at
    // most the send time-out without progress. The bytes sent, or an error.
    std::int64_t SendSome(const char* data, std::int64_t length) {
        const int limit = session_.sendTimeout > 0 ? session_.sendTimeout : kDefaultSendTimeoutMs;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
        while (true) {
            if (connection_.StopRequested()) return ToInt(ErrorCode::Stopped);
            std::int64_t n =
                SendWithTimeout(connection_.data, kWaitCycleMs, data, static_cast<std::size_t>(length));
            if (n > 0) return n;
            bool noRoomYet = Is(n, ErrorCode::SendWaitTimeout) || Is(n, ErrorCode::WsaWouldBlock) ||
                             Is(n, ErrorCode::WsaInterrupted);
            if (!noRoomYet) return n;
            if (std::chrono::steady_clock::now() >= deadline) return ToInt(ErrorCode::SendWaitTimeout);
        }
    }

    // Sends `remaining` bytes of the file from `position`, at most one block
    // per send; with the block-size override, at most one block a second.
    SendEnd SendLoop(std::int64_t position, std::int64_t remaining) {
        const bool paced = session_.blockSizeOverride > 0;
        std::int64_t block = paced ? session_.blockSizeOverride : session_.uploadBlockSize;
        if (block <= 0) block = TaskParam().uploadBlockSize;
        block = std::min(block, kMaxSendBlock);
        std::vector<char> buffer(
            static_cast<std::size_t>(std::max<std::int64_t>(std::min(block, remaining), 1)));
        // Non-blocking: a send never waits beyond its own bounded wait.
        SetNonBlocking(connection_.data.fd());
        ByteEvents reporter(task_, connection_, TaskBytesSent);
        std::int64_t bufferStart = position;  // the file position of buffer[0]
        std::int64_t bufferEnd = position;
        while (remaining > 0) {
            if (connection_.StopRequested()) {
                EmitLog(connection_, "上传被停止, 服务器上的文件不完整", LogError);
                return SendEnd::Stopped;
            }
            if (position >= bufferEnd) {
                std::int64_t chunk = std::min(remaining, block);
                std::int64_t got = file_.Read(position, buffer.data(), chunk);
                if (got < 0) {
                    EmitLog(connection_, "读取本地文件失败", LogError);
                    return SendEnd::Failed;
                }
                if (got < chunk) {  // the file became shorter than it was
                    EmitLog(connection_, kChangedText, LogError);
                    return SendEnd::Failed;
                }
                bufferStart = position;
                bufferEnd = position + got;
            }
            auto began = std::chrono::steady_clock::now();
            std::int64_t sent = SendSome(buffer.data() + (position - bufferStart), bufferEnd - position);
            if (Is(sent, ErrorCode::Stopped)) continue;  // the next round says so
            if (sent < 0) {
                EmitLog(connection_, "上传出现异常", LogError);
                ReportSocketError(connection_, static_cast<int>(sent));
                return SendEnd::Failed;
            }
            if (paced) PaceBlock(connection_, began);
            reporter.Add(sent, paced);  // a paced send is news worth an event of its own
            session_.transferred += sent;
            session_.currentTransfer += sent;
            remaining -= sent;
            position += sent;
        }
        return SendEnd::AllSent;
    }

    // The server has taken every byte once our send queue is empty; only
    // then does the wait for its final reply begin, or a slow server that is
    // still reading would be taken for one that never answers. A queue that
    // stops shrinking for the send time-out fails the upload.
    bool WaitUntilTaken() {
        const int limit = session_.sendTimeout > 0 ? session_.sendTimeout : kDefaultSendTimeoutMs;
        const int fd = connection_.data.fd();
        std::int64_t queued = UnacknowledgedBytes(fd);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
        while (queued > 0) {
            if (connection_.StopRequested()) return false;
            const PeerState peer = PollPeer(fd, kWaitCycleMs);
            if (peer == PeerState::Closed || peer == PeerState::Reset) return true;  // EndOfData tells
            if (peer == PeerState::Readable)
                std::this_thread::sleep_for(std::chrono::milliseconds(kWaitCycleMs));
            const std::int64_t now = UnacknowledgedBytes(fd);
            if (now < queued) deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
            queued = now;
            if (queued > 0 && std::chrono::steady_clock::now() >= deadline) {
                EmitLog(connection_,
                        "服务器" + std::to_string(limit) + "毫秒没有接收数据, 还有" + std::to_string(queued) +
                            "字节没有送达",
                        LogError);
                return false;
            }
        }
        return true;
    }

    // Every byte is sent: the end of the data tells the server that this is
    // the whole file, and its reply says whether it kept it.
    bool EndOfData() {
        if (!file_.Unchanged()) {
            EmitLog(connection_, kChangedText, LogError);
            return false;
        }
        if (!WaitUntilTaken()) return false;
        // A server that closed the data connection before our end did not
        // take the whole file, whatever it answers.
        PeerState peer = PollPeer(connection_.data.fd(), 0);
        if (peer == PeerState::Closed || peer == PeerState::Reset) {
            EmitLog(connection_, kClosedEarlyText, LogError);
            ReadPendingReply();
            return false;
        }
        // Only our side ends now: a server that closes its side with bytes
        // of ours unread resets the connection, and that shows after its reply.
        ShutdownSending(connection_.data);
        std::string reply;
        int code = ReadReply(connection_, reply, session_.replyTimeout);
        inStep_ = code > 0;
        // A server closes its side before it replies; the wait only matters
        // for one that keeps the connection open.
        peer = PollPeer(connection_.data.fd(), std::min(session_.replyTimeout, kPendingReplyWaitMs));
        CloseDataChannel(connection_);
        if (code < 200 || code > 299) {
            if (code > 0) EmitLog(connection_, "服务器没有确认上传成功: " + LineForLog(reply), LogError);
            return false;
        }
        if (peer == PeerState::Reset) {
            EmitLog(connection_, kClosedEarlyText, LogError);
            return false;
        }
        return RemoteSizeMatches() && RemoteHashMatches();
    }

    // Where the server gives a hash, it must be that of the local file.
    bool RemoteHashMatches() {
        if (!session_.Binary()) return true;
        const std::optional<FileHash> remote = ServerHashOf(connection_, AskedPath(remoteName_));
        if (!remote) return true;
        const std::optional<std::string> local = HashLocalFile(file_.Fd(), remote->algorithm, localSize_);
        const std::string name = HashName(remote->algorithm);
        if (local && *local == remote->hex) {
            EmitLog(connection_, "文件" + name + "校验值与服务器一致: " + *local, LogInfo);
            return true;
        }
        // proftpd's digest cache answers, within one session, with the hash
        // of what the path held before a same-sized overwrite. A hash equal
        // to the one given before our upload proves nothing either way: the
        // size and the final reply decide, as on a server without hashes.
        if (hashBefore_ && hashBefore_->first == remoteName_ && hashBefore_->second == remote->hex) {
            EmitLog(connection_, kStaleHashText + remote->hex, LogInfo);
            return true;
        }
        EmitLog(connection_,
                "文件校验值与服务器不一致 (" + name + "): 服务器 " + remote->hex + ", 本地 " +
                    local.value_or("无法读取"),
                LogError);
        return false;
    }

    // In binary type the remote file must now be exactly the local file's
    // size. A server without SIZE leaves the final reply and the count to decide.
    bool RemoteSizeMatches() {
        if (!session_.Binary()) return true;
        std::int64_t size = RemoteSize(remoteName_);
        if (size < 0 || size == localSize_) return true;
        EmitLog(connection_,
                "上传后服务器上的文件为" + std::to_string(size) + "字节, 本地文件为" +
                    std::to_string(localSize_) + "字节",
                LogError);
        return false;
    }

    // A server that ends a transfer early usually says why on the control
    // connection (426, 451, 552): show it, and keep the connection in step.
    void ReadPendingReply() {
        if (!connection_.control || connection_.StopRequested()) return;
        if (PollPeer(connection_.control.fd(), kPendingReplyWaitMs) != PeerState::Readable) return;
        std::string reply;
        inStep_ = ReadReply(connection_, reply, session_.replyTimeout) > 0;
    }

    void End() {
        const bool stopped = connection_.StopRequested();
        // A part of a file must never look like the whole of it to the
        // server: a transfer that did not end well ends with a reset.
        if (!complete_) AbortConnection(connection_.data);
        CloseDataChannel(connection_);
        // A whole upload leaves its connection logged in for the next task;
        // otherwise, or when the cache will not take it, it says goodbye.
        const bool kept = complete_ && inStep_ && !stopped && ReturnLoggedInConnection(connection_);
        if (inStep_ && !stopped && !kept && connection_.control) {
            std::string reply;
            EmitLog(connection_, "QUIT", LogCommand);
            SendQuit(connection_, reply, session_.replyTimeout);
        }
        task_.uploadComplete = complete_;
        task_.PostEvent(connection_, complete_ ? TaskWorkerDone : TaskWorkerFailed,
                        session_.transferred.load());
        connection_.control.Close();
        connection_.SetRunFlag(RunFlag::Idle);
        TaskMessage collect;
        collect.code = kTaskStopFirst;
        if (task_.Post(std::move(collect))) {
            task_.WorkerEnded(false);  // kTaskStopFirst ends the task
        } else {
            task_.WorkerEnded();
        }
    }

    TaskRunner& task_;
    SessionConnection& connection_;
    TransferSession& session_;
    LocalSource file_;
    std::int64_t localSize_ = -1;
    RemoteFile remote_;           // what SIZE and MDTM told of the target
    bool restartMarker_ = false;  // the probe got 350: the server keeps a restart marker
    UploadDecision decision_;
    // The path and the hash the server gave for it before the upload.
    std::optional<std::pair<std::string, std::string>> hashBefore_;
    std::string remoteName_;
    std::int64_t sendFrom_ = 0;
    RetryBudget retries_;
    bool complete_ = false;
    bool inStep_ = false;  // every reply read: the control connection can say QUIT
};

}  // namespace

void RunFtpUploadWorker(TaskRunner& task, SessionConnection& connection) {
    UploadWorker(task, connection).Run();
}

}  // namespace downlib

// Sessions and their connections: the state an assistant session (the
// synchronous client) or a transfer task carries, and session creation from a
// URL. Internal to the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "downlib/connection_facts.h"
#include "downlib/ftp_engine.h"
#include "downlib/socket_transport.h"
#include "downlib/tls_stream.h"

namespace downlib {

// A worker connection's run flag. Idle before its worker starts and once it
// has ended; Running while it works; StopAsked tells the worker to end.
enum class RunFlag : int { Idle = -1, StopAsked = 0, Running = 1 };
// Live while the session is held; Ended once its task has ended.
enum class SessionState : int { Ended = 0, Live = 1 };
// Stopping from the moment StopTask begins: no further worker is opened.
enum class StopPhase : int { None = 0, Stopping = 4 };

enum class Protocol { Http = 1, Ftp = 2, Mms = 3, Rtsp = 4 };

enum DataMode : int { kDataPassive = 1, kDataActive = 2 };

struct TransferSession;
class ConnectionCache;

// A delivered log record of a task; queued and handed to the task's callback
// on the task thread.
struct LogRecord {
    int kind = LogInfo;
    std::string timeText;
    std::string message;
};

// One TCP connection of a session: control, data and listening sockets.
struct SessionConnection {
    explicit SessionConnection(TransferSession& owner) : session(&owner) {}

    Socket control;
    Socket data;
    Socket listening;
    TransferSession* session;
    std::atomic<std::int64_t> received{0};
    int segment = -1;  // the segment a task connection serves
    bool firstWorker = false;
    std::string lastReply;  // the final line of the last reply read here
    // A reply was left unread or half read: the next bytes on the control
    // connection may answer an earlier command. Only the owning thread uses it.
    bool outOfStep = false;
    // The control connection's type and restart probe answer (reset with each
    // new control socket). Only the owning thread uses it.
    ConnectionFacts facts;
    // The last error line delivered for this connection: the reason a retry
    // gives. Only the owning thread uses it.
    std::string lastError;
    // While set, the connection's log events are kept here instead of
    // delivered (see HeldLog). Only the owning thread uses it.
    std::vector<LogRecord>* heldLog = nullptr;

    Handle handle() const { return reinterpret_cast<Handle>(this); }
    // True when this connection, or its whole session, was told to stop.
    bool StopRequested() const;

    RunFlag Run() const { return runFlag_.load(); }
    // The two ways the run flag changes: set by the worker's owner (Running
    // when it starts the worker) and the worker itself (Idle as its last
    // step); and a stop, which only a Running worker hears, so that a worker
    // that has ended stays Idle.
    void SetRunFlag(RunFlag flag) { runFlag_ = flag; }
    bool AskStop();
    // For a worker that outlived the stop wait: every blocking call on its
    // sockets returns at once, and the worker ends by itself.
    void CutSockets() const;

private:
    std::atomic<RunFlag> runFlag_{RunFlag::Idle};
};

struct TransferSession {
    Protocol protocol = Protocol::Ftp;
    TaskUse use = TaskUse::Assistant;

    std::mutex sessionLock;
    std::mutex progressLock;
    std::atomic<std::int64_t> transferred{0};  // what GetBytesDone reports
    std::atomic<std::int64_t> currentTransfer{0};
    std::atomic<std::int64_t> remoteSize{0};

    int connectTimeout = 30000;
    int sendTimeout = 30000;
    int replyTimeout = 30000;
    int stopWait = 1000;
    int retryCount = 999;  // per worker (TaskParam::retryCount)

    LogCallback logCallback;
    TaskCallback taskCallback;
    // Set by the task runner: carries a task's log records into its event queue.
    std::function<void(SessionConnection*, LogRecord)> queueLog;

    std::string user;
    std::string password;
    std::string host;
    std::string path;           // decoded remote path
    std::string serverAddress;  // dotted IPv4 text once resolved
    std::uint16_t port = 21;

    std::string localPath;
    std::string localBase;  // TaskParam::localBase
    int transferTypeMode = 1;
    std::string extensionList;
    int connectionsWanted = 1;
    int blockSizeOverride = 0;
    int downloadBlockSize = 20480;
    int uploadBlockSize = 65536;
    int taskFlags = 0;  // TaskParam member 1, low byte; an upload's question may replace it
    std::string workerText;

    std::atomic<int> dataMode{kDataPassive};
    TlsMode tlsMode = TlsMode::Off;
    TlsTrust tlsTrust;
    std::shared_ptr<TlsContext> tlsContext;  // set unless tlsMode is Off
    // The certificate accepted on this session's control connection (its
    // data connections must show the same), and one the user refused (later
    // attempts of the task do not ask again).
    std::string acceptedFingerprint;
    std::string refusedFingerprint;
    // The Download object's cache of logged-in control connections; none
    // for assistant sessions.
    std::shared_ptr<ConnectionCache> connectionCache;

    std::mutex connectionListLock;
    std::list<std::unique_ptr<SessionConnection>> connections;  // newest first

    bool IsAssistant() const { return use == TaskUse::Assistant; }
    bool IsUpload() const { return use == TaskUse::Upload; }
    bool Binary() const { return transferTypeMode == 1; }
    Handle handle() const { return reinterpret_cast<Handle>(this); }
    // Creates a connection and links it at the head of the list.
    SessionConnection& AddConnection();
    SessionConnection* FirstConnection();

    bool IsLive() const { return state_.load() == SessionState::Live; }
    void MarkEnded() { state_ = SessionState::Ended; }
    bool StopRaised() const { return stopFlag_.load() == StopFlag::Raised; }
    // What the waits that a stop abandons watch.
    const std::atomic<StopFlag>* StopFlagWatch() const { return &stopFlag_; }
    bool Stopping() const { return phase_.load() == StopPhase::Stopping; }
    // The one way a session is stopped, in this order: the phase (no worker
    // is opened from now on), the stop flag (connects and receive loops give
    // up), then every Running worker connection is asked to stop. Waiting for
    // the workers is the task's part.
    void RequestStop();

private:
    std::atomic<SessionState> state_{SessionState::Live};
    std::atomic<StopFlag> stopFlag_{StopFlag::Clear};
    std::atomic<StopPhase> phase_{StopPhase::None};
};

struct SchemeInfo {
    Protocol protocol;
    int defaultPort;
    std::size_t prefixLength;
    std::optional<TlsMode> tls;  // what the scheme itself says of encryption
};

// Scheme recognition on the URL's first letter and the character codes that
// follow it; no value for an unknown scheme.
std::optional<SchemeInfo> RecognizeScheme(const std::string& url);
// "%XX" and "+" decoding of a URL path.
std::string DecodeUrlPath(const std::string& path);
// Transfer-type mode 3 resolved by the name's extension: 1 binary, 2 ASCII.
int ResolveTransferType(int mode, const std::string& name, const std::string& extensionList);

// Creates a session from a task description for the given use. No session
// for a URL without a host, a scheme that is not FTP, or malformed text.
std::unique_ptr<TransferSession> CreateSession(const TaskParam& param, TaskUse use);

}  // namespace downlib

// The FTP engine's public face: the synchronous client `DezAziveduza`, the
// background transfer runner `Download`, the task description `TaskParam` and
// the two callbacks through which the engine reports back. Everything else of
// the engine stays inside downlib/.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace downlib {

// Kinds of a log event.
enum LogKind : int {
    LogInfo = 0,         // progress
    LogCommand = 1,      // a command line, or a note about one
    LogReply = 2,        // a reply line, or a success
    LogError = 3,        // a failure
    LogHidden = 0x1001,  // kept in the task's queue, never delivered
};

// A task's log line that opens with this announces one retry and why
// ("重试 3/999: 数据连接超时"), so a window can show why a transfer waits.
inline constexpr const char* kRetryLinePrefix = "重试 ";
// A log-in refused because the server serves as many connections as it
// allows (421, or a 530 that says so) is an error line that opens with this,
// followed by the server's reply; it is then also the reason of the retry.
inline constexpr const char* kConnectionLimitLine = "服务器不接受更多的连接: ";

using Handle = std::uintptr_t;

// connection handle (0 for DezAziveduza), time text, message, kind, session.
using LogCallback = std::function<void(Handle connection, const std::string& timeText,
                                       const std::string& message, int kind, Handle session)>;

// event code, three event values, session. The result matters only for the
// two questions: a download's same-name question (TaskSameName: 0 rename
// automatically, 1 give up, 2 go on) and an upload's (TaskUploadQuestion: the new flags).
using TaskCallback = std::function<int(int code, std::int64_t value1, std::int64_t value2,
                                       std::int64_t value3, Handle session)>;

// Task event codes that reach a TaskCallback.
enum TaskEvent : int {
    TaskUploadQuestion = 2,   // upload, a question: value2 remote size, value3 local size
    TaskTransferStarted = 3,  // download, value2: remote size; upload, value2: bytes still to send
    TaskEnded = 4,            // value2: byte count; always the last event
    TaskWorkerStarted = 5,
    TaskFirstSegment = 6,  // value2: position, value3: segment end
    TaskLaterSegment = 7,  // value2: position, value3: segment end
    TaskWorkerDone = 8,    // value2: segment position
    TaskWorkerFailed = 9,  // value2: segment position
    TaskBytes = 16,        // value2: bytes received
    TaskBytesSent = 17,    // value2: bytes sent (an upload)
    TaskSameName = 18,     // value2: local size, value3: remote size (a question)
};

// Flags of an upload task: the low byte of TaskParam::flags. When the remote
// file exists, the first of 0x02, 0x01, 0x04, 0x08 and 0x20 that is set
// decides. 0x02 continues a remote file only when it is proven to be the
// local file's beginning (else the task fails and changes nothing).
enum UploadFlag : int {
    UploadReplace = 0x01,          // send from byte 0 over an existing file
    UploadResume = 0x02,           // continue a shorter remote file at its end (with proof)
    UploadAlternativeName = 0x04,  // send from 0 under another name (workerText, or "name(1).ext")
    UploadSkip = 0x08,             // send nothing
    UploadAsk = 0x10,              // ask the TaskCallback (TaskUploadQuestion) once the remote size is known
    UploadUpdate = 0x20,           // skip a file proven the same, resume one proven a beginning, else from 0
};

// What a task's session is for: the use bits of TaskParam::flags, which
// StartTask and StartUpload set themselves. The Application writes a
// download's flags as Download.
enum class TaskUse : int { Download = 0x1000, Upload = 0x2000, Assistant = 0x3000 };

// How a session encrypts. Auto asks for TLS (AUTH TLS) and goes on in plain
// FTP, with an error line, when the server refuses it; Required ends the
// connection before the user name is sent; Implicit speaks TLS from the
// first byte (port 990 by default); Off never asks. Data connections are
// encrypted whenever the control connection is.
enum class TlsMode : int { Auto, Required, Implicit, Off };

// A server certificate that the system's trusted authorities do not vouch
// for (self-signed, another name, expired), or one that differs from the
// certificate trusted before for the same host and port.
struct CertificateQuestion {
    std::string host;
    int port = 0;
    std::string fingerprint;  // SHA-256, "AB:CD:..."
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    std::string problem;           // why it is not verified
    std::string knownFingerprint;  // the one trusted before; empty when none
};
enum class CertificateAnswer : int { Refuse, TrustOnce, TrustAlways };
using CertificateCallback = std::function<CertificateAnswer(const CertificateQuestion&)>;

// Which unverified certificates a session accepts. The question runs on the
// thread that connects (a task's worker thread): answer without calling back
// into the engine object. Without it such a certificate is refused.
struct TlsTrust {
    std::string storePath;                  // the trusted-always file; empty: none is read or written
    std::vector<std::string> fingerprints;  // SHA-256 fingerprints trusted for this run
    CertificateCallback ask;
};

// The default password of anonymous log-ins: 17 characters, e-mail style.
inline constexpr const char* kAnonymousPassword = "quorvel@ftp.local";
inline constexpr const char* kDefaultExtensions = ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm";

// One transfer task. Members keep the numbering of the task record: the
// Application sets url, localPath, user, password and taskCallback.
struct TaskParam {
    int flags = 1;                                   // 1
    std::string url;                                 // 2
    std::string localPath;                           // 3
    std::string user = "anonymous";                  // 4
    std::string password = kAnonymousPassword;       // 5
    int connections = 1;                             // 6
    int blockSizeOverride = 0;                       // 7: bytes per read, and one read a second
    int connectTimeout = 20000;                      // 8
    int sendTimeout = 20000;                         // 9
    int replyTimeout = 20000;                        // 10
    int stopWait = 1000;                             // 11
    int downloadBlockSize = 20480;                   // 12
    int uploadBlockSize = 65536;                     // 13: bytes per send (see below)
    LogCallback logCallback;                         // 14
    TaskCallback taskCallback;                       // 15
    std::string workerText;                          // 16: an upload's alternative remote name
    int transferTypeMode = 1;                        // 17: 1 binary, 3 by extension, else ASCII
    std::string extensionList = kDefaultExtensions;  // 18
    // Member 13 was 1,024 bytes: one send per KiB made a 1 GiB upload over
    // loopback five times slower than curl; from 16 KiB on it keeps pace.
    // Not one of the task record's members: the local folder the user chose,
    // which localPath lies below. The folders between them are entered
    // without following symbolic links, so a link planted in the download
    // folder cannot redirect the file. Empty: localPath's folder is taken as named.
    std::string localBase;
    // Not members of the task record either: the encryption of an ftp://
    // URL (ftpes:// is Required and ftps:// Implicit whatever this says) and
    // the certificates it trusts.
    TlsMode tls = TlsMode::Off;
    TlsTrust tlsTrust;
    // Not one of the task record's members either: the retries a worker makes
    // after a failed attempt before the task fails with the last reason.
    int retryCount = 999;
};

struct TransferSession;

// A synchronous FTP client. Every command runs on the caller's thread, reports
// each step through the LogCallback given to Connect, and returns a plain result.
// One object must not be used by two threads at once.
class DezAziveduza {
public:
    DezAziveduza();
    ~DezAziveduza();
    DezAziveduza(const DezAziveduza&) = delete;
    DezAziveduza& operator=(const DezAziveduza&) = delete;

    bool Connect(const std::string& url, const std::string& user, const std::string& password, int port,
                 LogCallback callback, std::optional<int> timeoutMs = std::nullopt);
    // Sends QUIT and releases the session. The reply is awaited for the
    // session's reply time-out, or for quitWaitMs when that is shorter (a
    // program that closes does not wait long for a dead server).
    bool Disconnect(std::optional<int> quitWaitMs = std::nullopt);
    bool IsConnected() const;

    // Called on the calling thread while one of this object's commands waits
    // for the network, at most every 50 ms of the wait; the time it takes
    // counts against the wait's time-out. Returning false abandons the wait
    // and the command fails. The hook must not call this object. An empty
    // hook removes it.
    using WaitHook = std::function<bool()>;
    void SetWaitHook(WaitHook hook);
    // The encryption of the next Connect to an ftp:// URL (the default is
    // Off), and the certificates it trusts.
    void SetTls(TlsMode mode, TlsTrust trust);

    std::string GetCurrentDir();
    bool ChangeDir(const std::string& path);
    // Returns the number of entries, or -1. The outputs given are replaced only
    // when entries were listed. Flags: 1 for a symbolic link, 0 otherwise.
    // Times are OLE date values (days since 1899-12-30, local time).
    int ListDir(const std::optional<std::string>& path, std::vector<std::string>* names,
                std::vector<std::int32_t>* flags, std::vector<std::int64_t>* sizes,
                std::vector<double>* times);
    bool RenameEntry(const std::string& oldName, const std::string& newName);
    bool DeleteEntry(const std::string& path);
    bool MakeDir(const std::string& path);
    bool RemoveDir(const std::string& path);

private:
    std::unique_ptr<TransferSession> session_;
    WaitHook waitHook_;
    TlsMode tlsMode_ = TlsMode::Off;
    TlsTrust tlsTrust_;
};

// Runs one file transfer as a background task: a download (StartTask) or an
// upload (StartUpload), one task at a time.
//
// Uploads. StartUpload takes a TaskParam whose url is the remote file as
// "ftp://host[:port]/path" ("%XX" and "+" in the path are decoded: write a
// literal "%" as "%25" and "+" as "%2B"), whose localPath is the local file,
// and whose flags' low byte holds UploadFlag bits (without any, and with the
// record's default of 1, the file is sent from byte 0 under its name). It
// returns false when a task is still running or the URL names no FTP host.
// The local file is opened read-only and checked before the server is
// contacted. The TaskCallback then hears, on the task's threads:
//   2   a question, only with UploadAsk and a remote file of more than 0 bytes
//       (sized only on servers that can restart; on others the file is sent
//       from byte 0, unless UploadSkip is set):
//       value2 the remote size, value3 the local size. The answer replaces the
//       flags (UploadResume, UploadReplace, UploadAlternativeName, UploadSkip;
//       0 sends from byte 0). It runs on the worker thread: answer at once and
//       do not call back into the Download object.
//   3   sending starts: value2 the bytes still to send.
//   17  bytes sent: value2 their count (several sends may come as one event).
//   8   complete: the remote file is whole (below). value2 the byte total.
//   9   not complete, stopped included. value2 the byte total.
//   4   always last, exactly once: value2 the byte total.
// The byte total (also GetBytesDone) starts at the resume offset (at 0 again
// when a server refuses the restart and the file goes from byte 0) and counts
// every byte sent. Complete means: every byte of the local file was sent, the
// local file did not change meanwhile, the server closed the transfer with a
// 2xx reply, and, in binary type where the server answers SIZE, the remote
// size equals the local size; or there was nothing to send (UploadSkip, or
// UploadResume with equal sizes). StopTask ends an upload within the stop
// wait, with TaskWorkerFailed; what arrived, where the server keeps it, UploadResume can
// continue later. Every step and failure is a log line of the LogCallback.
class Download {
public:
    Download();
    ~Download();  // stops a running task
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    bool StartTask(const TaskParam& param);
    bool StartUpload(const TaskParam& param);
    std::int64_t GetBytesDone() const;
    void StopTask();
    bool IsIdle() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// Creates the last folder of `folder` (one level), which must lie below the
// chosen local folder `base`; the folders between them are entered without
// following symbolic links. False when it exists, a parent is missing or is a
// link, or `folder` is not below `base`.
bool CreateLocalFolderBelow(const std::string& base, const std::string& folder);

// The standard date-time text form: "%d年%d月%d日" then "%d时%d分%d秒", dropping
// trailing zero parts. Also the engine's time text.
std::string DateTimeText(int year, int month, int day, int hour, int minute, int second);

}  // namespace downlib

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
    LogInfo = 0,     // progress
    LogCommand = 1,  // a command line, or a note about one
    LogReply = 2,    // a reply line, or a success
    LogError = 3,    // a failure
};

using Handle = std::uintptr_t;

// connection handle (0 for DezAziveduza), time text, message, kind, session.
using LogCallback = std::function<void(Handle connection, const std::string& timeText,
                                       const std::string& message, int kind, Handle session)>;

// event code, three event values, session. The result matters only for the
// same-name question (code 18): 0 rename automatically, 1 give up, 2 go on.
using TaskCallback = std::function<int(int code, std::int64_t value1, std::int64_t value2,
                                       std::int64_t value3, Handle session)>;

// Task event codes that reach a TaskCallback.
enum TaskEvent : int {
    TaskTransferStarted = 3,  // value2: remote size
    TaskEnded = 4,            // value2: byte count; always the last event
    TaskWorkerStarted = 5,
    TaskFirstSegment = 6,  // value2: position, value3: segment end
    TaskLaterSegment = 7,  // value2: position, value3: segment end
    TaskWorkerDone = 8,    // value2: segment position
    TaskWorkerFailed = 9,  // value2: segment position
    TaskBytes = 16,        // value2: bytes received
    TaskSameName = 18,     // value2: local size, value3: remote size (a question)
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
    int uploadBlockSize = 1024;                      // 13
    LogCallback logCallback;                         // 14
    TaskCallback taskCallback;                       // 15
    std::string workerText;                          // 16
    int transferTypeMode = 1;                        // 17: 1 binary, 3 by extension, else ASCII
    std::string extensionList = kDefaultExtensions;  // 18
    // Not one of the task record's members: the local folder the user chose,
    // which localPath lies below. The folders between them are entered
    // without following symbolic links, so a link planted in the download
    // folder cannot redirect the file. Empty: localPath's folder is taken as named.
    std::string localBase;
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
    bool Disconnect();
    bool IsConnected() const;

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
};

// Runs one file transfer as a background task.
class Download {
public:
    Download();
    ~Download();  // stops a running task
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    bool StartTask(const TaskParam& param);
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

// Upload tasks against the scriptable fake server: the wire order, resume,
// the flags and the caller's question, the store request's fall-backs when a
// restart is refused, and every way a server or the local file can make an
// upload incomplete, which must then never be reported complete. The file on
// the server is compared byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "downlib/ftp_download.h"
#include "downlib/ftp_engine.h"
#include "downlib/ftp_upload.h"
#include "downlib/remote_file_time.h"
#include "downlib/session.h"
#include "downlib/task_runner.h"
#include "support/callback_recorder.h"
#include "support/engine_test_timings.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace downlib {
namespace {

using std::chrono::milliseconds;
using testsupport::Action;
using testsupport::FakeFtpServer;
using testsupport::PatternBytes;
using testsupport::TempDir;
using testsupport::TransferFaults;

class ShortRetryPause {
public:
    explicit ShortRetryPause(int ms = 50) { SetRetryPauseForTesting(ms); }
    ~ShortRetryPause() { SetRetryPauseForTesting(kRetryPauseMs); }
};

// What one upload task reported through its two callbacks.
using UploadLog = testsupport::CallbackRecorder;

void RunUpload(UploadLog& log, const TaskParam& param) {
    Download upload;
    ASSERT_TRUE(upload.StartUpload(param));
    ASSERT_TRUE(log.WaitEnded()) << log.Dump();
    // Event 4 is the last event, exactly once.
    EXPECT_EQ(log.Count(TaskEnded), 1);
    EXPECT_EQ(log.Codes().back(), TaskEnded);
}

std::vector<std::string> WithoutPass(std::vector<std::string> commands) {
    for (auto& command : commands)
        if (command.rfind("PASS ", 0) == 0) command = "PASS";
    return commands;
}

bool Has(const std::vector<std::string>& commands, const std::string& command) {
    return std::find(commands.begin(), commands.end(), command) != commands.end();
}

std::string Local(const TempDir& dir, const std::string& name, const std::string& bytes) {
    std::string path = dir.file(name);
    EXPECT_TRUE(testsupport::WriteFile(path, bytes));
    return path;
}

// The local file's modification time as MDTM writes it.
std::string LocalTime(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return FileTimeDigits(info.st_mtim.tv_sec).value_or("");
}

// The remote file is newer than the local one, as the part an interrupted
// upload left behind is.
constexpr const char* kAfterLocal = "20991231235959";
void StampNewer(FakeFtpServer& server, const std::string& path) {
    server.SetFileTimes(true);
    server.SetModified(path, kAfterLocal);
}

TEST(UploadFake, ANewFileGoesUpWithRest0AndIsCheckedBySizeAfterTheFinalReply) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok()) << server.error();
    server.SetBinaryOnlyRestAndSize(true);  // as pyftpdlib and proftpd do
    server.AddDirectory("/up");
    std::string content = PatternBytes(0, 100000, 7);
    TempDir dir;
    UploadLog log;
    const std::string local = Local(dir, "a.bin", content);
    RunUpload(log, log.Param(server.Url("/up/a.bin"), local));

    EXPECT_EQ(server.FileContents("/up/a.bin").value_or("<none>"), content);
    EXPECT_EQ(
        WithoutPass(server.CommandsOf(1)),
        // The type is sent once: the connection is in binary type already.
        // SIZE and MDTM go out together; after the size check the
        // file gets the local file's time (a server without MFMT in
        // FEAT is asked in the MDTM form).
        (std::vector<std::string>{"USER user", "PASS", "TYPE I", "REST 100", "REST 0", "SIZE /up/a.bin",
                                  "MDTM /up/a.bin", "PASV", "REST 0", "STOR /up/a.bin", "SIZE /up/a.bin",
                                  "FEAT", "MDTM " + LocalTime(local) + " /up/a.bin", "QUIT"}))
        << server.Transcript();
    EXPECT_TRUE(log.Complete()) << log.Dump();
    EXPECT_EQ(log.Values(TaskTransferStarted), std::vector<std::int64_t>{100000});
    EXPECT_EQ(log.Sum(TaskBytesSent), 100000);
    EXPECT_EQ(log.Last(TaskWorkerDone), 100000);
    EXPECT_EQ(log.EndCount(), 100000);
    std::string endpoint = "[127.0.0.1:" + std::to_string(server.port()) + "]";
    for (const auto& [text, kind] : std::vector<std::pair<std::string, int>>{
             {"正在连接 " + endpoint, LogInfo},
             {"连接 " + endpoint + "成功", LogInfo},
             {"登录成功", LogReply},
             {"REST 100", LogCommand},
             {"站点支持断点续传", LogError},
             {"数据通道连接成功", LogError},
             {"STOR /up/a.bin", LogReply},
             {"开始发送数据", LogInfo},
         }) {
        EXPECT_TRUE(log.HasLog(text, kind)) << text << "\n" << log.Dump();
    }
    // The whole upload left its connection logged in for the next task: the
    // QUIT on the wire came from the Download object as it went, unlogged.
    EXPECT_FALSE(log.HasLog("QUIT", LogCommand)) << log.Dump();
    EXPECT_FALSE(log.HasLog("连接成功, 等待欢迎消息")) << "the download's text";
}

TEST(UploadDecision, AByteIsAppendedOrAFileSkippedOnlyOnProof) {
    constexpr std::int64_t none = -1;
    constexpr auto absent = RemoteExistence::Absent;
    constexpr auto present = RemoteExistence::Present;
    constexpr auto unknown = RemoteExistence::Unknown;
    constexpr bool proven = true;
    constexpr bool unproven = false;
    const struct Case {
        int flags;
        RemoteExistence existence;
        std::int64_t remote;
        std::int64_t local;
        bool proven;
        UploadMode mode;
        std::int64_t offset;
        bool refused;
    } cases[] = {
        // Update (the window, put, mput): proof or a send from 0.
        {UploadUpdate, present, 10000, 10000, proven, UploadMode::Nothing, 10000, false},
        {UploadUpdate, present, 10000, 10000, unproven, UploadMode::Replace, 0, false},
        {UploadUpdate, present, 4000, 10000, proven, UploadMode::Resume, 4000, false},
        {UploadUpdate, present, 4000, 10000, unproven, UploadMode::Replace, 0, false},
        {UploadUpdate, present, 20000, 100, proven, UploadMode::Replace, 0, false},
        {UploadUpdate, present, 0, 100, proven, UploadMode::Replace, 0, false},
        {UploadUpdate, present, none, 100, proven, UploadMode::Replace, 0, false},
        {UploadUpdate, absent, none, 100, unproven, UploadMode::FromZero, 0, false},
        {UploadUpdate, unknown, none, 100, unproven, UploadMode::Replace, 0, false},
        // Resume (put -r): without proof nothing is changed on the server.
        {UploadResume, present, 4000, 10000, proven, UploadMode::Resume, 4000, false},
        {UploadResume, present, 4000, 10000, unproven, UploadMode::Nothing, 0, true},
        {UploadResume, present, 10000, 10000, proven, UploadMode::Nothing, 10000, false},
        {UploadResume, present, 10000, 10000, unproven, UploadMode::Nothing, 0, true},
        {UploadResume, present, 10001, 10000, proven, UploadMode::Nothing, 0, true},
        {UploadResume, present, none, 10000, proven, UploadMode::Nothing, 0, true},
        {UploadResume, present, 0, 10000, unproven, UploadMode::Replace, 0, false},
        {UploadResume, absent, none, 10000, unproven, UploadMode::FromZero, 0, false},
        {UploadResume | UploadReplace, present, 4000, 10000, unproven, UploadMode::Nothing, 0, true},
        // Replace, another name, skip: no proof needed; another name is
        // never taken on a guess that the file is not there.
        {UploadReplace, present, 4000, 10000, unproven, UploadMode::Replace, 0, false},
        {UploadReplace, absent, none, 10000, unproven, UploadMode::FromZero, 0, false},
        {UploadReplace | UploadAlternativeName, present, 1, 2, unproven, UploadMode::Replace, 0, false},
        {UploadAlternativeName, present, 4000, 10000, unproven, UploadMode::AlternativeName, 0, false},
        {UploadAlternativeName, present, none, 10000, unproven, UploadMode::AlternativeName, 0, false},
        {UploadAlternativeName, absent, none, 10000, unproven, UploadMode::FromZero, 0, false},
        {UploadAlternativeName, unknown, none, 10000, unproven, UploadMode::Nothing, 0, true},
        {UploadSkip, present, 4000, 10000, unproven, UploadMode::Nothing, 0, false},
        {0, present, 4000, 10000, unproven, UploadMode::FromZero, 0, false},
        {UploadAsk, present, 4000, 10000, unproven, UploadMode::FromZero, 0, false},
        // Offsets and sizes beyond 32 bits.
        {UploadResume, present, (5LL << 30) - 1, 5LL << 30, proven, UploadMode::Resume, (5LL << 30) - 1,
         false},
        {UploadUpdate, present, 5LL << 32, 5LL << 32, proven, UploadMode::Nothing, 5LL << 32, false},
    };
    for (const Case& c : cases) {
        RemoteFile remote;
        remote.existence = c.existence;
        remote.size = c.remote;
        const UploadDecision decision = DecideUpload(c.flags, remote, c.local, c.proven);
        const std::string label = "flags " + std::to_string(c.flags) + " remote " + std::to_string(c.remote) +
                                  " local " + std::to_string(c.local) + (c.proven ? " proven" : "");
        EXPECT_EQ(static_cast<int>(decision.mode), static_cast<int>(c.mode)) << label;
        EXPECT_EQ(decision.offset, c.offset) << label;
        EXPECT_EQ(decision.refused, c.refused) << label;
    }
}

TEST(UploadDecision, TheProofSoughtFollowsTheFlagsAndTheSizes) {
    const struct {
        int flags;
        std::int64_t remote;
        std::int64_t local;
        bool binary;
        ProofWanted wanted;
    } cases[] = {
        {UploadUpdate, 10, 10, true, ProofWanted::SameFile},
        {UploadUpdate, 4, 10, true, ProofWanted::Prefix},
        {UploadResume, 4, 10, true, ProofWanted::Prefix},
        {UploadUpdate, 11, 10, true, ProofWanted::None},
        {UploadUpdate, 0, 10, true, ProofWanted::None},
        {UploadUpdate, 10, 10, false, ProofWanted::None},  // ASCII: sizes and offsets differ in meaning
        {UploadReplace, 10, 10, true, ProofWanted::None},
        {UploadSkip | UploadUpdate, 10, 10, true, ProofWanted::None},
    };
    for (const auto& c : cases) {
        RemoteFile remote;
        remote.existence = RemoteExistence::Present;
        remote.size = c.remote;
        EXPECT_EQ(ProofFor(c.flags, remote, c.local, c.binary), c.wanted) << c.flags << " " << c.remote;
    }
}

TEST(UploadDecision, SizeAndMdtmRepliesTellWhetherTheFileIsThere) {
    const std::optional<std::string> time = "20261209101500";
    const struct {
        int sizeCode;
        std::int64_t size;
        int mdtmCode;
        bool binary;
        RemoteExistence existence;
    } cases[] = {
        {213, 5, 213, true, RemoteExistence::Present},   {213, 5, 500, true, RemoteExistence::Present},
        {502, -1, 213, true, RemoteExistence::Present},  // no SIZE: MDTM still says it is there
        {550, -1, 550, true, RemoteExistence::Absent},   {550, -1, 502, true, RemoteExistence::Absent},
        {550, -1, 502, false, RemoteExistence::Unknown},  // ASCII: 550 may mean "not in this type"
        {502, -1, 550, false, RemoteExistence::Absent},  {502, -1, 502, true, RemoteExistence::Unknown},
        {421, -1, 0, true, RemoteExistence::Unknown},
    };
    for (const auto& c : cases) {
        const RemoteFile remote = RemoteFileFrom(c.sizeCode, c.size, c.mdtmCode, time, c.binary);
        EXPECT_EQ(remote.existence, c.existence) << c.sizeCode << " " << c.mdtmCode;
        EXPECT_EQ(remote.modified.has_value(), c.mdtmCode == 213);
    }
}

TEST(UploadFake, ResumingAt4000Of10000SendsTheLast6000) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = PatternBytes(0, 10000, 3);
    server.AddFile("/r.bin", content.substr(0, 4000));
    StampNewer(server, "/r.bin");
    TempDir dir;
    UploadLog log;
    RunUpload(log, log.Param(server.Url("/r.bin"), Local(dir, "r.bin", content), UploadResume));

    std::vector<std::string> commands = server.CommandsOf(1);
    auto rest = std::find(commands.begin(), commands.end(), "REST 4000");
    ASSERT_NE(rest, commands.end()) << server.Transcript();
    EXPECT_EQ(*(rest + 1), "STOR /r.bin");
    EXPECT_EQ(log.Values(TaskTransferStarted), std::vector<std::int64_t>{6000});
    EXPECT_EQ(log.Sum(TaskBytesSent), 6000);
    EXPECT_EQ(log.EndCount(), 10000);  // the byte total starts at the offset
    EXPECT_EQ(server.FileContents("/r.bin").value_or(""), content);
    EXPECT_TRUE(log.Complete()) << log.Dump();
}

TEST(UploadFake, ResumingAFileOfEqualSizeSendsNothingAndSaysQuit) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = PatternBytes(0, 5000, 4);
    server.AddFile("/same.bin", content);
    TempDir dir;
    const std::string local = Local(dir, "same.bin", content);
    server.SetFileTimes(true);
    server.SetModified("/same.bin", LocalTime(local));
    UploadLog log;
    RunUpload(log, log.Param(server.Url("/same.bin"), local, UploadResume));
    EXPECT_TRUE(log.HasLog(std::string(kSameFileText) + ": /same.bin", LogInfo)) << log.Dump();
    EXPECT_EQ(server.CountCommands("PASV"), 0);
    EXPECT_EQ(server.CountCommands("PORT"), 0);
    EXPECT_EQ(server.CountCommands("STOR"), 0);
    EXPECT_EQ(server.CommandsOf(1).back(), "QUIT");
    EXPECT_TRUE(log.Complete()) << log.Dump();
    EXPECT_EQ(log.Count(TaskTransferStarted), 0);
    EXPECT_EQ(log.EndCount(), 5000);
}

TEST(UploadFake, AResumeOntoALargerRemoteFileFailsAtOnceAndLeavesItAlone) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string remote = PatternBytes(0, 12000, 5);
    server.AddFile("/big.bin", remote);
    TempDir dir;
    UploadLog log;
    RunUpload(log, log.Param(server.Url("/big.bin"), Local(dir, "big.bin", PatternBytes(0, 10000, 5)),
                             UploadResume));
    EXPECT_TRUE(log.Failed());
    EXPECT_TRUE(log.HasLog(RemoteLargerText(12000, 10000) + ": /big.bin", LogError)) << log.Dump();
    EXPECT_EQ(server.ConnectionCount(), 1);  // no retry
    EXPECT_EQ(server.CountCommands("STOR"), 0);
    EXPECT_EQ(server.FileContents("/big.bin").value_or(""), remote);
    EXPECT_FALSE(log.HasLogStarting("等待", LogInfo));
}

TEST(UploadFake, StorRefusedFailsWithoutRetry) {
    for (const char* reply : {"550 Permission denied.\r\n", "553 Could not create file.\r\n"}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.Reply("STOR", reply);
        TempDir dir;
        UploadLog log;
        RunUpload(log, log.Param(server.Url("/x.bin"), Local(dir, "x.bin", "data")));
        EXPECT_TRUE(log.Failed()) << reply;
        EXPECT_TRUE(log.HasLog("不支持的响应", LogError)) << log.Dump();
        EXPECT_EQ(server.ConnectionCount(), 1) << reply;
        EXPECT_EQ(log.Count(TaskTransferStarted), 0);
        EXPECT_FALSE(server.FileContents("/x.bin").has_value());
    }
}

TEST(UploadFake, TheBlockSizeOverrideSendsOneBlockASecond) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = PatternBytes(0, 6144, 1);
    TempDir dir;
    UploadLog log;
    TaskParam param = log.Param(server.Url("/slow.bin"), Local(dir, "slow.bin", content));
    param.blockSizeOverride = 2048;
    auto began = std::chrono::steady_clock::now();
    RunUpload(log, param);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_EQ(server.FileContents("/slow.bin").value_or(""), content);
    EXPECT_TRUE(log.Complete()) << log.Dump();
    // At most one block a second: a ratio of the rate to the block, not a deadline.
    EXPECT_LT(6144.0 / seconds / 2048.0, 1.5) << seconds << " s";
    EXPECT_EQ(log.Largest(TaskBytesSent), 2048);
    EXPECT_EQ(log.Count(TaskBytesSent), 3);
}

TEST(UploadFake, ShortSendsLoseNoByte) {
    // A slow reader keeps the socket full, so most sends take only part of a
    // 1 MiB block; what they report is what counts.
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TransferFaults slow;
    slow.chunkBytes = 16384;
    slow.chunkDelayMs = 1;
    server.SetFaults("/short.bin", slow);
    std::string content = PatternBytes(0, 6 << 20, 9);
    TempDir dir;
    UploadLog log;
    TaskParam param = log.Param(server.Url("/short.bin"), Local(dir, "short.bin", content));
    param.uploadBlockSize = 1 << 20;
    RunUpload(log, param);
    EXPECT_TRUE(log.Complete()) << log.Dump();
    EXPECT_EQ(testsupport::Sha256Hex(server.FileContents("/short.bin").value_or("")),
              testsupport::Sha256Hex(content));
    EXPECT_EQ(log.Sum(TaskBytesSent), 6 << 20);
}

TEST(UploadFake, AnEmptyFileBecomesAnEmptyRemoteFile) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.AddFile("/empty", "old content");  // replaced, not kept
    TempDir dir;
    UploadLog log;
    RunUpload(log, log.Param(server.Url("/empty"), Local(dir, "empty", "")));
    EXPECT_EQ(server.FileContents("/empty").value_or("<none>"), "");
    EXPECT_TRUE(log.Complete()) << log.Dump();
    EXPECT_EQ(log.Values(TaskTransferStarted), std::vector<std::int64_t>{0});
    EXPECT_EQ(log.EndCount(), 0);
}

TEST(UploadFake, TheLocalFileIsOpenedReadOnlyAndNeverChanged) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.SilentOn("STOR");  // holds the task while the test looks at its descriptors
    std::string content = PatternBytes(0, 30000, 2);
    TempDir dir;
    std::string path = Local(dir, "ro.bin", content);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    UploadLog log;
    Download upload;
    TaskParam param = log.Param(server.Url("/ro.bin"), path);
    param.replyTimeout = 600000;
    ASSERT_TRUE(upload.StartUpload(param));
    ASSERT_TRUE(server.WaitForCommand("STOR", std::chrono::seconds(10)));

    // Root may write any file, so the mode bits prove nothing here: look at
    // how the process holds the file.
    int holders = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) != path) continue;
        ++holders;
        std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
        std::string key;
        std::string flags;
        while (info >> key >> flags && key != "flags:") {
        }
        ASSERT_EQ(key, "flags:");
        EXPECT_EQ(std::stoi(flags, nullptr, 8) & O_ACCMODE, O_RDONLY) << flags;
    }
    EXPECT_EQ(holders, 1);
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) EXPECT_EQ(line.find(path), std::string::npos) << line;
    upload.StopTask();
    ASSERT_TRUE(log.WaitEnded());

    server.ClearRules();
    UploadLog second;
    RunUpload(second, second.Param(server.Url("/ro.bin"), path));
    EXPECT_TRUE(second.Complete()) << second.Dump();
    EXPECT_EQ(server.FileContents("/ro.bin").value_or(""), content);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mode & 07777, 0444u);
    EXPECT_EQ(testsupport::ReadFile(path).value_or(""), content);
}

TEST(UploadFake, ALocalFileThatCannotBeReadFailsAtOnceWithoutTouchingTheServer) {
    TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(::symlink(dir.file("gone").c_str(), dir.file("dangling").c_str()), 0);
    for (const std::string& path : {dir.file("missing.bin"), dir.Path(), fifo, dir.file("dangling")}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        UploadLog log;
        RunUpload(log, log.Param(server.Url("/x.bin"), path));
        EXPECT_TRUE(log.HasLog("打开文件失败，请检查磁盘是否存在 " + path + " 这个文件", LogError))
            << path << "\n"
            << log.Dump();
        EXPECT_TRUE(log.Failed()) << path;
        EXPECT_EQ(log.Count(TaskTransferStarted), 0) << path;  // no "remaining" figure at all
        EXPECT_EQ(log.EndCount(), 0) << path;
        EXPECT_EQ(server.ConnectionCount(), 0) << path;
    }
}

TEST(UploadFake, ARemotePathThatWouldBreakTheCommandIsRefusedBeforeConnecting) {
    TempDir dir;
    std::string local = Local(dir, "a.bin", "abc");
    for (const std::string& path : {std::string("/a%0D%0ADELE x"), std::string("/a%0Ab"),
                                    std::string("/a%00b"), "/" + std::string(1020, 'n')}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        UploadLog log;
        RunUpload(log, log.Param(server.Url(path), local));
        EXPECT_TRUE(log.Failed()) << path;
        EXPECT_TRUE(log.HasLog("远程文件路径含有回车、换行或空字符, 或者过长, 不能上传", LogError))
            << log.Dump();
        EXPECT_EQ(server.ConnectionCount(), 0);
    }
}

// Each way a server can take less than the file, or not confirm it.
TEST(UploadFake, AnUploadTheServerDidNotTakeWholeIsNeverComplete) {
    std::string content = PatternBytes(0, 200000, 8);
    struct Case {
        const char* label;
        TransferFaults faults;
        bool sizeRefused;
        const char* logLine;  // an error line that must be there
    };
    auto faults = [](std::int64_t dropAfter, std::string reply, bool silent = false) {
        TransferFaults f;
        f.dropAfterBytes = dropAfter;
        f.storeReply = std::move(reply);
        f.storeReplySilent = silent;
        return f;
    };
    const Case cases[] = {
        {"552 at the end", faults(-1, "552 Requested file action aborted: disk full.\r\n"), false,
         "服务器没有确认上传成功: 552 Requested file action aborted: disk full."},
        {"451 at the end", faults(-1, "451 Local error in processing.\r\n"), false,
         "服务器没有确认上传成功: 451 Local error in processing."},
        {"452 at the end", faults(-1, "452 Insufficient storage.\r\n"), false,
         "服务器没有确认上传成功: 452 Insufficient storage."},
        {"no final reply", faults(-1, "", true), false, "获得返回命令失败"},
        {"early close, then 226", faults(1000, "226 Transfer complete.\r\n"), false, nullptr},
        {"early close, then 226, no SIZE", faults(1000, "226 Transfer complete.\r\n"), true, nullptr},
        {"early close, then 426", faults(1000, ""), false, nullptr},
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.SetFaults("/d.bin", c.faults);
        if (c.sizeRefused) server.Reply("SIZE", "502 SIZE not implemented.\r\n");
        TempDir dir;
        UploadLog log;
        TaskParam param = log.Param(server.Url("/d.bin"), Local(dir, "d.bin", content));
        param.replyTimeout = 1500;
        RunUpload(log, param);
        EXPECT_TRUE(log.Failed()) << c.label << "\n" << log.Dump();
        if (c.logLine) {
            EXPECT_TRUE(log.HasLog(c.logLine, LogError)) << c.label << "\n" << log.Dump();
        }
        EXPECT_EQ(server.ConnectionCount(), 1) << c.label;  // a failure after the opening is final
    }
}

TEST(UploadFake, ADataConnectionDroppedOrResetMidFileIsASendError) {
    // Larger than every socket buffer on the way, so the sends themselves fail.
    std::string content = PatternBytes(0, 48 << 20, 6);
    for (bool reset : {false, true}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        TransferFaults drop;
        drop.dropAfterBytes = 1 << 20;
        drop.resetOnDrop = reset;
        drop.storeReply = "226 Transfer complete.\r\n";  // and claims success
        server.SetFaults("/m.bin", drop);
        server.Reply("SIZE", "502 SIZE not implemented.\r\n");
        TempDir dir;
        UploadLog log;
        RunUpload(log, log.Param(server.Url("/m.bin"), Local(dir, "m.bin", content)));
        EXPECT_TRUE(log.Failed()) << log.Dump();
        EXPECT_TRUE(log.HasLog("上传出现异常", LogError)) << log.Dump();
        EXPECT_LT(log.Sum(TaskBytesSent), static_cast<std::int64_t>(content.size()));
        EXPECT_EQ(server.FileContents("/m.bin").value_or("").size(), std::size_t{1} << 20);
    }
}

TEST(UploadFake, AStalledDataConnectionFailsAfterTheSendTimeOut) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TransferFaults stall;
    stall.stallAfterBytes = 100000;
    server.SetFaults("/s.bin", stall);
    TempDir dir;
    UploadLog log;
    TaskParam param = log.Param(server.Url("/s.bin"), Local(dir, "s.bin", PatternBytes(0, 40 << 20, 1)));
    param.sendTimeout = 300;
    RunUpload(log, param);
    EXPECT_TRUE(log.Failed());
    EXPECT_TRUE(log.HasLog("上传出现异常", LogError)) << log.Dump();
}

TEST(UploadFake, ASlowReaderIsNotAFailedUpload) {
    // The server reads 16 KiB every 20 ms through a small receive buffer:
    // when the last send returns, most of the file still waits in our send
    // queue, far longer than the reply time-out. The wait for the final
    // reply starts once the server has taken the last byte.
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TransferFaults slow;
    slow.chunkBytes = 16384;
    slow.chunkDelayMs = 20;
    slow.receiveBuffer = 32768;
    server.SetFaults("/slow.bin", slow);
    const std::string content = PatternBytes(0, 3 << 20, 21);
    TempDir dir;
    UploadLog log;
    TaskParam param = log.Param(server.Url("/slow.bin"), Local(dir, "slow.bin", content));
    param.sendTimeout = 400;
    param.replyTimeout = 400;
    RunUpload(log, param);
    EXPECT_TRUE(log.Complete()) << log.Dump();
    EXPECT_EQ(server.FileContents("/slow.bin").value_or("").size(), content.size());
}

TEST(UploadFake, TheRemoteFileIsContinuedOrSkippedOnlyOnProof) {
    // A 100 KiB local file (two read-back ranges of 64 KiB) and a remote
    // file of the same name in the states an update meets.
    const std::string local = PatternBytes(0, 100 << 10, 31);
    std::string editedStart = local.substr(0, 80 << 10);
    editedStart[10] ^= 1;
    std::string editedEnd = local.substr(0, 80 << 10);
    editedEnd[(80 << 10) - 5] ^= 1;
    std::string sameSizeOther = local;
    sameSizeOther[500] ^= 1;
    enum class Stamp { Newer, Older, LocalTime };
    enum class Outcome { Resumed, Replaced, Skipped, Refused };
    const struct Case {
        const char* label;
        std::string remote;
        Stamp stamp;
        int flags;
        Outcome outcome;
    } cases[] = {
        {"a half-sent copy", local.substr(0, 80 << 10), Stamp::Newer, UploadUpdate, Outcome::Resumed},
        {"a half-sent copy, put -r", local.substr(0, 80 << 10), Stamp::Newer, UploadResume, Outcome::Resumed},
        {"an older shorter version", local.substr(0, 80 << 10), Stamp::Older, UploadUpdate,
         Outcome::Replaced},
        {"an older shorter version, put -r", local.substr(0, 80 << 10), Stamp::Older, UploadResume,
         Outcome::Refused},
        {"edited at the start", editedStart, Stamp::Newer, UploadUpdate, Outcome::Replaced},
        {"edited near the end", editedEnd, Stamp::Newer, UploadUpdate, Outcome::Replaced},
        {"edited near the end, put -r", editedEnd, Stamp::Newer, UploadResume, Outcome::Refused},
        {"the same file our upload stamped", local, Stamp::LocalTime, UploadUpdate, Outcome::Skipped},
        {"same size, other time", sameSizeOther, Stamp::Newer, UploadUpdate, Outcome::Replaced},
        {"same size, other time, put -r", sameSizeOther, Stamp::Newer, UploadResume, Outcome::Refused},
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/p.bin", c.remote);
        TempDir dir;
        const std::string path = Local(dir, "p.bin", local);
        server.SetFileTimes(true);
        server.SetModified("/p.bin", c.stamp == Stamp::Newer   ? kAfterLocal
                                     : c.stamp == Stamp::Older ? "20200101000000"
                                                               : LocalTime(path));
        UploadLog log;
        RunUpload(log, log.Param(server.Url("/p.bin"), path, c.flags));
        const std::string now = server.FileContents("/p.bin").value_or("");
        const std::int64_t sent = log.Sum(TaskBytesSent);
        const std::int64_t kept = static_cast<std::int64_t>(c.remote.size());
        switch (c.outcome) {
            case Outcome::Resumed:
                EXPECT_TRUE(log.HasLog(std::string(kResumeProvenText) + ": /p.bin", LogInfo)) << c.label;
                EXPECT_EQ(sent, static_cast<std::int64_t>(local.size()) - kept) << c.label;
                break;
            case Outcome::Replaced:
                EXPECT_TRUE(log.HasLog(std::string(kReplaceText) + ": /p.bin", LogInfo)) << c.label;
                EXPECT_EQ(sent, static_cast<std::int64_t>(local.size())) << c.label;
                break;
            case Outcome::Skipped:
                EXPECT_TRUE(log.HasLog(std::string(kSameFileText) + ": /p.bin", LogInfo)) << c.label;
                EXPECT_EQ(server.CountCommands("STOR"), 0) << c.label;
                break;
            case Outcome::Refused:
                EXPECT_TRUE(log.Failed()) << c.label;
                EXPECT_TRUE(log.HasLogStarting("不能续传", LogError)) << c.label << "\n" << log.Dump();
                EXPECT_EQ(server.CountCommands("STOR") + server.CountCommands("APPE"), 0) << c.label;
                EXPECT_EQ(now, c.remote) << c.label;
                continue;
        }
        EXPECT_TRUE(log.Complete()) << c.label << "\n" << log.Dump();
        EXPECT_EQ(now, local) << c.label;
    }
}

TEST(UploadFake, AnUploadStampsTheFileSoThatTheNextOneOfTheSameFileSendsNothing) {
    // With MFMT (listed in FEAT), with vsftpd's MDTM form, and with neither:
    // then the second upload sends the file again, which is slower but never wrong.
    enum class Setter { Mfmt, MdtmForm, None };
    for (Setter setter : {Setter::Mfmt, Setter::MdtmForm, Setter::None}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.SetFileTimes(true);
        if (setter != Setter::Mfmt) server.Reply("FEAT", "211-Features:\r\n SIZE\r\n MDTM\r\n211 End\r\n");
        if (setter == Setter::None) server.Reply("MFMT", "500 Unknown command.\r\n");
        if (setter == Setter::None) {
            // pyftpdlib reads the MDTM form as a query for a file named "digits path".
            server.On("MDTM", Action::Reply("550 No such file.\r\n"));
        }
        const std::string content = PatternBytes(0, 5000, 41);
        TempDir dir;
        const std::string path = Local(dir, "t.bin", content);
        for (int round = 0; round < 2; ++round) {
            UploadLog log;
            RunUpload(log, log.Param(server.Url("/t.bin"), path, UploadUpdate));
            EXPECT_TRUE(log.Complete()) << log.Dump();
        }
        const int label = static_cast<int>(setter);
        EXPECT_EQ(server.FileContents("/t.bin").value_or(""), content) << label;
        EXPECT_EQ(server.CountCommands("STOR"), setter == Setter::None ? 2 : 1)
            << label << server.Transcript();
        if (setter != Setter::None) {
            EXPECT_EQ(server.Modified("/t.bin").value_or(""), LocalTime(path)) << label;
        }
        EXPECT_EQ(server.CountCommands("MFMT"), setter == Setter::Mfmt ? 1 : 0) << label;
    }
}

TEST(UploadFake, AnotherNameIsChosenOnlyWhenTheServerCanSayTheFileIsThere) {
    struct Case {
        const char* sizeReply;  // instead of the real SIZE answer
        bool fileTimes;         // MDTM answers
        bool stored;            // the upload went ahead (under another name)
    } cases[] = {
        {"502 SIZE not implemented.\r\n", true, true},    // MDTM tells
        {"502 SIZE not implemented.\r\n", false, false},  // nobody tells: never guess
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/d/a.txt", "old");
        server.SetFileTimes(c.fileTimes);
        server.Reply("SIZE", c.sizeReply);
        TempDir dir;
        UploadLog log;
        RunUpload(log, log.Param(server.Url("/d/a.txt"), Local(dir, "a.txt", "new"), UploadAlternativeName));
        EXPECT_EQ(server.FileContents("/d/a.txt").value_or(""), "old") << server.Transcript();
        EXPECT_EQ(log.Complete(), c.stored) << log.Dump();
        if (!c.stored) {
            EXPECT_TRUE(log.HasLogStarting(kExistenceUnknownText, LogError)) << log.Dump();
        }
    }
}

TEST(UploadFake, ALocalFileThatChangesDuringTheUploadIsNeverComplete) {
    std::string content = PatternBytes(0, 8192, 4);
    for (bool shrink : {true, false}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        TempDir dir;
        std::string path = Local(dir, "grow.bin", content);
        UploadLog log;
        TaskParam param = log.Param(server.Url("/grow.bin"), path);
        param.blockSizeOverride = 4096;  // one block a second: time to change the file
        Download upload;
        ASSERT_TRUE(upload.StartUpload(param));
        ASSERT_TRUE(log.WaitFor([&] { return log.Sum(TaskBytesSent) > 0; })) << log.Dump();
        if (shrink) {
            ASSERT_EQ(::truncate(path.c_str(), 5000), 0);
        } else {
            std::ofstream(path, std::ios::app) << "more";
        }
        ASSERT_TRUE(log.WaitEnded());
        EXPECT_TRUE(log.Failed()) << (shrink ? "shrink" : "grow") << "\n" << log.Dump();
        EXPECT_TRUE(log.HasLog("本地文件在上传过程中发生了变化, 上传的文件不完整", LogError)) << log.Dump();
    }
}

// A server that refuses to store at a restart position: APPE where the server
// has it, a send from 0 where it does not; either way the file is whole.
TEST(UploadFake, ARefusedRestartFallsBackToAppeOrToAFreshUpload) {
    std::string content = PatternBytes(0, 10000, 12);
    struct Case {
        const char* label;
        bool storeRestart;     // false: STOR after REST 4000 gets 451 (proftpd's default)
        const char* restRule;  // a reply to "REST 4000" instead of 350
        bool appeRefused;
        const char* resumedBy;  // the command that carried the data
        std::int64_t toSend;
    } cases[] = {
        {"STOR after REST refused", false, nullptr, false, "APPE /f.bin", 6000},
        {"REST 4000 refused", true, "502 REST not implemented.\r\n", false, "APPE /f.bin", 6000},
        {"STOR after REST and APPE refused", false, nullptr, true, "STOR /f.bin", 10000},
        {"REST 4000 and APPE refused", true, "502 REST not implemented.\r\n", true, "STOR /f.bin", 10000},
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/f.bin", content.substr(0, 4000));
        StampNewer(server, "/f.bin");
        server.SetStoreRestartAllowed(c.storeRestart);
        if (c.restRule) server.Reply("REST 4000", c.restRule);
        if (c.appeRefused) server.Reply("APPE", "502 Command not implemented.\r\n");
        TempDir dir;
        UploadLog log;
        RunUpload(log, log.Param(server.Url("/f.bin"), Local(dir, "f.bin", content), UploadResume));
        EXPECT_TRUE(log.Complete()) << c.label << "\n" << log.Dump();
        EXPECT_EQ(server.FileContents("/f.bin").value_or(""), content) << c.label << "\n"
                                                                       << server.Transcript();
        EXPECT_EQ(log.Values(TaskTransferStarted), std::vector<std::int64_t>{c.toSend}) << c.label;
        EXPECT_EQ(log.EndCount(), 10000) << c.label;
        std::vector<std::string> commands = server.CommandsOf(1);
        EXPECT_TRUE(Has(commands, c.resumedBy)) << c.label << "\n" << server.Transcript();
        EXPECT_TRUE(log.HasLog("服务器不接受续传位置, 改用APPE续传", LogError)) << c.label;
        // The request that carried the data followed a REST 0: no marker of
        // the refused restart was left for it.
        auto carried = std::find(commands.rbegin(), commands.rend(), c.resumedBy);
        ASSERT_NE(carried, commands.rend());
        EXPECT_EQ(*(carried + 1), "REST 0") << c.label << "\n" << server.Transcript();
    }
}

TEST(UploadFake, AnAppendOntoAFileThatChangedSinceItsSizeIsCaughtBySize) {
    // The first SIZE says 3000 while the file holds 4000 (another client
    // wrote meanwhile); the restart is refused and APPE appends at 4000.
    // The server calls it a success: only the size check can tell.
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    std::string content = PatternBytes(0, 10000, 13);
    server.AddFile("/g.bin", content.substr(0, 4000));
    StampNewer(server, "/g.bin");
    server.SetStoreRestartAllowed(false);
    server.ReplyNext("SIZE /g.bin", {"213 3000\r\n"});
    TempDir dir;
    UploadLog log;
    RunUpload(log, log.Param(server.Url("/g.bin"), Local(dir, "g.bin", content), UploadResume));
    EXPECT_TRUE(log.Failed()) << log.Dump();
    EXPECT_TRUE(log.HasLog("上传后服务器上的文件为11000字节, 本地文件为10000字节", LogError)) << log.Dump();
    EXPECT_EQ(server.CountCommands("APPE"), 1) << server.Transcript();
}

TEST(UploadFake, TheQuestionIsAskedOnceTheRemoteSizeIsKnownAndItsAnswerDecides) {
    std::string content = PatternBytes(0, 3000, 14);
    struct Case {
        int answer;
        std::string storedAs;   // where the data went; empty: nowhere
        std::string remoteNow;  // what /q.bin holds afterwards
    } cases[] = {
        {UploadResume, "/q.bin", content},
        {UploadReplace, "/q.bin", content},
        {0, "/q.bin", content},
        {UploadSkip, "", content.substr(0, 1000)},
        {UploadAlternativeName, "/q(1).bin", content.substr(0, 1000)},
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/q.bin", content.substr(0, 1000));
        StampNewer(server, "/q.bin");
        TempDir dir;
        UploadLog log;
        log.SetAnswer(c.answer);
        RunUpload(log,
                  log.Param(server.Url("/q.bin"), Local(dir, "q.bin", content), UploadAsk | UploadReplace));
        ASSERT_EQ(log.Questions().size(), 1u) << c.answer;
        EXPECT_EQ(log.Questions()[0], std::make_pair(std::int64_t{1000}, std::int64_t{3000}));
        EXPECT_TRUE(log.Complete()) << c.answer << "\n" << log.Dump();
        EXPECT_EQ(server.FileContents("/q.bin").value_or(""), c.remoteNow) << c.answer;
        if (c.storedAs.empty()) {
            EXPECT_EQ(server.CountCommands("STOR"), 0);
        } else {
            EXPECT_EQ(server.FileContents(c.storedAs).value_or(""), content) << c.answer;
        }
        EXPECT_EQ(server.CountCommands("REST 1000"), c.answer == UploadResume ? 1 : 0) << c.answer;
    }

    // No question without a remote file, for an empty one, or without the flag.
    for (const auto& [remote, flags] : std::vector<std::pair<std::optional<std::string>, int>>{
             {std::nullopt, UploadAsk}, {std::string(), UploadAsk}, {std::string("x"), UploadReplace}}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        if (remote) server.AddFile("/n.bin", *remote);
        TempDir dir;
        UploadLog log;
        RunUpload(log, log.Param(server.Url("/n.bin"), Local(dir, "n.bin", content), flags));
        EXPECT_TRUE(log.Questions().empty());
        EXPECT_EQ(server.FileContents("/n.bin").value_or(""), content);
    }
}

TEST(UploadFake, TheAlternativeNameIsTheGivenOneOrTheNextFreeName) {
    std::string content = "new bytes";
    {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/d/a.txt", "old");
        server.AddFile("/d/a(1).txt", "older");
        TempDir dir;
        UploadLog log;
        RunUpload(log,
                  log.Param(server.Url("/d/a.txt"), Local(dir, "a.txt", content), UploadAlternativeName));
        EXPECT_TRUE(log.Complete()) << log.Dump();
        EXPECT_EQ(server.FileContents("/d/a(2).txt").value_or(""), content);
        EXPECT_EQ(server.FileContents("/d/a.txt").value_or(""), "old");
        EXPECT_EQ(server.FileContents("/d/a(1).txt").value_or(""), "older");
    }
    {  // member 16 names it
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/d/a.txt", "old");
        TempDir dir;
        UploadLog log;
        TaskParam param =
            log.Param(server.Url("/d/a.txt"), Local(dir, "a.txt", content), UploadAlternativeName);
        param.workerText = "a-copy.txt";
        RunUpload(log, param);
        EXPECT_TRUE(log.Complete()) << log.Dump();
        EXPECT_EQ(server.FileContents("/d/a-copy.txt").value_or(""), content);
        EXPECT_EQ(server.FileContents("/d/a.txt").value_or(""), "old");
    }
    {  // a server that cannot say whether a name is free: nothing is overwritten
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/d/a.txt", "old");
        server.AddFile("/d/a(1).txt", "older");
        server.Reply("SIZE /d/a(1).txt", "500 Try again.\r\n");
        TempDir dir;
        UploadLog log;
        RunUpload(log,
                  log.Param(server.Url("/d/a.txt"), Local(dir, "a.txt", content), UploadAlternativeName));
        EXPECT_TRUE(log.Failed());
        EXPECT_TRUE(log.HasLog("服务器上找不到可用的新文件名", LogError)) << log.Dump();
        EXPECT_EQ(server.CountCommands("STOR"), 0);
    }
}

TEST(UploadFake, WithoutRestartSupportAnUpdateGoesUpFromZeroAndAResumeChangesNothing) {
    // Without REST nothing can be read back: the remote part is never proven.
    for (auto mode : {testsupport::RestMode::Refused, testsupport::RestMode::NoRestartWord}) {
        for (int flags : {UploadUpdate, UploadResume}) {
            FakeFtpServer server;
            ASSERT_TRUE(server.ok());
            server.SetRestMode(mode);
            std::string content = PatternBytes(0, 7000, 15);
            server.AddFile("/n.bin", content.substr(0, 3000));
            StampNewer(server, "/n.bin");
            TempDir dir;
            UploadLog log;
            RunUpload(log, log.Param(server.Url("/n.bin"), Local(dir, "n.bin", content), flags));
            EXPECT_TRUE(log.HasLog("站点不支持断点续传", LogError));
            if (flags == UploadResume) {
                EXPECT_TRUE(log.Failed()) << log.Dump();
                EXPECT_TRUE(log.HasLog(std::string(kResumeRefusedText) + ": /n.bin", LogError)) << log.Dump();
                EXPECT_EQ(server.FileContents("/n.bin").value_or(""), content.substr(0, 3000));
                EXPECT_EQ(server.CountCommands("STOR") + server.CountCommands("APPE"), 0);
                continue;
            }
            EXPECT_TRUE(log.Complete()) << log.Dump();
            EXPECT_TRUE(log.HasLog(std::string(kReplaceText) + ": /n.bin", LogInfo)) << log.Dump();
            EXPECT_EQ(server.FileContents("/n.bin").value_or(""), content);
            EXPECT_EQ(log.Values(TaskTransferStarted), std::vector<std::int64_t>{7000});
            // A 350 left a marker at 100: REST 0 clears it before anything is stored.
            std::vector<std::string> commands = server.CommandsOf(1);
            auto stor = std::find(commands.begin(), commands.end(), "STOR /n.bin");
            ASSERT_NE(stor, commands.end());
            EXPECT_EQ(*(stor - 1), "REST 0") << server.Transcript();
        }
    }
}

TEST(UploadFake, ActiveModeAndAsciiTypeKeepTheirPlaces) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.Reply("PASV", "502 PASV not allowed.\r\n");
    TempDir dir;
    UploadLog log;
    TaskParam param = log.Param(server.Url("/t.txt"), Local(dir, "t.txt", "line one\r\nline two\r\n"));
    param.transferTypeMode = 2;
    RunUpload(log, param);
    EXPECT_TRUE(log.Complete()) << log.Dump();
    std::vector<std::string> commands = server.CommandsOf(1);
    auto port = std::find_if(commands.begin(), commands.end(),
                             [](const auto& c) { return c.rfind("PORT ", 0) == 0; });
    auto typeA = std::find(commands.begin(), commands.end(), "TYPE A");
    ASSERT_NE(port, commands.end()) << server.Transcript();
    ASSERT_NE(typeA, commands.end());
    EXPECT_LT(port, typeA);
    EXPECT_EQ(*(typeA + 2), "STOR /t.txt");
    EXPECT_EQ(server.FileContents("/t.txt").value_or(""), "line one\r\nline two\r\n");
    EXPECT_EQ(server.CountCommands("SIZE /t.txt"), 1);  // none after an ASCII transfer
}

TEST(UploadFake, TheOpeningIsRetriedAndNothingElseIs) {
    ShortRetryPause pause;
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    server.GreetNext({Action::Close(), Action::Reply("421 Too many users.\r\n")});
    std::string content = PatternBytes(0, 4000, 16);
    TempDir dir;
    UploadLog log;
    RunUpload(log, log.Param(server.Url("/o.bin"), Local(dir, "o.bin", content)));
    EXPECT_TRUE(log.Complete()) << log.Dump();
    EXPECT_EQ(server.ConnectionCount(), 3);
    EXPECT_TRUE(log.HasLog("无法得到欢迎消息", LogError));
    EXPECT_EQ(server.FileContents("/o.bin").value_or(""), content);
}

// A stop ends the task in every state although every wait it could be in
// would last ten minutes, and a stopped upload is never complete.
TEST(UploadFake, AStopEndsTheUploadInEveryStateAndIsNotASuccess) {
    ShortRetryPause pause(600000);
    struct Case {
        const char* label;
        std::function<void(FakeFtpServer&)> setUp;
        std::string waitFor;  // the command the server has seen when the stop comes
    };
    const Case cases[] = {
        {"greeting", [](FakeFtpServer& s) { s.GreetWith(Action::Silence()); }, ""},
        {"log-in", [](FakeFtpServer& s) { s.SilentOn("USER"); }, "USER"},
        {"restart probe", [](FakeFtpServer& s) { s.SilentOn("REST 100"); }, "REST 100"},
        {"SIZE", [](FakeFtpServer& s) { s.SilentOn("SIZE"); }, "SIZE"},
        {"PASV", [](FakeFtpServer& s) { s.SilentOn("PASV"); }, "PASV"},
        {"STOR", [](FakeFtpServer& s) { s.SilentOn("STOR"); }, "STOR"},
        {"sending",
         [](FakeFtpServer& s) {
             TransferFaults stall;
             stall.stallAfterBytes = 0;
             s.SetFaults("/p.bin", stall);
         },
         "STOR"},
        {"final reply",
         [](FakeFtpServer& s) {
             TransferFaults silent;
             silent.storeReplySilent = true;
             s.SetFaults("/p.bin", silent);
         },
         "STOR"},
        {"retry pause", [](FakeFtpServer& s) { s.GreetWith(Action::Reply("421 Busy.\r\n")); }, "retry"},
    };
    for (const Case& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        c.setUp(server);
        TempDir dir;
        UploadLog log;
        // Larger than the socket buffers on the way only where the stop must
        // find the worker waiting for room to send.
        std::size_t size = std::string(c.label) == "sending" ? 16 << 20 : 4096;
        TaskParam param = log.Param(server.Url("/p.bin"), Local(dir, "p.bin", PatternBytes(0, size, 3)));
        param.connectTimeout = param.sendTimeout = param.replyTimeout = 600000;
        // StopTask waits this long for the worker: only a worker that sees
        // the stop by itself lets the test end in time.
        param.stopWait = 600000;
        Download upload;
        ASSERT_TRUE(upload.StartUpload(param));
        if (c.waitFor == "retry") {
            ASSERT_TRUE(log.WaitFor([&] { return log.HasLogStarting("等待", LogInfo); })) << c.label;
        } else if (!c.waitFor.empty()) {
            ASSERT_TRUE(server.WaitForCommand(c.waitFor, std::chrono::seconds(10))) << c.label;
        } else {
            ASSERT_TRUE(server.WaitForConnections(1, std::chrono::seconds(10)));
        }
        if (std::string(c.label) == "final reply") {
            ASSERT_TRUE(log.WaitFor([&] { return log.Sum(TaskBytesSent) == 4096; })) << log.Dump();
        }
        if (std::string(c.label) == "sending") {
            // Until the socket buffers are full and the worker waits for room.
            ASSERT_TRUE(log.WaitFor([&] { return log.Sum(TaskBytesSent) > 0; })) << log.Dump();
            std::int64_t last = -1;
            for (int i = 0; i < 100 && upload.GetBytesDone() != last; ++i) {
                last = upload.GetBytesDone();
                std::this_thread::sleep_for(milliseconds(100));
            }
            EXPECT_EQ(upload.GetBytesDone(), last);
        }
        upload.StopTask();
        EXPECT_TRUE(upload.IsIdle()) << c.label;
        ASSERT_TRUE(log.WaitEnded(std::chrono::seconds(20))) << c.label << "\n" << log.Dump();
        EXPECT_TRUE(log.Failed()) << c.label << "\n" << log.Dump();
        EXPECT_EQ(log.Count(TaskEnded), 1);
        EXPECT_EQ(server.CountCommands("QUIT"), 0) << c.label;
        EXPECT_FALSE(log.HasLog("不支持的响应")) << c.label << ": a stop is no refusal";
    }
}

TEST(UploadFake, AStopInTheMiddleResetsTheDataConnectionAndAResumeCompletesTheFile) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TransferFaults slow;
    slow.chunkBytes = 8192;
    slow.chunkDelayMs = 5;
    server.SetFaults("/b.bin", slow);
    server.SetFileTimes(true);  // the broken STOR stamps the part with its own, later, time
    std::string content = PatternBytes(0, 4 << 20, 17);
    TempDir dir;
    std::string path = Local(dir, "b.bin", content);
    UploadLog log;
    Download upload;
    ASSERT_TRUE(upload.StartUpload(log.Param(server.Url("/b.bin"), path)));
    std::int64_t seen = 0;
    for (int i = 0; i < 3000 && seen < 200000; ++i) {
        seen = upload.GetBytesDone();
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_GE(seen, 200000);
    upload.StopTask();
    EXPECT_EQ(upload.GetBytesDone(), 0);  // no task is held any more
    ASSERT_TRUE(log.WaitEnded());
    EXPECT_TRUE(log.Failed()) << log.Dump();
    EXPECT_GE(log.EndCount(), seen);
    EXPECT_TRUE(log.HasLog("上传被停止, 服务器上的文件不完整", LogError)) << log.Dump();
    ASSERT_TRUE(server.WaitForAllClosed(std::chrono::seconds(10)));
    std::string partial = server.FileContents("/b.bin").value_or("");
    ASSERT_LT(partial.size(), content.size());
    EXPECT_EQ(partial, content.substr(0, partial.size()));
    EXPECT_TRUE(server.Transcript().find("QUIT") == std::string::npos);

    server.SetFaults("/b.bin", {});
    UploadLog resumed;
    RunUpload(resumed, resumed.Param(server.Url("/b.bin"), path, UploadResume));
    EXPECT_TRUE(resumed.Complete()) << resumed.Dump();
    EXPECT_EQ(resumed.Values(TaskTransferStarted),
              std::vector<std::int64_t>{static_cast<std::int64_t>(content.size() - partial.size())});
    EXPECT_EQ(testsupport::Sha256Hex(server.FileContents("/b.bin").value_or("")),
              testsupport::Sha256Hex(content));
}

TEST(UploadTask, TheTaskThreadRunsCodes19And20ThenEnds) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TempDir dir;
    UploadLog log;
    TaskParam param = log.Param(server.Url("/c.bin"), Local(dir, "c.bin", "abc"));
    TaskRunner task(CreateSession(param, TaskUse::Upload), RunFtpUploadWorker);
    task.RecordCodes(true);
    ASSERT_TRUE(task.Start());
    ASSERT_TRUE(log.WaitEnded());
    task.Join();
    std::vector<int> codes = task.HandledCodes();
    codes.erase(std::remove_if(codes.begin(), codes.end(),
                               [](int code) { return code == kTaskLog || code == kTaskForward; }),
                codes.end());
    EXPECT_EQ(codes,
              (std::vector<int>{kTaskStartUpload, kTaskStopFirst, kTaskEndTransfer, kTaskClose, kTaskQuit}));
    EXPECT_TRUE(task.Complete());
    EXPECT_EQ(server.FileContents("/c.bin").value_or(""), "abc");
}

TEST(UploadTask, UploadsAndDownloadsFollowEachOtherOnOneObject) {
    FakeFtpServer server;
    ASSERT_TRUE(server.ok());
    TempDir dir;
    Download client;
    for (int i = 0; i < 10; ++i) {
        std::string name = "/f" + std::to_string(i);
        std::string content =
            PatternBytes(0, static_cast<std::size_t>(i * 1000), static_cast<std::uint32_t>(i));
        UploadLog up;
        ASSERT_TRUE(client.StartUpload(up.Param(server.Url(name), Local(dir, name.substr(1), content)))) << i;
        ASSERT_TRUE(up.WaitEnded());
        EXPECT_TRUE(up.Complete()) << i;
        UploadLog down;  // the same callbacks serve a download
        ASSERT_TRUE(client.StartTask(down.Param(server.Url(name), dir.file("back" + std::to_string(i)))));
        ASSERT_TRUE(down.WaitEnded());
        EXPECT_EQ(testsupport::ReadFile(dir.file("back" + std::to_string(i))).value_or("<none>"), content)
            << i;
    }
}

// A local file beyond 4 GiB resumed onto a remote copy that lacks its last
// MiB: offsets, SIZE, REST, progress and totals must not wrap at 31 or 32
// bits. Both files are sparse, so only the last MiB is really sent.
TEST(UploadRealServer, AFileBeyondFourGibibytesResumesWhole) {
    TempDir root;
    TempDir local;
    const std::int64_t size = (5LL << 30) + 12345;
    const std::int64_t remoteHas = size - (1 << 20);
    std::string localPath = local.file("huge.bin");
    std::string remotePath = root.file("huge.bin");
    auto makeSparse = [&](const std::string& path, std::int64_t length) {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, length), 0);
        for (std::int64_t at : std::initializer_list<std::int64_t>{0, (1LL << 31) - 7, (1LL << 32) - 7,
                                                                   remoteHas - 50, size - 100}) {
            if (at >= length) continue;
            std::string mark =
                PatternBytes(at, static_cast<std::size_t>(std::min<std::int64_t>(100, length - at)), 99);
            ASSERT_EQ(::pwrite(fd, mark.data(), mark.size(), at), static_cast<ssize_t>(mark.size()));
        }
        ::close(fd);
    };
    makeSparse(localPath, size);
    makeSparse(remotePath, remoteHas);
    testsupport::RealServer server = testsupport::RealServer::StartPyftpd(root.Path(), "big", "pw");
    ASSERT_TRUE(server.ok()) << server.error();
    UploadLog log;
    TaskParam param = log.Param(server.Url("/huge.bin"), localPath, UploadResume);
    param.user = "big";
    param.password = "pw";
    RunUpload(log, param);
    EXPECT_TRUE(log.Complete()) << log.Dump();
    EXPECT_TRUE(log.HasLog("213 " + std::to_string(remoteHas), LogReply)) << log.Dump();
    EXPECT_TRUE(log.HasLog("REST " + std::to_string(remoteHas), LogCommand));
    EXPECT_TRUE(log.HasLog("213 " + std::to_string(size), LogReply));
    EXPECT_EQ(log.Values(TaskTransferStarted), std::vector<std::int64_t>{size - remoteHas});
    EXPECT_EQ(log.Sum(TaskBytesSent), size - remoteHas);
    EXPECT_EQ(log.EndCount(), size);
    EXPECT_EQ(testsupport::FileSize(remotePath), size);
    // Only the last MiB travelled; the marks and the region around the
    // restart position show it landed at the right place. (Reading both
    // 5 GiB files whole would take most of a minute.)
    auto region = [](const std::string& path, std::int64_t at, std::size_t length) {
        std::string bytes(length, '\0');
        int fd = ::open(path.c_str(), O_RDONLY);
        ssize_t n = fd < 0 ? -1 : ::pread(fd, bytes.data(), length, at);
        if (fd >= 0) ::close(fd);
        bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return bytes;
    };
    for (std::int64_t at : std::initializer_list<std::int64_t>{0, (1LL << 31) - 7, (1LL << 32) - 7}) {
        EXPECT_EQ(region(remotePath, at, 100), PatternBytes(at, 100, 99)) << at;
    }
    const std::int64_t tail = remoteHas - (1 << 20);
    std::string expected = region(localPath, tail, static_cast<std::size_t>(size - tail));
    ASSERT_EQ(static_cast<std::int64_t>(expected.size()), size - tail);
    EXPECT_EQ(testsupport::DescribeDifference(expected, region(remotePath, tail, expected.size())), "");
}

}  // namespace
}  // namespace downlib

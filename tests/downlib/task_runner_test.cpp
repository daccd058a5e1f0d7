// The task thread without a network: its queue, the segment table, the local
// file, and whole tasks run with scripted workers.
#include "downlib/task_runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "downlib/control_connection.h"
#include "support/callback_recorder.h"
#include "support/temp_dir.h"

namespace downlib {
namespace {

using std::chrono::milliseconds;

TaskMessage Message(int code, std::int64_t value = 0) {
    TaskMessage message;
    message.code = code;
    message.value1 = value;
    return message;
}

std::vector<int> Drain(TaskQueue& queue) {
    std::vector<int> values;
    while (auto message = queue.Take(milliseconds(0))) values.push_back(static_cast<int>(message->value1));
    return values;
}

TEST(TaskRunnerQueue, KeepsTheOrderOfPosts) {
    TaskQueue queue;
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(queue.Post(Message(kTaskForward, i)));
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i) expected[i] = i;
    EXPECT_EQ(Drain(queue), expected);
}

TEST(TaskRunnerQueue, ClosingLeavesOneQuitBehindTheQueuedMessagesAndDropsLaterPosts) {
    TaskQueue queue;
    ASSERT_TRUE(queue.Post(Message(kTaskLog, 1)));
    ASSERT_TRUE(queue.Post(Message(kTaskForward, 2)));
    queue.CloseWithQuit();
    EXPECT_FALSE(queue.IsOpen());
    EXPECT_FALSE(queue.Post(Message(kTaskLog, 3)));
    EXPECT_FALSE(queue.Post(Message(kTaskQuit)));
    std::vector<int> codes;
    while (auto message = queue.Take(milliseconds(0))) codes.push_back(message->code);
    EXPECT_EQ(codes, (std::vector<int>{kTaskLog, kTaskForward, kTaskQuit}));
}

TEST(TaskRunnerQueue, ShuttingDropsWhatIsQueued) {
    TaskQueue queue;
    queue.Post(Message(kTaskLog));
    queue.Shut();
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_FALSE(queue.Post(Message(kTaskLog)));
    queue.CloseWithQuit();  // a dead queue takes no quit either
    EXPECT_FALSE(queue.Take(milliseconds(0)).has_value());
}

TEST(TaskRunnerQueue, APostWakesAWaitingTake) {
    // The take waits far longer than the test may run: only the post's
    // notification can end it in time.
    TaskQueue queue;
    std::optional<TaskMessage> taken;
    std::thread taker([&] { taken = queue.Take(std::chrono::hours(1)); });
    std::this_thread::sleep_for(milliseconds(20));
    queue.Post(Message(kTaskForward, 42));
    taker.join();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->value1, 42);
}

TEST(TaskRunnerQueue, PostsFromManyThreadsKeepEachThreadsOrder) {
    TaskQueue queue;
    constexpr int kThreads = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) queue.Post(Message(kTaskForward, t * kEach + i));
        });
    }
    for (auto& poster : posters) poster.join();
    std::vector<int> last(kThreads, -1);
    int count = 0;
    for (int value : Drain(queue)) {
        int thread = value / kEach;
        EXPECT_GT(value, last[thread]);
        last[thread] = value;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kEach);
}

struct DivideCase {
    std::int64_t size;
    int count;
    std::vector<std::pair<std::int64_t, std::int64_t>> parts;  // start, length
};

TEST(TaskRunnerSegments, DividesTheFileWithTheRemainderInTheLastPart) {
    const DivideCase cases[] = {
        {10, 1, {{0, 10}}},
        {10, 3, {{0, 3}, {3, 3}, {6, 4}}},
        {0, 1, {{0, 0}}},
        {2, 4, {{0, 2}}},  // fewer bytes than parts: one part
        {5LL << 30, 2, {{0, 5LL << 29}, {5LL << 29, 5LL << 29}}},
        {(5LL << 30) + 1, 2, {{0, 5LL << 29}, {5LL << 29, (5LL << 29) + 1}}},
    };
    for (const DivideCase& c : cases) {
        SegmentTable table;
        table.Divide(c.size, c.count, nullptr);
        ASSERT_EQ(table.Count(), c.parts.size()) << c.size << "/" << c.count;
        for (std::size_t i = 0; i < c.parts.size(); ++i) {
            Segment segment = table.Get(static_cast<int>(i));
            EXPECT_EQ(segment.start, c.parts[i].first) << c.size << "/" << c.count << " part " << i;
            EXPECT_EQ(segment.length, c.parts[i].second) << c.size << "/" << c.count << " part " << i;
        }
        EXPECT_TRUE(table.Get(0).taken);
        EXPECT_EQ(table.AllComplete(), c.size == 0);
    }
}

TEST(TaskRunnerSegments, ContiguousBytesStopAtTheFirstGap) {
    struct Case {
        std::vector<std::int64_t> written;  // per part of a 300-byte file in three parts
        std::int64_t contiguous;
    } cases[] = {
        {{0, 0, 0}, 0},       {{50, 0, 0}, 50},      {{100, 0, 0}, 100},     {{100, 40, 0}, 140},
        {{50, 100, 100}, 50}, {{100, 100, 99}, 299}, {{100, 100, 100}, 300},
    };
    for (const Case& c : cases) {
        SegmentTable table;
        table.Divide(300, 3, nullptr);
        for (int i = 0; i < 3; ++i) table.AddWritten(i, c.written[i]);
        EXPECT_EQ(table.ContiguousFromStart(), c.contiguous) << c.written[0] << "," << c.written[1];
        EXPECT_EQ(table.AllComplete(), c.contiguous == 300);
    }
}

TEST(TaskRunnerSegments, TakesFreePartsThenSplitsTheLargestRest) {
    SegmentTable table;
    table.Divide(4 * kMinSegmentSize, 2, nullptr);
    EXPECT_EQ(table.TakeFree(nullptr), 1);
    EXPECT_FALSE(table.TakeFree(nullptr).has_value());
    table.AddWritten(1, kMinSegmentSize);  // segment 1 has half its bytes
    std::optional<int> split = table.Split(nullptr, kMinSegmentSize);
    ASSERT_EQ(split, 2);
    // Segment 0 had the most left (2 minimums): its rest is halved.
    EXPECT_EQ(table.Get(0).length, kMinSegmentSize);
    EXPECT_EQ(table.Get(2).start, kMinSegmentSize);
    EXPECT_EQ(table.Get(2).length, kMinSegmentSize);
    // Nothing has two minimums left any more.
    EXPECT_FALSE(table.Split(nullptr, kMinSegmentSize).has_value());
}

// Creates the file at `path` the way a task without a chosen folder does.
bool Create(LocalFile& file, const std::string& path, std::int64_t size) {
    std::optional<LocalTarget> target = OpenLocalTarget("", path);
    return target && file.Create(*target, path, size);
}

TEST(TaskRunnerLocalFile, ReservesTheSpaceWithoutShowingItAndRefusesAnExistingFileOrALink) {
    testsupport::TempDir dir;
    SegmentTable table;
    table.Divide(1 << 20, 1, nullptr);
    LocalFile file;
    ASSERT_TRUE(Create(file, dir.file("a.bin"), 1 << 20));
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("a.bin").c_str(), &info), 0);
    // The space is there, the size is not: a file left by a kill never looks whole.
    EXPECT_EQ(info.st_size, 0);
    EXPECT_GE(static_cast<std::int64_t>(info.st_blocks) * 512, 1 << 20);
    std::string bytes(1000, 'b');
    ASSERT_TRUE(file.Write(table, 0, bytes.data(), 1000));
    EXPECT_EQ(testsupport::FileSize(dir.file("a.bin")), 1000);

    LocalFile again;
    EXPECT_FALSE(Create(again, dir.file("a.bin"), 10));
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    EXPECT_FALSE(Create(again, dir.file("link"), 10));
    EXPECT_EQ(testsupport::FileSize(dir.file("target")), -1);  // the link was not followed
    EXPECT_FALSE(Create(again, dir.file("missing/a.bin"), 10));
}

// Space is reserved a step at a time ahead of what is written, whatever size
// was announced; a file that can never fit is refused at once.
TEST(TaskRunnerLocalFile, ReservesAStepAheadOfTheWrittenBytesNotTheStatedSize) {
    const std::int64_t step = kReserveStep;
    struct Case {
        std::int64_t stated;
        std::int64_t write;   // bytes written at 0
        std::int64_t atMost;  // reserved bytes at most afterwards
        std::int64_t atLeast;
    } cases[] = {
        {5000000000, 0, step, step},
        {5000000000, 1 << 20, (1 << 20) + step, step},
        {4096, 4096, 8192, 4096},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        SegmentTable table;
        table.Divide(c.stated, 1, nullptr);
        LocalFile file;
        ASSERT_TRUE(Create(file, dir.file("r.bin"), c.stated)) << c.stated;
        std::string bytes(static_cast<std::size_t>(c.write), 'r');
        if (c.write > 0) {
            ASSERT_TRUE(file.Write(table, 0, bytes.data(), c.write));
        }
        struct stat info {};
        ASSERT_EQ(::stat(dir.file("r.bin").c_str(), &info), 0);
        const std::int64_t reserved = static_cast<std::int64_t>(info.st_blocks) * 512;
        EXPECT_LE(reserved, c.atMost + (1 << 16)) << c.stated << " " << c.write;
        EXPECT_GE(reserved, c.atLeast) << c.stated << " " << c.write;
        EXPECT_EQ(info.st_size, c.write);
        file.Release(table);
        ASSERT_EQ(::stat(dir.file("r.bin").c_str(), &info), 0);
        EXPECT_LE(static_cast<std::int64_t>(info.st_blocks) * 512, c.write + (1 << 16));  // given back
    }
    testsupport::TempDir dir;
    LocalFile huge;
    EXPECT_FALSE(Create(huge, dir.file("huge.bin"), std::int64_t{1} << 60));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(testsupport::FileSize(dir.file("huge.bin")), -1);
}

TEST(TaskRunnerLocalFile, AnIncompleteFileIsCutToItsContiguousBytes) {
    testsupport::TempDir dir;
    SegmentTable table;
    table.Divide(300, 3, nullptr);
    LocalFile file;
    ASSERT_TRUE(Create(file, dir.file("cut.bin"), 300));
    std::string bytes(100, 'x');
    ASSERT_TRUE(file.Write(table, 0, bytes.data(), 100));
    ASSERT_TRUE(file.Write(table, 1, bytes.data(), 30));
    ASSERT_TRUE(file.Write(table, 2, bytes.data(), 100));
    EXPECT_FALSE(file.Write(table, 1, bytes.data(), 71));  // past the part's end
    EXPECT_EQ(file.Release(table), 130);
    EXPECT_EQ(testsupport::FileSize(dir.file("cut.bin")), 130);
    EXPECT_FALSE(file.Write(table, 1, bytes.data(), 10));  // released: writes fail
    EXPECT_EQ(file.Release(table), 130);
}

TEST(TaskRunnerLocalFile, ACompleteFileKeepsItsSizeAndAnEmptyOneIsCreated) {
    testsupport::TempDir dir;
    SegmentTable table;
    table.Divide(5, 1, nullptr);
    LocalFile file;
    ASSERT_TRUE(Create(file, dir.file("whole.bin"), 5));
    ASSERT_TRUE(file.Write(table, 0, "hello", 5));
    EXPECT_EQ(file.Release(table), 5);
    EXPECT_EQ(testsupport::ReadFile(dir.file("whole.bin")).value_or(""), "hello");

    SegmentTable empty;
    empty.Divide(0, 1, nullptr);
    LocalFile zero;
    ASSERT_TRUE(Create(zero, dir.file("zero.bin"), 0));
    EXPECT_EQ(zero.Release(empty), 0);
    EXPECT_EQ(testsupport::FileSize(dir.file("zero.bin")), 0);
}

// ---- Whole tasks with scripted workers

// A whole task of scripted workers: its callbacks record here.
struct Recorder : testsupport::CallbackRecorder {
    TaskParam Param() {
        TaskParam param;
        param.url = "ftp://127.0.0.1:1/file.bin";
        Attach(param);
        return param;
    }
};

std::unique_ptr<TransferSession> Session(const TaskParam& param) {
    auto session = CreateSession(param, TaskUse::Download);
    EXPECT_NE(session, nullptr);
    return session;
}

TEST(TaskRunnerTask, AnApplicationTaskRunsOneWorkerAndEndsWith18Then2Then1ThenEvent4) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    std::atomic<int> workersRun{0};
    TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection& connection) {
        ++workersRun;
        EXPECT_TRUE(connection.firstWorker);
        runner.PostEvent(connection, TaskWorkerStarted);
        EmitLog(connection, "working", LogInfo);
        runner.session().remoteSize = 5;
        runner.segments().Divide(5, 1, &connection);
        runner.PostEvent(connection, TaskWorkerDone, 5);
        runner.WorkerEnded();
    });
    task.RecordCodes(true);
    ASSERT_TRUE(task.Start());
    ASSERT_TRUE(recorder.WaitEnded());
    task.Join();

    std::vector<int> codes = task.HandledCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kTaskOpenWorker), 1);
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(std::vector<int>(codes.end() - 3, codes.end()),
              (std::vector<int>{kTaskEndTransfer, kTaskClose, kTaskQuit}));
    EXPECT_EQ(codes.front(), kTaskOpenWorker);
    EXPECT_EQ(workersRun.load(), 1);
    EXPECT_EQ(recorder.Codes(), (std::vector<int>{TaskWorkerStarted, TaskWorkerDone, TaskEnded}));
    EXPECT_EQ(recorder.Count(TaskEnded), 1);
    EXPECT_EQ(recorder.Messages(), std::vector<std::string>{"working"});
    EXPECT_TRUE(task.Finished());
}

TEST(TaskRunnerTask, ALogRecordPostedAfterTheQueueClosedIsDropped) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection&) { runner.WorkerEnded(); });
    ASSERT_TRUE(task.Start());
    ASSERT_TRUE(recorder.WaitEnded());
    task.Join();
    SessionConnection late(task.session());
    EmitLog(late, "too late", LogInfo);  // goes to the closed queue
    EXPECT_TRUE(recorder.Messages().empty());
    EXPECT_EQ(recorder.Count(TaskEnded), 1);
}

TEST(TaskRunnerTask, StopEndsAWorkerThatWatchesItsRunFlagAndStillDeliversEvent4Once) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    std::atomic<bool> running{false};
    TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection& connection) {
        running = true;
        for (int i = 0; i < 60000 && !connection.StopRequested(); ++i)
            std::this_thread::sleep_for(milliseconds(1));
        runner.PostEvent(connection, TaskWorkerFailed, 0);
        connection.SetRunFlag(RunFlag::Idle);
        runner.WorkerEnded();
    });
    task.RecordCodes(true);
    ASSERT_TRUE(task.Start());
    while (!running) std::this_thread::sleep_for(milliseconds(1));
    task.session().transferred = 1234;
    task.RequestStop();
    ASSERT_TRUE(recorder.WaitEnded());
    task.Join();
    EXPECT_EQ(recorder.Count(TaskEnded), 1);
    EXPECT_EQ(recorder.EndCount(), 1234);  // a stopped task reports its byte total
    EXPECT_EQ(recorder.Codes().back(), TaskEnded);
    EXPECT_EQ(recorder.Count(TaskWorkerFailed), 1);
    std::vector<int> codes = task.HandledCodes();
    EXPECT_EQ(codes.back(), kTaskQuit);
}

TEST(TaskRunnerTask, AWorkerOutlivingTheStopWaitIsCollectedAndTheTaskStillEnds) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    param.stopWait = 20;
    std::atomic<bool> running{false};
    std::atomic<bool> release{false};
    TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection&) {
        running = true;
        // Ignores its run flag until the test lets it go.
        while (!release) std::this_thread::sleep_for(milliseconds(1));
        runner.WorkerEnded();
    });
    ASSERT_TRUE(task.Start());
    while (!running) std::this_thread::sleep_for(milliseconds(1));
    task.RequestStop();  // returns after the stop wait although the worker runs on
    EXPECT_EQ(task.ActiveWorkers(), 1);
    EXPECT_FALSE(task.Ended());
    release = true;
    ASSERT_TRUE(recorder.WaitEnded());
    task.Join();
    EXPECT_EQ(recorder.Count(TaskEnded), 1);
}

TEST(TaskRunnerTask, FurtherConnectionsEachServeAFreeSegment) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    param.connections = 3;
    std::mutex lock;
    std::vector<int> served;
    TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection& connection) {
        if (connection.firstWorker) {
            runner.segments().Divide(3000, 3, &connection);
            connection.segment = 0;
            runner.ExpectWorkers(2);
            for (int i = 0; i < 2; ++i) runner.Post(Message(kTaskOpenWorker));
        }
        runner.segments().AddWritten(connection.segment, runner.segments().Get(connection.segment).length);
        {
            std::lock_guard guard(lock);
            served.push_back(connection.segment);
        }
        runner.WorkerEnded();
    });
    task.RecordCodes(true);
    ASSERT_TRUE(task.Start());
    ASSERT_TRUE(recorder.WaitEnded());
    task.Join();
    std::sort(served.begin(), served.end());
    EXPECT_EQ(served, (std::vector<int>{0, 1, 2}));
    std::vector<int> codes = task.HandledCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kTaskOpenWorker), 3);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), kTaskEndTransfer), 1);
    EXPECT_TRUE(task.segments().AllComplete());
}

TEST(TaskRunnerTask, WorkerEventsReachTheCallbackInTheOrderPosted) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection& connection) {
        for (int i = 0; i < 200; ++i) runner.PostEvent(connection, i % 2 ? TaskLaterSegment : TaskBytes, i);
        runner.WorkerEnded();
    });
    std::vector<std::pair<int, std::int64_t>> events;
    std::mutex lock;
    task.session().taskCallback = [&, original = param.taskCallback](int code, std::int64_t v1,
                                                                     std::int64_t v2, std::int64_t v3,
                                                                     Handle session) {
        if (code == TaskBytes || code == TaskLaterSegment) {
            std::lock_guard guard(lock);
            events.emplace_back(code, v2);
        }
        return original(code, v1, v2, v3, session);
    };
    ASSERT_TRUE(task.Start());
    ASSERT_TRUE(recorder.WaitEnded());
    task.Join();
    // Neighbours of different kinds are never merged, so every event arrives.
    ASSERT_EQ(events.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(events[i], std::make_pair(i % 2 ? +TaskLaterSegment : +TaskBytes, std::int64_t{i}));
}

TEST(TaskRunnerTask, QueuedByteCountsAddUpWhenMerged) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection& connection) {
        for (int i = 1; i <= 500; ++i) runner.PostEvent(connection, TaskBytes, i);
        runner.WorkerEnded();
    });
    std::int64_t total = 0;
    int count = 0;
    std::mutex lock;
    task.session().taskCallback = [&, original = param.taskCallback](int code, std::int64_t v1,
                                                                     std::int64_t v2, std::int64_t v3,
                                                                     Handle session) {
        if (code == TaskBytes) {
            std::lock_guard guard(lock);
            total += v2;
            ++count;
        }
        return original(code, v1, v2, v3, session);
    };
    ASSERT_TRUE(task.Start());
    ASSERT_TRUE(recorder.WaitEnded());
    task.Join();
    EXPECT_EQ(total, 500 * 501 / 2);
    EXPECT_GE(count, 1);
    EXPECT_LE(count, 500);
}

TEST(TaskRunnerTask, DestroyingARunningTaskStopsAndJoinsIt) {
    Recorder recorder;
    TaskParam param = recorder.Param();
    std::atomic<bool> running{false};
    {
        TaskRunner task(Session(param), [&](TaskRunner& runner, SessionConnection& connection) {
            running = true;
            while (!connection.StopRequested()) std::this_thread::sleep_for(milliseconds(1));
            runner.WorkerEnded();
        });
        ASSERT_TRUE(task.Start());
        while (!running) std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_EQ(recorder.Count(TaskEnded), 1);
}

}  // namespace
}  // namespace downlib

// Whole tasks run with scripted workers, without a network.
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
            TaskMessage open;
            open.code = kTaskOpenWorker;
            for (int i = 0; i < 2; ++i) runner.Post(open);
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

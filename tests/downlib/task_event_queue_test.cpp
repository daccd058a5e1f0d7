// The task's event queue: order, closing, shutting and waking across threads.
#include "downlib/task_event_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace downlib {
namespace {

using std::chrono::milliseconds;

TaskMessage Message(int code, std::int64_t value = 0) {
    TaskMessage message;
    message.code = code;
    message.value1 = value;
    return message;
}

std::vector<int> Drain(TaskEventQueue& queue) {
    std::vector<int> values;
    while (auto message = queue.Take(milliseconds(0))) values.push_back(static_cast<int>(message->value1));
    return values;
}

TEST(TaskEventQueue, KeepsTheOrderOfPosts) {
    TaskEventQueue queue;
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(queue.Post(Message(kTaskForward, i)));
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i) expected[i] = i;
    EXPECT_EQ(Drain(queue), expected);
}

TEST(TaskEventQueue, ClosingLeavesOneQuitBehindTheQueuedMessagesAndDropsLaterPosts) {
    TaskEventQueue queue;
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

TEST(TaskEventQueue, ShuttingDropsWhatIsQueued) {
    TaskEventQueue queue;
    queue.Post(Message(kTaskLog));
    queue.Shut();
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_FALSE(queue.Post(Message(kTaskLog)));
    queue.CloseWithQuit();  // a dead queue takes no quit either
    EXPECT_FALSE(queue.Take(milliseconds(0)).has_value());
}

TEST(TaskEventQueue, APostWakesAWaitingTake) {
    // The take waits far longer than the test may run: only the post's
    // notification can end it in time.
    TaskEventQueue queue;
    std::optional<TaskMessage> taken;
    std::thread taker([&] { taken = queue.Take(std::chrono::hours(1)); });
    std::this_thread::sleep_for(milliseconds(20));
    queue.Post(Message(kTaskForward, 42));
    taker.join();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->value1, 42);
}

TEST(TaskEventQueue, PostsFromManyThreadsKeepEachThreadsOrder) {
    TaskEventQueue queue;
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

}  // namespace
}  // namespace downlib

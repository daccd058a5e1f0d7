// The task callbacks: what a task's events and the upload question record.
#include "app/task_watch.h"

#include <gtest/gtest.h>

namespace {

TEST(OnTaskEvent, RecordsTheOutcomeOfATask) {
    struct Event {
        int code;
        std::int64_t value2;
    };
    const struct {
        std::vector<Event> events;
        bool ended, done, failed, sameName;
        std::int64_t count;
    } cases[] = {
        {{{5, 0}, {3, 50}, {16, 50}, {8, 0}, {4, 50}}, true, true, false, false, 50},
        {{{5, 0}, {9, 0}, {4, 10}}, true, false, true, false, 10},
        {{{18, 7}, {8, 0}, {4, 0}}, true, true, false, true, 0},
        {{{5, 0}, {16, 10}}, false, false, false, false, -1},
    };
    for (const auto& c : cases) {
        app::TaskWatch watch;
        for (const auto& e : c.events) EXPECT_EQ(app::OnTaskEvent(watch, e.code, 0, e.value2, 0, 0), 0);
        EXPECT_EQ(watch.ended, c.ended);
        EXPECT_EQ(watch.workerDone, c.done);
        EXPECT_EQ(watch.workerFailed, c.failed);
        EXPECT_EQ(watch.sameName, c.sameName);
        EXPECT_EQ(watch.count, c.count);
    }
}

TEST(AnswerSameName, LeavesTheDecisionToTheEnginesProofWhateverTheSizes) {
    // Equal, shorter and longer remote files: sizes alone prove nothing, so
    // the window never answers skip or resume by them.
    const std::int64_t sizes[][2] = {{10, 10}, {4000, 10000}, {20000, 100}, {std::int64_t{5} << 32, 1}};
    for (const auto& c : sizes) {
        app::TaskWatch watch;
        EXPECT_EQ(app::OnTaskEvent(watch, downlib::TaskUploadQuestion, 0, c[0], c[1], 0),
                  downlib::UploadUpdate);
    }
}

}  // namespace

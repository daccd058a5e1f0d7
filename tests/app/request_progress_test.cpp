// The texts of a request's progress while several rows run, and the speed
// they are computed from.
#include "app/request_progress.h"

#include <gtest/gtest.h>

namespace {

using app::ThroughputMeter;
using Clock = ThroughputMeter::Clock;

TEST(RequestProgress, TextsOfSpeedTimeLeftAndTheWholeLine) {
    struct Speed {
        double bytesPerSecond;
        const char* text;
    };
    const Speed speeds[] = {
        {0, "0B/s"},
        {1023, "1023B/s"},
        {1024, "1.0KB/s"},
        {2.3 * 1048576, "2.3MB/s"},
        {1.5 * 1073741824, "1.5GB/s"},
        {5000.0 * 1099511627776.0, "5000.0TB/s"},
    };
    for (const Speed& c : speeds) EXPECT_EQ(app::SpeedText(c.bytesPerSecond), c.text) << c.bytesPerSecond;

    struct Left {
        std::int64_t seconds;
        const char* text;
    };
    const Left lefts[] = {
        {-5, "0:00"}, {0, "0:00"}, {12, "0:12"}, {725, "12:05"}, {3723, "1:02:03"}, {1LL << 40, "99:59:59"},
    };
    for (const Left& c : lefts) EXPECT_EQ(app::TimeLeftText(c.seconds), c.text) << c.seconds;

    struct Line {
        int percent;
        double bytesPerSecond;
        std::int64_t left;
        const char* text;
    };
    const Line lines[] = {
        {45, 0, 1000, "任务进度:45%"},  // no speed yet: no time left either
        {45, 2.3 * 1048576, 28940698, "任务进度:45%  2.3MB/s  剩余0:12"},
        {100, 1024, 0, "任务进度:100%  1.0KB/s  剩余0:00"},
        {140, 0, 0, "任务进度:100%"},
        {-3, 0, 0, "任务进度:0%"},
    };
    for (const Line& c : lines)
        EXPECT_EQ(app::RequestProgressText(c.percent, c.bytesPerSecond, c.left), c.text) << c.percent;
}

TEST(RequestProgress, TheSpeedIsThatOfTheLastSecondsSoAStallShows) {
    ThroughputMeter meter;
    const Clock::time_point start{};
    EXPECT_EQ(meter.BytesPerSecond(), 0);
    meter.Sample(start, 0);
    EXPECT_EQ(meter.BytesPerSecond(), 0);
    // 1 MiB a second for ten seconds.
    for (int s = 1; s <= 10; ++s) meter.Sample(start + std::chrono::seconds(s), s * 1048576LL);
    EXPECT_NEAR(meter.BytesPerSecond(), 1048576.0, 1.0);
    // Then nothing moves: within the window the speed falls to nothing.
    for (int s = 11; s <= 16; ++s) meter.Sample(start + std::chrono::seconds(s), 10 * 1048576LL);
    EXPECT_EQ(meter.BytesPerSecond(), 0);
    // Samples a moment apart give no speed rather than a wild one.
    meter.Reset();
    meter.Sample(start, 0);
    meter.Sample(start + std::chrono::milliseconds(10), 1 << 20);
    EXPECT_EQ(meter.BytesPerSecond(), 0);
}

}  // namespace

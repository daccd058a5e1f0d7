// The status bar's account of a request while several rows run: the share
// of its bytes that has arrived, the speed of the last seconds and the time
// left at that speed ("任务进度:45%  2.3MB/s  剩余0:12").
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

namespace app {

// Bytes moved, sampled as they grow; the speed is that of the last few
// seconds, so a stall shows within them instead of being averaged away.
class ThroughputMeter {
public:
    using Clock = std::chrono::steady_clock;

    // `moved` is the running total of bytes moved, which never shrinks.
    void Sample(Clock::time_point at, std::int64_t moved);
    // Bytes a second over the window; 0 before two samples a moment apart.
    double BytesPerSecond() const;
    void Reset() { samples_.clear(); }

private:
    struct Point {
        Clock::time_point at;
        std::int64_t moved;
    };
    std::deque<Point> samples_;  // bounded by the window's length
};

// "任务进度:45%", followed by the speed and the time left when the speed is
// known ("  2.3MB/s  剩余0:12").
std::string RequestProgressText(int percent, double bytesPerSecond, std::int64_t bytesLeft);

// "512B/s", "2.3KB/s", "2.3MB/s", "1.1GB/s" (1024 steps).
std::string SpeedText(double bytesPerSecond);

// "0:12", "12:05", "1:02:03"; "99:59:59" and more are shown as that.
std::string TimeLeftText(std::int64_t seconds);

}  // namespace app

#include "app/request_progress.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

namespace app {

namespace {

constexpr auto kSpeedWindow = std::chrono::seconds(4);
constexpr std::int64_t kLongestTimeLeft = 99 * 3600 + 59 * 60 + 59;

}  // namespace

void ThroughputMeter::Sample(Clock::time_point at, std::int64_t moved) {
    samples_.push_back({at, moved});
    while (samples_.size() > 2 && at - samples_.front().at > kSpeedWindow) samples_.pop_front();
}

double ThroughputMeter::BytesPerSecond() const {
    if (samples_.size() < 2) return 0;
    const Point& first = samples_.front();
    const Point& last = samples_.back();
    const double seconds = std::chrono::duration<double>(last.at - first.at).count();
    if (seconds < 0.2) return 0;
    return static_cast<double>(std::max<std::int64_t>(last.moved - first.moved, 0)) / seconds;
}

std::string SpeedText(double bytesPerSecond) {
    constexpr std::array<const char*, 4> kUnits = {"KB/s", "MB/s", "GB/s", "TB/s"};
    if (bytesPerSecond < 1024) return std::to_string(static_cast<std::int64_t>(bytesPerSecond)) + "B/s";
    double value = bytesPerSecond / 1024;
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < kUnits.size()) {
        value /= 1024;
        ++unit;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f%s", value, kUnits[unit]);
    return text.data();
}

std::string TimeLeftText(std::int64_t seconds) {
    seconds = std::clamp<std::int64_t>(seconds, 0, kLongestTimeLeft);
    const std::int64_t hours = seconds / 3600;
    const std::int64_t minutes = seconds / 60 % 60;
    std::array<char, 32> text{};
    if (hours > 0) {
        std::snprintf(text.data(), text.size(), "%lld:%02lld:%02lld", static_cast<long long>(hours),
                      static_cast<long long>(minutes), static_cast<long long>(seconds % 60));
    } else {
        std::snprintf(text.data(), text.size(), "%lld:%02lld", static_cast<long long>(minutes),
                      static_cast<long long>(seconds % 60));
    }
    return text.data();
}

std::string RequestProgressText(int percent, double bytesPerSecond, std::int64_t bytesLeft) {
    std::string text = "任务进度:" + std::to_string(std::clamp(percent, 0, 100)) + "%";
    if (bytesPerSecond < 1) return text;
    // Clamped while still a double: a crawl over a large request is no overflow.
    const double seconds = std::min(
        std::round(static_cast<double>(std::max<std::int64_t>(bytesLeft, 0)) / bytesPerSecond),
        static_cast<double>(kLongestTimeLeft));
    return text + "  " + SpeedText(bytesPerSecond) + "  剩余" + TimeLeftText(static_cast<std::int64_t>(seconds));
}

}  // namespace app

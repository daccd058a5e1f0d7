// Engine-wide timings: the pause between retries, the idle limit of kept
// connections and how long one is trusted without a check. The programs keep the defaults; the tests' own
// library shortens them, so no test code is part of the engine.
#pragma once

#include <atomic>
#include <cstdint>

namespace downlib {

std::atomic<int>& RetryPauseSetting();
std::atomic<std::int64_t>& ConnectionIdleLimitSetting();
// How long after its last answer a kept connection is used without a liveness check.
std::atomic<std::int64_t>& QuietReuseLimitSetting();

}  // namespace downlib

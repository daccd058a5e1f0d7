// Engine-wide timings: the pause between retries and the idle limit of kept
// connections. The programs keep the defaults; the tests' own library
// shortens them, so no test code is part of the engine.
#pragma once

#include <atomic>
#include <cstdint>

namespace downlib {

std::atomic<int>& RetryPauseSetting();
std::atomic<std::int64_t>& ConnectionIdleLimitSetting();

}  // namespace downlib

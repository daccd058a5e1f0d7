// Shorter engine timings for tests (see engine_test_timings.h).
#include "support/engine_test_timings.h"

#include <algorithm>

#include "downlib/engine_timings.h"

namespace downlib {

void SetRetryPauseForTesting(int milliseconds) { RetryPauseSetting() = std::max(milliseconds, 0); }

void SetConnectionIdleLimitForTesting(std::chrono::milliseconds limit) {
    ConnectionIdleLimitSetting() = limit.count();
}

void SetQuietReuseLimitForTesting(std::chrono::milliseconds limit) {
    QuietReuseLimitSetting() = std::max<std::int64_t>(limit.count(), 0);
}

}  // namespace downlib

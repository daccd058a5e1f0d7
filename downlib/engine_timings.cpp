// Engine-wide timings (see engine_timings.h).
#include "downlib/engine_timings.h"

#include "downlib/connection_cache.h"
#include "downlib/ftp_download.h"
#include "downlib/session_reuse.h"

namespace downlib {

std::atomic<int>& RetryPauseSetting() {
    static std::atomic<int> milliseconds{kRetryPauseMs};
    return milliseconds;
}

std::atomic<std::int64_t>& ConnectionIdleLimitSetting() {
    static std::atomic<std::int64_t> milliseconds{ConnectionCache::kIdleLimit.count()};
    return milliseconds;
}

std::atomic<std::int64_t>& QuietReuseLimitSetting() {
    static std::atomic<std::int64_t> milliseconds{kQuietReuseLimit.count()};
    return milliseconds;
}

int RetryPauseMs() { return RetryPauseSetting().load(); }

}  // namespace downlib

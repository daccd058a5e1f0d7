// Shorter engine timings for tests: retries that do not wait five seconds,
// kept connections that expire while a test watches.
#pragma once

#include <chrono>

namespace downlib {

// The pause between retries from now on, engine-wide (0 and up).
void SetRetryPauseForTesting(int milliseconds);
// The idle limit of connection caches made from now on.
void SetConnectionIdleLimitForTesting(std::chrono::milliseconds limit);
// How long a kept connection is used without a liveness check (0: always checked).
void SetQuietReuseLimitForTesting(std::chrono::milliseconds limit);

}  // namespace downlib

// How a transfer task gets a logged-in control connection from the Download
// object's cache instead of connecting and logging in, and how it gives the
// connection back when it ends well.
//
// A taken connection that answered less than a few seconds ago, is in
// binary type and whose socket the cache found quiet (nothing to read, not
// closed) is used as it is. Any other must prove it is alive before the task
// relies on it: its first command is the TYPE I that every task's opening
// sends anyway. When that check fails in any way (closed socket, 421, a time-out, a reply
// that is not 2xx), the connection is closed, nothing of the check is
// logged, and the task opens a connection of its own as it would without a
// cache. A task is never given a connection logged in for another server,
// port, user or password.
#pragma once

#include <chrono>

#include "downlib/connection_cache.h"
#include "downlib/session.h"

namespace downlib {

// How long after its last answer a kept connection is trusted without a
// liveness command (the engine's default; see engine_timings.h). Servers end
// idle sessions after minutes, not seconds.
inline constexpr std::chrono::milliseconds kQuietReuseLimit{3000};

// True when a kept connection with these facts may skip the liveness check
// at `now`: in binary type and answered less than the limit before.
bool IsRecentlyQuiet(const ConnectionFacts& facts, std::chrono::steady_clock::time_point now);

// The cache key of a task: its host text, port, user and password.
CacheKey SessionKey(const TransferSession& session);

// True when the connection's control socket is now a cached one that was
// recently quiet (above) or answered TYPE I with 2xx: the session takes its server address and data
// mode, and the log shows "使用已登录的连接 [address:port]" (progress), then
// the TYPE I line and its reply, in place of the connect and log-in lines.
// False, with nothing logged and the connection's control socket closed,
// when the cache holds none for the key or the check failed; after a failed
// check the key's other cached connections are ended too (a server that
// dropped one most likely dropped them all).
bool TakeLoggedInConnection(SessionConnection& connection);

// At the end of a task that went well, at a clean point (every reply read,
// the last one complete; no data channel; nothing read ahead): hands the
// control socket to the cache instead of closing it. False, with the socket
// still the connection's, when the session has no cache, the connection or
// the task was told to stop, or the connection is not clean.
bool ReturnLoggedInConnection(SessionConnection& connection);

}  // namespace downlib

// Taking a logged-in control connection from the cache (with its liveness
// check) and giving it back.
#include "downlib/session_reuse.h"

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "downlib/engine_timings.h"

namespace downlib {

bool IsRecentlyQuiet(const ConnectionFacts& facts, std::chrono::steady_clock::time_point now) {
    const std::chrono::milliseconds limit{QuietReuseLimitSetting().load()};
    return facts.binary == true && now >= facts.lastAnswer && now - facts.lastAnswer < limit;
}

CacheKey SessionKey(const TransferSession& session) {
    return MakeCacheKey(session.host, session.port, session.user, session.password, session.tlsMode);
}

bool TakeLoggedInConnection(SessionConnection& connection) {
    TransferSession& session = *connection.session;
    if (!session.connectionCache || connection.StopRequested()) return false;
    const CacheKey key = SessionKey(session);
    std::optional<CachedConnection> cached = session.connectionCache->Take(key);
    if (!cached) return false;

    CloseDataChannel(connection);
    connection.control = std::move(cached->control);
    connection.outOfStep = false;  // every reply on it was read when it was given
    connection.facts = cached->facts;
    const std::string ownAddress = session.serverAddress;
    const int ownMode = session.dataMode.load();
    session.serverAddress = cached->serverAddress;
    session.dataMode = cached->dataMode;

    // The cache found the socket quiet just now (a 421 or a close would have
    // been readable); a server that answered a moment ago is still there,
    // and the TYPE I would only cost a round trip per file.
    if (IsRecentlyQuiet(connection.facts, std::chrono::steady_clock::now())) {
        EmitLog(connection,
                "使用已登录的连接 [" + session.serverAddress + ":" + std::to_string(session.port) + "]",
                LogInfo);
        return true;
    }

    // The check's lines belong in the log only when it succeeds: a stale
    // connection is replaced silently by the task's own opening.
    HeldLog held(connection);
    EmitLog(connection, "TYPE I", LogReply);
    std::string reply;
    const int code = SetTransferType(connection, true, reply, session.replyTimeout);
    const bool alive =
        code >= 200 && code <= 299 && !connection.outOfStep && connection.control.ReadAhead().empty();
    if (!alive) {
        connection.control.Close();
        connection.outOfStep = false;  // a new socket starts in step
        connection.facts = {};
        session.serverAddress = ownAddress;
        session.dataMode = ownMode;
        if (!connection.StopRequested()) session.connectionCache->Discard(key);
        return false;
    }
    connection.facts.binary = true;
    connection.facts.lastAnswer = std::chrono::steady_clock::now();
    held.Release();
    EmitLog(connection,
            "使用已登录的连接 [" + session.serverAddress + ":" + std::to_string(session.port) + "]", LogInfo);
    held.Deliver();
    return true;
}

bool ReturnLoggedInConnection(SessionConnection& connection) {
    TransferSession& session = *connection.session;
    if (!session.connectionCache || !connection.control || connection.StopRequested()) return false;
    if (connection.outOfStep || connection.data || connection.listening ||
        !connection.control.ReadAhead().empty())
        return false;
    CachedConnection cached;
    cached.control = std::move(connection.control);
    cached.serverAddress = session.serverAddress;
    cached.dataMode = session.dataMode.load();
    cached.quitWaitMs = session.stopWait;
    cached.facts = connection.facts;
    // It was given at a clean point: its last reply has just been read.
    cached.facts.lastAnswer = std::chrono::steady_clock::now();
    if (session.connectionCache->Give(SessionKey(session), cached, session.StopFlagWatch())) return true;
    connection.control = std::move(cached.control);
    return false;
}

}  // namespace downlib

// What a logged-in control connection has told about itself: the transfer
// type it was last switched to and its answer to the restart probe. Kept
// with the connection while it waits in the cache, so that the next task on
// it sends TYPE only when the type changes and the probe only once per
// connection: over a slow link each of those is a round trip per file.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace downlib {

struct RestartProbeAnswer {
    int code = 0;            // the reply code of "REST 100"
    bool supported = false;  // 350 with "restart" in its text
};

struct ConnectionFacts {
    // The type the server confirmed last (true binary, false ASCII); no value
    // when unknown, e.g. after a TYPE without a 2xx.
    std::optional<bool> binary;
    // The restart probe's answer, once the probe ran and its marker went back to 0.
    std::optional<RestartProbeAnswer> restartProbe;
    // The features its FEAT reply listed (one per line, without the leading
    // space), once asked; empty when FEAT was refused.
    std::optional<std::vector<std::string>> features;
    // The server refused to set a file's modification time: not asked again
    // on this connection.
    bool fileTimeRefused = false;
    // OPTS HASH chose the algorithm; a hash command failed (not asked again).
    bool hashChosen = false;
    bool hashRefused = false;
    // When the server last answered on the connection.
    std::chrono::steady_clock::time_point lastAnswer{};
};

}  // namespace downlib

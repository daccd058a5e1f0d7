// LIST over a data channel, read to its end into memory and parsed into
// entries. A listing is whole only when its data connection ended normally
// and the server's final reply is 2xx; anything else is a failed listing,
// never an empty folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "downlib/listing_parser.h"
#include "downlib/session.h"

namespace downlib {

// No real name comes near this; a longer line is a broken or hostile listing.
inline constexpr std::size_t kMaxListingLineBytes = 8192;

// How long the data of one listing may take. Stalls are caught by the reply
// time-out between two reads, but a server that sends a byte now and then
// would pass that forever. So the whole listing also has a deadline: the
// reply time-out, plus one second for every KiB that arrived (an average of
// at least 1 KiB/s, slower than any real link), never more than an hour. A
// slow link only moves the deadline by the bytes it brings, a stall not at
// all; the 64 MiB cap bounds the memory.
inline constexpr std::int64_t kListingBytesPerSecond = 1024;
inline constexpr int kListingLimitMs = 60 * 60 * 1000;

enum class DataEnd {
    Closed,   // the server closed the data connection: the normal end
    Limit,    // `limit` bytes are held
    Stalled,  // no byte for the idle time-out
    TooSlow,  // the whole-listing deadline passed
    Failed,   // a socket error (a reset, for example)
};

// Reads the data socket into `text` until it ends; `errorCode` receives the
// engine code of a stall or a socket error.
DataEnd ReadDataToEnd(SessionConnection& connection, std::string& text, std::size_t limit, int timeoutMs,
                      int* errorCode = nullptr);
// Data channel, LIST, the data, the final reply. The final reply's code; 0
// when none could be read; -1 when the listing could not be started or its
// data did not arrive whole (the reason is logged).
int ListTransfer(SessionConnection& connection, const std::optional<std::string>& path, std::string& text,
                 int timeoutMs);
// The entries of a folder (the current one without a path). The count, or -1
// when the listing failed, a line is in no known form or it is too large.
int ListEntries(SessionConnection& connection, const std::optional<std::string>& path,
                std::vector<FileEntry>& entries, int timeoutMs);

}  // namespace downlib

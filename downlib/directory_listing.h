// LIST over a data channel, read to its end into memory and parsed into
// entries.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "downlib/listing_parser.h"
#include "downlib/session.h"

namespace downlib {

// No real name comes near this; a longer line is a broken or hostile listing.
inline constexpr std::size_t kMaxListingLineBytes = 8192;

// Reads the data socket until the server closes it, the idle time-out passes or
// `limit` bytes are held. The bytes read.
std::size_t ReadDataToEnd(SessionConnection& connection, std::string& text, std::size_t limit, int timeoutMs);
// Data channel, LIST, the data, the final reply. The final reply's code; 0
// when none could be read; -1 when the listing could not be started.
int ListTransfer(SessionConnection& connection, const std::optional<std::string>& path, std::string& text,
                 int timeoutMs);
// The entries of a folder (the current one without a path). The count, or -1
// when a line is in no known form or the listing is too large.
int ListEntries(SessionConnection& connection, const std::optional<std::string>& path,
                std::vector<FileEntry>& entries, int timeoutMs);

}  // namespace downlib

// Directory listing: the whole LIST output is read into memory (up to a cap)
// and parsed line by line; one line in no known form fails the listing.
#include "downlib/directory_listing.h"

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"

namespace downlib {
namespace {
constexpr std::size_t kDataReadSize = 4096;
}

std::size_t ReadDataToEnd(SessionConnection& connection, std::string& text, std::size_t limit,
                          int timeoutMs) {
    std::size_t start = text.size();
    char buffer[kDataReadSize];
    while (text.size() - start < limit) {
        ReceiveOptions options;
        options.total = static_cast<std::int64_t>(std::min(kDataReadSize, limit - (text.size() - start)));
        options.chunk = options.total;
        options.idleTimeoutMs = timeoutMs;
        int reads = 1;
        options.countLimit = &reads;
        std::int64_t received = 0;
        options.receivedOut = &received;
        std::int64_t n = ReceiveWithTimeout(connection.data.fd(), buffer, options);
        // The bytes of a read that ends with the server's close belong to the text.
        std::int64_t got = n > 0 ? n : received;
        text.append(buffer, static_cast<std::size_t>(got));
        if (n <= 0) break;
    }
    return text.size() - start;
}

int ListTransfer(SessionConnection& connection, const std::optional<std::string>& path, std::string& text,
                 int timeoutMs) {
    if (!SetUpDataChannel(connection, DataCaller::Listing)) return -1;
    std::string command = path ? "LIST " + *path : "LIST";
    EmitLog(connection, command, LogCommand);
    std::string reply;
    int code = SendCommand(connection, command, reply, timeoutMs);
    if (code != 125 && code != 150) {
        EmitLog(connection, "获得列表错误", LogError);
        CloseDataChannel(connection);
        return -1;
    }
    if (!CompleteDataChannel(connection)) return -1;
    text.clear();
    // One byte over the cap tells an over-long listing from one that fits.
    ReadDataToEnd(connection, text, kMaxListingBytes + 1, timeoutMs);
    CloseDataChannel(connection);
    return ReadReply(connection, reply, timeoutMs);
}

int ListEntries(SessionConnection& connection, const std::optional<std::string>& path,
                std::vector<FileEntry>& entries, int timeoutMs) {
    entries.clear();
    std::string text;
    int result = ListTransfer(connection, path, text, timeoutMs);
    if (text.empty()) return 0;
    if (result < 1) return result;
    bool tooLarge = text.size() > kMaxListingBytes;
    int count = -1;
    if (!tooLarge) {
        bool lineTooLong = false;
        for (std::string_view line : SplitListing(text))
            if (line.size() > kMaxListingLineBytes) lineTooLong = true;
        if (!lineTooLong) count = ParseListing(text, entries, ListingClock{});
    }
    if (count < 0) {
        entries.clear();
        EmitLog(connection, "暂时不支持的列表结构", LogError);
        return -1;
    }
    return count;
}

}  // namespace downlib

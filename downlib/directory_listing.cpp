// Directory listing: the whole LIST output is read into memory (up to a cap)
// and parsed line by line; one line in no known form fails the listing.
#include "downlib/directory_listing.h"

#include <algorithm>
#include <chrono>

#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "downlib/error_codes.h"

namespace downlib {
namespace {

constexpr std::size_t kDataReadSize = 4096;

// The deadline of a listing that began at `start` and has brought `bytes`.
Deadline ListingDeadline(Deadline::Clock::time_point start, int timeoutMs, std::size_t bytes) {
    const std::int64_t earned = static_cast<std::int64_t>(bytes) * 1000 / kListingBytesPerSecond;
    const std::int64_t allowed = std::min<std::int64_t>(std::int64_t{timeoutMs} + earned, kListingLimitMs);
    return Deadline(start + std::chrono::milliseconds(allowed));
}

}  // namespace

DataEnd ReadDataToEnd(SessionConnection& connection, std::string& text, std::size_t limit, int timeoutMs,
                      int* errorCode) {
    const std::size_t start = text.size();
    const auto began = Deadline::Clock::now();
    char buffer[kDataReadSize];
    while (text.size() - start < limit) {
        const Deadline deadline = ListingDeadline(began, timeoutMs, text.size() - start);
        const int left = deadline.RemainingMs();
        if (left <= 0) return DataEnd::TooSlow;
        ReceiveOptions options;
        options.total = static_cast<std::int64_t>(std::min(kDataReadSize, limit - (text.size() - start)));
        options.chunk = options.total;
        options.idleTimeoutMs = std::min(timeoutMs, left);
        int reads = 1;
        options.countLimit = &reads;
        std::int64_t received = 0;
        options.receivedOut = &received;
        std::int64_t n = ReceiveWithTimeout(connection.data, buffer, options);
        // The bytes of a read that ends with the server's close belong to the text.
        std::int64_t got = n > 0 ? n : received;
        text.append(buffer, static_cast<std::size_t>(got));
        if (n > 0) continue;
        if (Is(n, ErrorCode::PeerClosed)) return DataEnd::Closed;
        if (errorCode) *errorCode = n == 0 ? ToInt(ErrorCode::ReceiveTimeout) : static_cast<int>(n);
        // A wait cut short by the deadline is the listing being too slow.
        if (Is(n, ErrorCode::ReceiveTimeout)) return left < timeoutMs ? DataEnd::TooSlow : DataEnd::Stalled;
        return DataEnd::Failed;
    }
    return DataEnd::Limit;
}

int ListTransfer(SessionConnection& connection, const std::optional<std::string>& path, std::string& text,
                 int timeoutMs) {
    text.clear();
    if (!SetUpDataChannel(connection, DataCaller::Listing)) {
        EmitLog(connection, "获得列表错误", LogError);
        return -1;
    }
    std::string command = path ? "LIST " + *path : "LIST";
    EmitLog(connection, command, LogCommand);
    std::string reply;
    int code = SendCommand(connection, command, reply, timeoutMs);
    if (code != 125 && code != 150) {
        EmitLog(connection, "获得列表错误", LogError);
        CloseDataChannel(connection);
        return -1;
    }
    if (!CompleteDataChannel(connection)) {
        // The server still owes the final reply of LIST (a 425, usually):
        // read it now, or the next command would be paired with it.
        ReadPendingReply(connection, timeoutMs);
        return -1;
    }
    // One byte over the cap tells an over-long listing from one that fits.
    int error = 0;
    const DataEnd end = ReadDataToEnd(connection, text, kMaxListingBytes + 1, timeoutMs, &error);
    CloseDataChannel(connection);
    switch (end) {
        case DataEnd::Closed:
        case DataEnd::Limit:
            break;
        case DataEnd::Stalled:
        case DataEnd::Failed:
            ReportSocketError(connection, error);
            ReadPendingReply(connection, timeoutMs);
            return -1;
        case DataEnd::TooSlow:
            EmitLog(connection, "列表传送过慢, 已放弃 (收到" + std::to_string(text.size()) + "字节)",
                    LogError);
            ReadPendingReply(connection, timeoutMs);
            return -1;
    }
    return ReadPendingReply(connection, timeoutMs);
}

int ListEntries(SessionConnection& connection, const std::optional<std::string>& path,
                std::vector<FileEntry>& entries, int timeoutMs) {
    entries.clear();
    std::string text;
    int result = ListTransfer(connection, path, text, timeoutMs);
    if (result < 0) return -1;
    if (text.size() > kMaxListingBytes) {
        EmitLog(connection, "列表过大: 超过" + std::to_string(kMaxListingBytes) + "字节", LogError);
        return -1;
    }
    if (result == 0) return -1;  // "获得返回命令失败" is in the log
    if (result / 100 != 2) {
        EmitLog(connection, "列表未完整传送, 服务器回应" + std::to_string(result), LogError);
        return -1;
    }
    bool lineTooLong = false;
    for (std::string_view line : SplitListing(text))
        if (line.size() > kMaxListingLineBytes) lineTooLong = true;
    int count = lineTooLong ? -1 : ParseListing(text, entries, ListingClock{});
    if (count < 0) {
        entries.clear();
        EmitLog(connection, "暂时不支持的列表结构", LogError);
        return -1;
    }
    return count;
}

}  // namespace downlib

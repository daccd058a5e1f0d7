#include "downlib/connection_limit.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace downlib {

bool IsConnectionLimitReply(const std::string& reply) {
    if (reply.size() < 3) return false;
    const std::string_view code(reply.data(), 3);
    if (code == "421") return true;
    if (code != "530") return false;
    std::string lower = reply.substr(3);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // The words the servers of the field use for their limits: vsftpd and
    // pure-ftpd say "too many", proftpd "maximum number of clients", others
    // "max connections" or "connection limit".
    constexpr std::array<std::string_view, 5> kLimitWords = {"too many", "maximum number", "max connections",
                                                             "connection limit", "max clients"};
    return std::any_of(kLimitWords.begin(), kLimitWords.end(),
                       [&](std::string_view word) { return lower.find(word) != std::string::npos; });
}

}  // namespace downlib

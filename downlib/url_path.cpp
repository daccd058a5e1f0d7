// Escaping of server paths for task URLs (see url_path.h).
#include "downlib/url_path.h"

namespace downlib {

std::string EscapeUrlPath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (const unsigned char c : path) {
        if (c == '%' || c == '+' || c < 0x20 || c == 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool FitsTaskUrl(const std::string& path) {
    return path.size() <= kLongestRemotePath && EscapeUrlPath(path).size() <= kLongestUrlPath;
}

}  // namespace downlib

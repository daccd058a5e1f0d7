// Name resolution and socket addresses (see socket_address.h).
#include "downlib/socket_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace downlib {

std::optional<std::string> ResolveHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
    const char* ok = ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    ::freeaddrinfo(result);
    if (!ok) return std::nullopt;
    return std::string(text);
}

bool IsDottedQuad(const std::string& text) {
    if (text.find('.') == std::string::npos) return false;
    // Split at ".", keeping empty parts but dropping one empty part at the end.
    std::string body = text;
    if (!body.empty() && body.back() == '.') body.pop_back();
    int parts = 0;
    std::size_t start = 0;
    while (true) {
        std::size_t dot = body.find('.', start);
        std::string part = body.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.size() > 3) return false;
        int value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + (c - '0');
        }
        if (value > 255) return false;
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

int LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    return ntohs(address.sin_port);
}

namespace {
std::optional<std::string> AddressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text)) return std::nullopt;
    return std::string(text);
}
}  // namespace

std::optional<std::string> LocalAddress(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return std::nullopt;
    return AddressText(address);
}

std::optional<std::string> PeerAddress(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET)
        return std::nullopt;
    return AddressText(address);
}

}  // namespace downlib

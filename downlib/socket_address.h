// IPv4 addresses of hosts and sockets as dotted text.
#pragma once

#include <optional>
#include <string>

namespace downlib {

// The dotted IPv4 text of the host's first address.
std::optional<std::string> ResolveHost(const std::string& host);
bool IsDottedQuad(const std::string& text);
int LocalPort(int fd);
// The local IPv4 address of a connected socket, as dotted text.
std::optional<std::string> LocalAddress(int fd);
std::optional<std::string> PeerAddress(int fd);

}  // namespace downlib

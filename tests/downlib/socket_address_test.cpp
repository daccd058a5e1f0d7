// Dotted quads and name resolution.
#include "downlib/socket_address.h"

#include <gtest/gtest.h>

#include <utility>

namespace downlib {
namespace {

TEST(SocketAddress, DottedQuads) {
    const std::pair<const char*, bool> cases[] = {
        {"192.168.1.1", true}, {"0.0.0.0", true},      {"127.0.0.1", true},       {"1.2.3.4.", true},
        {"1..2.3", true},      {"192.168.1", false},   {"1.2.3.", false},         {"1.2.3.256", false},
        {"1.2.3.4.5", false},  {"01234.1.1.1", false}, {"a.b.c.d", false},        {"", false},
        {"localhost", false},  {"1.2.3.-4", false},    {"255.255.255.255", true},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(IsDottedQuad(text), expected) << text;
}

TEST(SocketAddress, ResolvesLocalhostButNotNonsense) {
    EXPECT_EQ(ResolveHost("localhost").value_or(""), "127.0.0.1");
    EXPECT_FALSE(ResolveHost("no-such-host.invalid").has_value());
}

}  // namespace
}  // namespace downlib

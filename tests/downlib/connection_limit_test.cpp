#include "downlib/connection_limit.h"

#include <gtest/gtest.h>

namespace {

struct LimitCase {
    const char* reply;
    bool limit;
};

// The refusals the servers of the field send when they serve enough
// connections, against refusals that are about the account or the command.
constexpr LimitCase kCases[] = {
    {"421 Too many connections (1) from this IP", true},                       // pure-ftpd
    {"421 There are too many connections from your internet address.", true},  // vsftpd
    {"421 Too many connections. Service temporarily unavailable.", true},      // pyftpdlib
    {"530 Sorry, the maximum number of clients (1) from your host are already connected.", true},  // proftpd
    {"530 Too many users - please try again later", true},
    {"530 MAX CONNECTIONS reached", true},
    {"421 Service not available, closing control connection.", true},
    {"530 Login incorrect.", false},
    {"530 Not logged in.", false},
    {"550 Too many files", false},
    {"230 Login successful.", false},
    {"42", false},
    {"", false},
};

TEST(ConnectionLimit, TellsALimitFromAWrongPassword) {
    for (const LimitCase& c : kCases) {
        EXPECT_EQ(downlib::IsConnectionLimitReply(c.reply), c.limit) << c.reply;
    }
}

}  // namespace

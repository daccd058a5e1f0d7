// Whether a server's refusal of a log-in is about how many connections it
// already serves (per address or in all), not about the account: such a
// refusal ends when one of our own connections does, so a client with several
// transfers at once lowers their number instead of failing a file for it.
#pragma once

#include <string>

namespace downlib {

// `reply` is a reply's final line ("421 Too many connections (2) from this IP",
// "530 Sorry, the maximum number of clients (1) from your host are already
// connected."). A 421 before or during log-in always is one; a 530 only when
// its text says so, since a plain 530 is a wrong password.
bool IsConnectionLimitReply(const std::string& reply);

}  // namespace downlib

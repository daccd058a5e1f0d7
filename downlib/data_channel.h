// The data channel: TYPE, PASV and its reply, the connection to the server's
// data port, and the active-mode fall-back with PORT and a bounded accept.
#pragma once

#include <cstdint>
#include <string>

#include "downlib/session.h"

namespace downlib {

struct DataEndpoint {
    std::string address;  // as the reply wrote it; informational only
    std::uint16_t port = 0;
};

// Who sets the channel up; they differ in messages and in the TYPE command.
enum class DataCaller { Listing, Download, Upload };

// "TYPE I" when binary, else "TYPE A". The reply code.
int SetTransferType(SessionConnection& connection, bool binary, std::string& reply, int timeoutMs);
// Parses a PASV reply text such as "227 Entering Passive Mode (10,0,0,5,19,137)".
bool ParsePassiveReply(const std::string& reply, DataEndpoint& endpoint);
// Sends PASV. The reply code, or -1 when the reply cannot be parsed.
int RequestPassive(SessionConnection& connection, DataEndpoint& endpoint, std::string& reply, int timeoutMs);
// A socket connected to address:port, or an invalid one.
Socket ConnectDataEndpoint(const std::string& address, std::uint16_t port, int timeoutMs,
                           const std::atomic<StopFlag>* stopFlag);
// The PORT argument for an address and port: "192,168,1,20,19,137".
std::string PortArgument(const std::string& address, int port);
// Listens on the control connection's local address and announces it with
// PORT. The reply code; 0 when no reply came; -1 when no port could be prepared.
int OfferActivePort(SessionConnection& connection, std::string& reply, int timeoutMs);
// Waits at most `timeoutMs` (in 10 ms cycles, ending early on a stop) for the
// server's data connection.
Socket AcceptDataConnection(SessionConnection& connection, int timeoutMs);

// Passive attempt, then the active fall-back; dataMode moves from passive to
// active for good. On success the connection holds either a connected data
// socket (passive) or a listening socket (active).
// With `pasvSent`, PASV went out already (sent together with the command
// before it) and only its reply is read.
bool SetUpDataChannel(SessionConnection& connection, DataCaller caller, bool pasvSent = false);
// After the transfer command was accepted: in active mode, accept the server's
// connection into the data slot. False when it never came.
bool CompleteDataChannel(SessionConnection& connection);
// Closes the data and listening sockets.
void CloseDataChannel(SessionConnection& connection);

}  // namespace downlib

// FTP over TLS on a session's connections: implicit TLS right after the
// connect, AUTH TLS after the greeting (a refusal goes on in plain FTP only
// in Auto mode), the certificate decision (system authorities and host name,
// then the run's trusted fingerprints, the trusted-always store and the
// user's answer), PBSZ 0 and PROT P after the log-in, and the handshake of
// each data connection, which offers the control connection's session.
#pragma once

#include <string>

#include "downlib/session.h"

namespace downlib {

enum class TlsStart { Plain, Encrypted, Failed };

// Implicit mode: the handshake before the greeting. Plain for other modes.
TlsStart SecureControlAfterConnect(SessionConnection& connection);
// Auto and Required: AUTH TLS and the handshake. Plain for Off and Implicit
// (already encrypted), and for an Auto session whose server refused.
TlsStart SecureControlAfterGreeting(SessionConnection& connection);
// After the log-in on an encrypted control connection: PBSZ 0 and PROT P.
// False when the server refuses protected data: nothing may then go in clear.
bool ProtectDataAfterLogin(SessionConnection& connection);

// True when `command` opens a transfer on a data channel that must be
// encrypted and is not yet.
bool DataHandshakeDue(const SessionConnection& connection, const std::string& command);
// Between sending a transfer command and its reply: accepts the server's
// connection in active mode, and runs the data connection's handshake while
// the control connection is watched for the reply (some servers reply 150
// first, others only after the handshake). The command's reply code as
// SendCommand returns it; a failed handshake leaves no data channel and its
// reason in the log.
int CompleteTransferCommand(SessionConnection& connection, std::string& reply, int timeoutMs);

}  // namespace downlib

// The engine's error codes: small negative integers, and the negated Winsock
// numbers that socket failures map onto, with their fixed Chinese texts.
#pragma once

#include <string>

namespace downlib {

inline constexpr int kErrUnmapped = -1;  // a socket error without its own entry
inline constexpr int kErrPosition = -2;
inline constexpr int kErrSocketState = -3;
inline constexpr int kErrNoBuffer = -4;
inline constexpr int kErrWaitFailed = -5;  // the readiness wait itself failed
inline constexpr int kErrSendWaitTimeout = -6;
inline constexpr int kErrSend = -7;
inline constexpr int kErrReceive = -8;
inline constexpr int kErrNotReady = -9;
inline constexpr int kErrReceiveTimeout = -10;  // idle time-out
inline constexpr int kErrConnectTimeout = -11;
inline constexpr int kErrStopped = -20;  // the session's stop flag was raised
inline constexpr int kErrStreamRead = -21;
inline constexpr int kErrPeerClosed = -22;

// Negated Winsock numbers.
inline constexpr int kWsaInterrupted = -10004;
inline constexpr int kWsaFault = -10014;
inline constexpr int kWsaInvalid = -10022;
inline constexpr int kWsaWouldBlock = -10035;
inline constexpr int kWsaInProgress = -10036;
inline constexpr int kWsaNotSocket = -10038;
inline constexpr int kWsaMessageSize = -10040;
inline constexpr int kWsaOpNotSupported = -10045;
inline constexpr int kWsaNetDown = -10050;
inline constexpr int kWsaNetReset = -10052;
inline constexpr int kWsaConnAborted = -10053;
inline constexpr int kWsaConnReset = -10054;
inline constexpr int kWsaIsConnected = -10056;
inline constexpr int kWsaNotConnected = -10057;
inline constexpr int kWsaShutdown = -10058;
inline constexpr int kWsaTimedOut = -10060;
inline constexpr int kWsaConnRefused = -10061;
inline constexpr int kWsaNotInitialised = -10093;

// Winsock error number (positive) to engine code: the known numbers map to
// their negated value, everything else to kErrUnmapped.
int MapSocketError(int winsockNumber);
// errno to engine code, through the Winsock number of the same meaning.
int MapErrno(int errnoValue);
// The message of an engine code, or an empty text when the table has none.
std::string SocketErrorText(int code);
// The text that ReportSocketError logs for a code.
std::string SocketErrorReportText(int code);

}  // namespace downlib

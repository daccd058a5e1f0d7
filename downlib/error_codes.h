// The engine's error codes: small negative integers, and the negated Winsock
// numbers that socket failures map onto, with their fixed Chinese texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace downlib {

// The transport's results are byte counts or one of these, so every code is
// negative. Texts come from switches without a default: a code added here
// without a text does not build.
enum class ErrorCode : int {
    Unmapped = -1,  // a socket error without its own entry
    Position = -2,
    SocketState = -3,
    NoBuffer = -4,
    WaitFailed = -5,  // the readiness wait itself failed
    SendWaitTimeout = -6,
    Send = -7,
    Receive = -8,
    NotReady = -9,
    ReceiveTimeout = -10,  // idle time-out
    ConnectTimeout = -11,
    Stopped = -20,  // the session's stop flag was raised
    StreamRead = -21,
    PeerClosed = -22,

    // Negated Winsock numbers.
    WsaInterrupted = -10004,
    WsaFault = -10014,
    WsaInvalid = -10022,
    WsaWouldBlock = -10035,
    WsaInProgress = -10036,
    WsaNotSocket = -10038,
    WsaMessageSize = -10040,
    WsaOpNotSupported = -10045,
    WsaNetDown = -10050,
    WsaNetReset = -10052,
    WsaConnAborted = -10053,
    WsaConnReset = -10054,
    WsaIsConnected = -10056,
    WsaNotConnected = -10057,
    WsaShutdown = -10058,
    WsaTimedOut = -10060,
    WsaConnRefused = -10061,
    WsaNotInitialised = -10093,
};

// The number of a code in the results that carry a count or a code.
constexpr int ToInt(ErrorCode code) { return static_cast<int>(code); }
// True when a result (a count, or a negative code) is `code`.
constexpr bool Is(std::int64_t result, ErrorCode code) { return result == ToInt(code); }
// The code a number stands for; no value for a number that is none.
std::optional<ErrorCode> ErrorFromInt(std::int64_t number);
// True for the negated Winsock numbers.
bool IsWinsockCode(ErrorCode code);

// errno to engine code, through the Winsock number of the same meaning.
ErrorCode ErrnoCode(int errnoValue);
// The message of a code, or an empty text when the table has none.
std::string SocketErrorText(ErrorCode code);
// The text that ReportSocketError logs for a code.
std::string SocketErrorReportText(ErrorCode code);

// The numeric entry points: thin adapters over the ones above.
// Winsock error number (positive) to engine code: the known numbers map to
// their negated value, everything else to Unmapped.
int MapSocketError(int winsockNumber);
int MapErrno(int errnoValue);
// An empty text for a number that is no code.
std::string SocketErrorText(int code);
// "未知错误" for a number that is no code.
std::string SocketErrorReportText(int code);

}  // namespace downlib

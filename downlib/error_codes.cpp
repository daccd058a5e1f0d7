// The engine's error table: socket errors mapped onto the negated Winsock
// numbers, and the texts that the log shows for them.
#include "downlib/error_codes.h"

#include <cerrno>

namespace downlib {
namespace {

constexpr const char* kUnknownText = "未知错误";

}  // namespace

std::optional<ErrorCode> ErrorFromInt(std::int64_t number) {
    if (number >= 0 || number < ToInt(ErrorCode::WsaNotInitialised)) return std::nullopt;
    const auto code = static_cast<ErrorCode>(number);
    // Every code listed: a number between them that is none falls through.
    switch (code) {
        case ErrorCode::Unmapped:
        case ErrorCode::Position:
        case ErrorCode::SocketState:
        case ErrorCode::NoBuffer:
        case ErrorCode::WaitFailed:
        case ErrorCode::SendWaitTimeout:
        case ErrorCode::Send:
        case ErrorCode::Receive:
        case ErrorCode::NotReady:
        case ErrorCode::ReceiveTimeout:
        case ErrorCode::ConnectTimeout:
        case ErrorCode::Stopped:
        case ErrorCode::StreamRead:
        case ErrorCode::PeerClosed:
        case ErrorCode::WsaInterrupted:
        case ErrorCode::WsaFault:
        case ErrorCode::WsaInvalid:
        case ErrorCode::WsaWouldBlock:
        case ErrorCode::WsaInProgress:
        case ErrorCode::WsaNotSocket:
        case ErrorCode::WsaMessageSize:
        case ErrorCode::WsaOpNotSupported:
        case ErrorCode::WsaNetDown:
        case ErrorCode::WsaNetReset:
        case ErrorCode::WsaConnAborted:
        case ErrorCode::WsaConnReset:
        case ErrorCode::WsaIsConnected:
        case ErrorCode::WsaNotConnected:
        case ErrorCode::WsaShutdown:
        case ErrorCode::WsaTimedOut:
        case ErrorCode::WsaConnRefused:
        case ErrorCode::WsaNotInitialised:
            return code;
    }
    return std::nullopt;
}

bool IsWinsockCode(ErrorCode code) { return ToInt(code) <= ToInt(ErrorCode::WsaInterrupted); }

int MapSocketError(int winsockNumber) {
    std::optional<ErrorCode> code = ErrorFromInt(-static_cast<std::int64_t>(winsockNumber));
    return code && IsWinsockCode(*code) ? ToInt(*code) : ToInt(ErrorCode::Unmapped);
}

ErrorCode ErrnoCode(int errnoValue) {
    switch (errnoValue) {
        case EINTR:
            return ErrorCode::WsaInterrupted;
        case EFAULT:
            return ErrorCode::WsaFault;
        case EINVAL:
            return ErrorCode::WsaInvalid;
        case EAGAIN:
            return ErrorCode::WsaWouldBlock;
        case EINPROGRESS:
            return ErrorCode::WsaInProgress;
        case EBADF:
        case ENOTSOCK:
            return ErrorCode::WsaNotSocket;
        case EMSGSIZE:
            return ErrorCode::WsaMessageSize;
        case EOPNOTSUPP:
            return ErrorCode::WsaOpNotSupported;
        case ENETDOWN:
        case ENETUNREACH:
            return ErrorCode::WsaNetDown;
        case ENETRESET:
            return ErrorCode::WsaNetReset;
        case ECONNABORTED:
            return ErrorCode::WsaConnAborted;
        case ECONNRESET:
        case EPIPE:
            return ErrorCode::WsaConnReset;
        case EISCONN:
            return ErrorCode::WsaIsConnected;
        case ENOTCONN:
            return ErrorCode::WsaNotConnected;
        case ESHUTDOWN:
            return ErrorCode::WsaShutdown;
        case ETIMEDOUT:
        case EHOSTUNREACH:
            return ErrorCode::WsaTimedOut;
        // Winsock's refusal number has a text of its own in no table, but the
        // log must still tell a refused port from a silent one.
        case ECONNREFUSED:
            return ErrorCode::WsaConnRefused;
        default:  // errno values, not codes: most have no Winsock twin
            return ErrorCode::Unmapped;
    }
}

int MapErrno(int errnoValue) { return ToInt(ErrnoCode(errnoValue)); }

std::string SocketErrorText(ErrorCode code) {
    switch (code) {
        case ErrorCode::SendWaitTimeout:
            return "SELECT超时.";
        case ErrorCode::WsaNotInitialised:
            return "应用程序没有调用 WSAStartup，或者 WSAStartup 失败。";
        case ErrorCode::WsaNetDown:
            return "套接字操作遇到了一个已死的网络。";
        case ErrorCode::WsaFault:
            return "系统检测到在一个调用中尝试使用指针参数时的无效指针地址。";
        case ErrorCode::WsaNotConnected:
            return "由于套接字没有连接并且(当使用一个 sendto 调用发送数据报套接字时)没有提供地址，"
                   "发送或接收数据的请求没有被接受";
        case ErrorCode::WsaInterrupted:
            return "一个封锁操作被对 WSACancelBlockingCall 的调用中断。";
        case ErrorCode::WsaInProgress:
            return "目前正在执行一个阻挡性操作。";
        case ErrorCode::WsaNetReset:
            return "当该操作在进行中，由于保持活动的操作检测到一个故障，该连接中断。";
        case ErrorCode::WsaNotSocket:
            return "在一个非套接字上尝试了一个操作。";
        case ErrorCode::WsaOpNotSupported:
            return "参考的对象类型不支持尝试的操作。";
        case ErrorCode::WsaShutdown:
            return "由于以前的关闭调用，套接字在那个方向已经关闭，发送或接收数据的请求没有被接受。";
        case ErrorCode::WsaWouldBlock:
            return "无法立即完成一个非阻挡性套接字操作。";
        case ErrorCode::WsaMessageSize:
            return "用户用于接收数据报的缓冲器比数据报小。";
        case ErrorCode::WsaInvalid:
            return "过程调用无效。";
        case ErrorCode::WsaConnAborted:
            return "您的主机中的软件放弃了一个已建立的连接。";
        case ErrorCode::WsaTimedOut:
            return "由于连接方在一段时间后没有正确答复或连接的主机没有反应，连接尝试失败。";
        case ErrorCode::WsaConnReset:
            return "远程主机强迫关闭了一个现有的连接。";
        // A refused connection: Winsock's own wording for 10061.
        case ErrorCode::WsaConnRefused:
            return "由于目标计算机积极拒绝，无法连接。";
        // The engine's own codes have their texts in the report table only.
        case ErrorCode::Unmapped:
        case ErrorCode::Position:
        case ErrorCode::SocketState:
        case ErrorCode::NoBuffer:
        case ErrorCode::WaitFailed:
        case ErrorCode::Send:
        case ErrorCode::Receive:
        case ErrorCode::NotReady:
        case ErrorCode::ReceiveTimeout:
        case ErrorCode::ConnectTimeout:
        case ErrorCode::Stopped:
        case ErrorCode::StreamRead:
        case ErrorCode::PeerClosed:
        case ErrorCode::WsaIsConnected:  // mapped, but the table has no message for it
            return {};
    }
    return {};
}

std::string SocketErrorReportText(ErrorCode code) {
    switch (code) {
        case ErrorCode::PeerClosed:
            return "有错误发生";
        case ErrorCode::StreamRead:
            return "读MMS数据错误";
        case ErrorCode::ReceiveTimeout:
            return "接收数据超时";
        case ErrorCode::NotReady:
            return "FD_ISSET 找不到需要的SOCK";
        case ErrorCode::Receive:
            return "接收数据错误";
        case ErrorCode::Send:
            return "发送数据错误";
        case ErrorCode::SendWaitTimeout:
            return "等待接收或发送数据超时";
        case ErrorCode::WaitFailed:
            return "等待接收或发送数据错误";
        case ErrorCode::NoBuffer:
            return "空指针错误";
        case ErrorCode::SocketState:
            return "设置或获得SOCK状态出错";
        case ErrorCode::Position:
            return "位置错误";
        // Never reported with a text of their own: a connect time-out and a
        // stop have their own log lines, and an unmapped error has no name.
        case ErrorCode::Unmapped:
        case ErrorCode::ConnectTimeout:
        case ErrorCode::Stopped:
            return kUnknownText;
        case ErrorCode::WsaInterrupted:
        case ErrorCode::WsaFault:
        case ErrorCode::WsaInvalid:
        case ErrorCode::WsaWouldBlock:
        case ErrorCode::WsaInProgress:
        case ErrorCode::WsaNotSocket:
        case ErrorCode::WsaMessageSize:
        case ErrorCode::WsaOpNotSupported:
        case ErrorCode::WsaNetDown:
        case ErrorCode::WsaNetReset:
        case ErrorCode::WsaConnAborted:
        case ErrorCode::WsaConnReset:
        case ErrorCode::WsaIsConnected:
        case ErrorCode::WsaNotConnected:
        case ErrorCode::WsaShutdown:
        case ErrorCode::WsaTimedOut:
        case ErrorCode::WsaConnRefused:
        case ErrorCode::WsaNotInitialised:
            break;
    }
    std::string text = SocketErrorText(code);
    return text.empty() ? std::string(kUnknownText) : text;
}

std::string SocketErrorText(int code) {
    std::optional<ErrorCode> known = ErrorFromInt(code);
    return known ? SocketErrorText(*known) : std::string();
}

std::string SocketErrorReportText(int code) {
    std::optional<ErrorCode> known = ErrorFromInt(code);
    return known ? SocketErrorReportText(*known) : std::string(kUnknownText);
}

}  // namespace downlib

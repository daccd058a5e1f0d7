// The engine's error table: socket errors mapped onto the negated Winsock
// numbers, and the texts that the log shows for them.
#include "downlib/error_codes.h"

#include <cerrno>

namespace downlib {

int MapSocketError(int winsockNumber) {
    switch (-winsockNumber) {
        case kWsaInterrupted:
        case kWsaFault:
        case kWsaInvalid:
        case kWsaWouldBlock:
        case kWsaInProgress:
        case kWsaNotSocket:
        case kWsaMessageSize:
        case kWsaOpNotSupported:
        case kWsaNetDown:
        case kWsaNetReset:
        case kWsaConnAborted:
        case kWsaConnReset:
        case kWsaIsConnected:
        case kWsaNotConnected:
        case kWsaShutdown:
        case kWsaTimedOut:
        case kWsaConnRefused:
        case kWsaNotInitialised:
            return -winsockNumber;
        default:
            return kErrUnmapped;
    }
}

int MapErrno(int errnoValue) {
    switch (errnoValue) {
        case EINTR:
            return kWsaInterrupted;
        case EFAULT:
            return kWsaFault;
        case EINVAL:
            return kWsaInvalid;
        case EAGAIN:
            return kWsaWouldBlock;
        case EINPROGRESS:
            return kWsaInProgress;
        case EBADF:
        case ENOTSOCK:
            return kWsaNotSocket;
        case EMSGSIZE:
            return kWsaMessageSize;
        case EOPNOTSUPP:
            return kWsaOpNotSupported;
        case ENETDOWN:
        case ENETUNREACH:
            return kWsaNetDown;
        case ENETRESET:
            return kWsaNetReset;
        case ECONNABORTED:
            return kWsaConnAborted;
        case ECONNRESET:
        case EPIPE:
            return kWsaConnReset;
        case EISCONN:
            return kWsaIsConnected;
        case ENOTCONN:
            return kWsaNotConnected;
        case ESHUTDOWN:
            return kWsaShutdown;
        case ETIMEDOUT:
        case EHOSTUNREACH:
            return kWsaTimedOut;
        // Winsock's refusal number has a text of its own in no table, but the
        // log must still tell a refused port from a silent one.
        case ECONNREFUSED:
            return kWsaConnRefused;
        default:
            return kErrUnmapped;
    }
}

std::string SocketErrorText(int code) {
    switch (code) {
        case kErrSendWaitTimeout:
            return "SELECT超时.";
        case kWsaNotInitialised:
            return "应用程序没有调用 WSAStartup，或者 WSAStartup 失败。";
        case kWsaNetDown:
            return "套接字操作遇到了一个已死的网络。";
        case kWsaFault:
            return "系统检测到在一个调用中尝试使用指针参数时的无效指针地址。";
        case kWsaNotConnected:
            return "由于套接字没有连接并且(当使用一个 sendto 调用发送数据报套接字时)没有提供地址，"
                   "发送或接收数据的请求没有被接受";
        case kWsaInterrupted:
            return "一个封锁操作被对 WSACancelBlockingCall 的调用中断。";
        case kWsaInProgress:
            return "目前正在执行一个阻挡性操作。";
        case kWsaNetReset:
            return "当该操作在进行中，由于保持活动的操作检测到一个故障，该连接中断。";
        case kWsaNotSocket:
            return "在一个非套接字上尝试了一个操作。";
        case kWsaOpNotSupported:
            return "参考的对象类型不支持尝试的操作。";
        case kWsaShutdown:
            return "由于以前的关闭调用，套接字在那个方向已经关闭，发送或接收数据的请求没有被接受。";
        case kWsaWouldBlock:
            return "无法立即完成一个非阻挡性套接字操作。";
        case kWsaMessageSize:
            return "用户用于接收数据报的缓冲器比数据报小。";
        case kWsaInvalid:
            return "过程调用无效。";
        case kWsaConnAborted:
            return "您的主机中的软件放弃了一个已建立的连接。";
        case kWsaTimedOut:
            return "由于连接方在一段时间后没有正确答复或连接的主机没有反应，连接尝试失败。";
        case kWsaConnReset:
            return "远程主机强迫关闭了一个现有的连接。";
        // A refused connection: Winsock's own wording for 10061.
        case kWsaConnRefused:
            return "由于目标计算机积极拒绝，无法连接。";
        default:
            return {};
    }
}

std::string SocketErrorReportText(int code) {
    switch (code) {
        case kErrPeerClosed:
            return "有错误发生";
        case kErrStreamRead:
            return "读MMS数据错误";
        case kErrReceiveTimeout:
            return "接收数据超时";
        case kErrNotReady:
            return "FD_ISSET 找不到需要的SOCK";
        case kErrReceive:
            return "接收数据错误";
        case kErrSend:
            return "发送数据错误";
        case kErrSendWaitTimeout:
            return "等待接收或发送数据超时";
        case kErrWaitFailed:
            return "等待接收或发送数据错误";
        case kErrNoBuffer:
            return "空指针错误";
        case kErrSocketState:
            return "设置或获得SOCK状态出错";
        case kErrPosition:
            return "位置错误";
        default:
            break;
    }
    std::string text = SocketErrorText(code);
    return text.empty() ? std::string("未知错误") : text;
}

}  // namespace downlib

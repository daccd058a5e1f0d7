// FTP over TLS: the control connection's encryption, the certificate
// decision and the data connections' handshakes.
#include "downlib/ftp_tls.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "downlib/certificate_store.h"
#include "downlib/control_connection.h"
#include "downlib/data_channel.h"
#include "downlib/error_codes.h"

namespace downlib {
namespace {

enum class Handshaken { Done, Failed, Stopped };

// Drives a handshake within the deadline, in wait cycles that notice a stop.
Handshaken RunHandshake(SessionConnection& connection, TlsStream& tls, int fd, const Deadline& deadline) {
    while (true) {
        const TlsStep step = tls.Handshake();
        if (step == TlsStep::Done) return Handshaken::Done;
        if (step == TlsStep::Failed) return Handshaken::Failed;
        if (connection.StopRequested()) return Handshaken::Stopped;
        if (deadline.Passed()) return Handshaken::Failed;
        if (tls.Waiting() == TlsWait::Readable) {
            if (WaitReadable(fd, kWaitCycleMs) == Ready::Failed) return Handshaken::Failed;
        } else if (PollPeer(fd, 0) == PeerState::Reset) {
            return Handshaken::Failed;
        }
    }
}

std::string EncryptedText(const TlsStream& tls) {
    return "已建立TLS加密连接: " + tls.Version() + ", " + tls.Cipher();
}

void LogStoreProblems(SessionConnection& connection, const CertificateStore& store) {
    for (const std::string& problem : store.problems) EmitLog(connection, problem, LogError);
}

// Whether the certificate of the control connection is accepted; asks the
// user when nothing else vouches for it.
bool AcceptCertificate(SessionConnection& connection, const TlsStream& tls) {
    TransferSession& session = *connection.session;
    const PeerCertificate peer = tls.Peer();
    if (peer.fingerprint.empty()) {
        EmitLog(connection, "无法读取服务器证书", LogError);
        return false;
    }
    if (peer.problem.empty() || peer.fingerprint == session.acceptedFingerprint) {
        session.acceptedFingerprint = peer.fingerprint;
        return true;
    }
    EmitLog(connection, "服务器证书未通过验证: " + peer.problem, LogError);
    EmitLog(connection, "证书SHA-256指纹: " + peer.fingerprint, LogInfo);
    if (peer.fingerprint == session.refusedFingerprint) {
        EmitLog(connection, "证书已被拒绝, 连接已结束", LogError);
        return false;
    }
    for (const std::string& trusted : session.tlsTrust.fingerprints) {
        if (NormalizeFingerprint(trusted) == peer.fingerprint) {
            EmitLog(connection, "证书指纹与指定的指纹一致, 信任此证书", LogInfo);
            session.acceptedFingerprint = peer.fingerprint;
            return true;
        }
    }
    const std::string key = StoreKey(session.host, session.port);
    std::string known;
    if (!session.tlsTrust.storePath.empty()) {
        const CertificateStore store = LoadCertificateStore(session.tlsTrust.storePath);
        LogStoreProblems(connection, store);
        if (const TrustedCertificate* entry = FindTrusted(store, key)) {
            if (entry->fingerprint == peer.fingerprint) {
                EmitLog(connection, "证书已被设为总是信任", LogInfo);
                session.acceptedFingerprint = peer.fingerprint;
                return true;
            }
            known = entry->fingerprint;
            EmitLog(connection,
                    "警告: " + key + " 的证书已改变! 以前信任的指纹: " + known +
                        ", 现在的指纹: " + peer.fingerprint,
                    LogError);
        }
    }
    CertificateAnswer answer = CertificateAnswer::Refuse;
    if (session.tlsTrust.ask) {
        answer = session.tlsTrust.ask(CertificateQuestion{session.host, session.port, peer.fingerprint,
                                                          peer.subject, peer.issuer, peer.notBefore,
                                                          peer.notAfter, peer.problem, known});
    }
    switch (answer) {
        case CertificateAnswer::Refuse:
            session.refusedFingerprint = peer.fingerprint;
            EmitLog(connection, "未信任的证书, 连接已结束", LogError);
            return false;
        case CertificateAnswer::TrustOnce:
            EmitLog(connection, "本次信任此证书", LogInfo);
            break;
        case CertificateAnswer::TrustAlways: {
            std::string problem;
            if (session.tlsTrust.storePath.empty() ||
                !SaveTrustedCertificate(session.tlsTrust.storePath,
                                        TrustedCertificate{key, peer.fingerprint, peer.subject, peer.issuer,
                                                           peer.notBefore, peer.notAfter},
                                        &problem)) {
                EmitLog(connection, problem.empty() ? "没有证书信任文件, 只在本次信任此证书" : problem,
                        LogError);
            } else {
                EmitLog(connection, "总是信任此证书, 已保存", LogInfo);
            }
            break;
        }
    }
    session.acceptedFingerprint = peer.fingerprint;
    return true;
}

// The handshake of the control connection, its certificate and its log line.
TlsStart SecureControl(SessionConnection& connection) {
    TransferSession& session = *connection.session;
    if (!session.tlsContext) return TlsStart::Failed;
    std::unique_ptr<TlsStream> tls =
        TlsStream::Begin(*session.tlsContext, connection.control.fd(), session.host, nullptr);
    if (!tls) {
        EmitLog(connection, "无法建立TLS连接", LogError);
        return TlsStart::Failed;
    }
    const Handshaken result =
        RunHandshake(connection, *tls, connection.control.fd(), Deadline::After(session.replyTimeout));
    if (result != Handshaken::Done) {
        if (result == Handshaken::Failed) EmitLog(connection, "TLS握手失败: " + tls->FailureText(), LogError);
        return TlsStart::Failed;
    }
    if (!AcceptCertificate(connection, *tls)) return TlsStart::Failed;
    EmitLog(connection, EncryptedText(*tls), LogInfo);
    connection.control.AttachTls(std::move(tls));
    return TlsStart::Encrypted;
}

bool IsTransferVerb(const std::string& command) {
    static const char* const kVerbs[] = {"RETR", "STOR", "APPE", "LIST", "NLST", "MLSD", "STOU"};
    for (const char* verb : kVerbs) {
        const std::string v(verb);
        if (command.size() >= v.size() && command.compare(0, v.size(), v) == 0 &&
            (command.size() == v.size() || command[v.size()] == ' '))
            return true;
    }
    return false;
}

// The control connection has something to say: decrypted bytes waiting, or
// bytes on the socket.
bool ControlSpeaks(const SessionConnection& connection) {
    return PollPeer(connection.control, 0) != PeerState::Quiet;
}

}  // namespace

TlsStart SecureControlAfterConnect(SessionConnection& connection) {
    if (connection.session->tlsMode != TlsMode::Implicit) return TlsStart::Plain;
    return SecureControl(connection);
}

TlsStart SecureControlAfterGreeting(SessionConnection& connection) {
    TransferSession& session = *connection.session;
    if (session.tlsMode != TlsMode::Auto && session.tlsMode != TlsMode::Required) return TlsStart::Plain;
    std::string reply;
    EmitLog(connection, "AUTH TLS", LogCommand);
    const int code = SendCommand(connection, "AUTH TLS", reply, session.replyTimeout);
    if (code == 234) return SecureControl(connection);
    if (code >= 500 && code <= 599 && session.tlsMode == TlsMode::Auto) {
        EmitLog(connection, "服务器不支持TLS加密: 密码和数据将以明文传送", LogError);
        return TlsStart::Plain;
    }
    EmitLog(connection, "服务器拒绝TLS加密, 连接已结束, 用户名和密码都没有发送", LogError);
    return TlsStart::Failed;
}

bool ProtectDataAfterLogin(SessionConnection& connection) {
    if (!connection.control.Tls()) return true;
    TransferSession& session = *connection.session;
    std::string reply;
    EmitLog(connection, "PBSZ 0", LogCommand);
    int code = SendCommand(connection, "PBSZ 0", reply, session.replyTimeout);
    if (code < 200 || code > 299) {
        EmitLog(connection, "服务器拒绝PBSZ 0, 数据无法加密, 连接已结束", LogError);
        return false;
    }
    EmitLog(connection, "PROT P", LogCommand);
    code = SendCommand(connection, "PROT P", reply, session.replyTimeout);
    if (code < 200 || code > 299) {
        // Having asked for TLS, going on with data in clear would betray that.
        EmitLog(connection, "服务器拒绝PROT P, 数据无法加密, 连接已结束", LogError);
        return false;
    }
    return true;
}

bool DataHandshakeDue(const SessionConnection& connection, const std::string& command) {
    return connection.control.Tls() && (connection.data || connection.listening) && !connection.data.Tls() &&
           IsTransferVerb(command);
}

int CompleteTransferCommand(SessionConnection& connection, std::string& reply, int timeoutMs) {
    TransferSession& session = *connection.session;
    const Deadline deadline = Deadline::After(timeoutMs);
    int early = 0;
    std::string earlyReply;
    // Reads the reply that arrived meanwhile; true when the transfer goes on.
    auto hearReply = [&](int& finalCode) {
        std::string text;
        const int code = ReadReply(connection, text, deadline);
        if (code >= 100 && code <= 199 && early == 0) {
            early = code;
            earlyReply = text;
            return true;
        }
        finalCode = code;
        reply = text;
        return false;
    };
    int finalCode = 0;
    // Active mode: the server connects to us once it has the command.
    while (!connection.data && connection.listening) {
        if (connection.StopRequested() || deadline.Passed()) {
            CloseDataChannel(connection);
            return early ? ReadPendingReply(connection, timeoutMs) : 0;
        }
        if (WaitReadable(connection.listening.fd(), kWaitCycleMs) == Ready::Yes) {
            const int accepted = ::accept4(connection.listening.fd(), nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0) connection.data = Socket(accepted);
            connection.listening.Close();
            break;
        }
        if (early == 0 && ControlSpeaks(connection) && !hearReply(finalCode)) {
            CloseDataChannel(connection);
            return finalCode;
        }
    }
    if (!connection.data) {
        CloseDataChannel(connection);
        return early ? ReadPendingReply(connection, timeoutMs) : 0;
    }
    const int fd = connection.data.fd();
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SslSessionPtr resume = connection.control.Tls()->SessionForResumption();
    std::unique_ptr<TlsStream> tls = TlsStream::Begin(*session.tlsContext, fd, session.host, resume.get());
    bool done = false;
    bool failed = !tls;
    while (!done && !failed) {
        const TlsStep step = tls->Handshake();
        if (step == TlsStep::Done) {
            done = true;
            break;
        }
        if (step == TlsStep::Failed || connection.StopRequested() || deadline.Passed()) {
            failed = true;
            break;
        }
        if (tls->Waiting() == TlsWait::Readable) WaitReadable(fd, kWaitCycleMs);
        if (early == 0 && ControlSpeaks(connection) && !hearReply(finalCode)) {
            // The server answered with a failure: the handshake has no partner.
            CloseDataChannel(connection);
            return finalCode;
        }
    }
    // The control connection's certificate was accepted (perhaps by an
    // earlier task, when the connection was kept); the data connection must
    // show the same one.
    if (done && tls->Peer().fingerprint != connection.control.Tls()->Peer().fingerprint) {
        EmitLog(connection, "数据连接的证书与控制连接的不同, 已断开", LogError);
        failed = true;
    }
    if (failed) {
        if (!connection.StopRequested())
            EmitLog(connection, "数据连接TLS握手失败: " + (tls ? tls->FailureText() : std::string()),
                    LogError);
        CloseDataChannel(connection);
        if (early == 0) {
            const int code = ReadReply(connection, reply, deadline);
            if (code < 100 || code > 199) return code;
        }
        const int code = ReadPendingReply(connection, timeoutMs);
        reply = connection.lastReply;
        return code > 0 ? code : 0;
    }
    connection.data.AttachTls(std::move(tls));
    if (early) {
        reply = earlyReply;
        return early;
    }
    return ReadReply(connection, reply, deadline);
}

}  // namespace downlib

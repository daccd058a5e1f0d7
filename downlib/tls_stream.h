// TLS on one connected socket, client side, on OpenSSL 3: the handshake in
// steps (the caller waits for readiness, so every wait stays bounded and
// stoppable), reads and writes that never block, the close_notify at the end,
// and what the log and the trust decision need to know of the peer. Socket
// owns one of these once its connection is encrypted. Key material never
// leaves this file.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <memory>
#include <string>

namespace downlib {

struct SslDeleter {
    void operator()(SSL* ssl) const;
    void operator()(SSL_CTX* context) const;
    void operator()(SSL_SESSION* session) const;
    void operator()(X509* certificate) const;
};
using SslSessionPtr = std::unique_ptr<SSL_SESSION, SslDeleter>;

// The client settings every TLS connection of a session shares: the system's
// trusted authorities, TLS 1.2 at least, partial writes. Null when OpenSSL
// cannot make one.
class TlsContext {
public:
    static std::shared_ptr<TlsContext> Create();
    // One context for every session of the process: making one reads the
    // system's whole certificate bundle (tens of milliseconds), far more than
    // a task on a kept connection costs otherwise. Null when it cannot be made.
    static std::shared_ptr<TlsContext> Shared();
    SSL_CTX* Handle() const { return context_.get(); }

private:
    std::unique_ptr<SSL_CTX, SslDeleter> context_;
};

// What the peer's certificate says, for the log, the question and the store.
struct PeerCertificate {
    std::string fingerprint;  // SHA-256, "AB:CD:..." upper case
    std::string subject;
    std::string issuer;
    std::string notBefore;
    std::string notAfter;
    std::string problem;  // why the system could not verify it; empty when it could
};

// One handshake step, or one read or write that could not finish now.
enum class TlsWait { None, Readable, Writable };
enum class TlsStep { Done, Again, Failed };

class TlsStream {
public:
    // A client stream on `fd` checking the name `host` (a dotted IPv4 text is
    // checked as an address). `resume`, when given, is offered for resumption.
    static std::unique_ptr<TlsStream> Begin(const TlsContext& context, int fd, const std::string& host,
                                            SSL_SESSION* resume);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // Drives the handshake; Again with the readiness to wait for in Waiting().
    TlsStep Handshake();
    // Bytes read (> 0); 0 when nothing can be read now (see Waiting()); or a
    // negative engine code: PeerClosed at the end of the stream (cleanly or
    // not, see EndedCleanly), Receive for a TLS failure.
    std::int64_t Read(char* buffer, std::size_t length);
    // Bytes written (> 0), 0 when nothing can be written now, or Send.
    std::int64_t Write(const char* data, std::size_t length);
    // Sends close_notify once; Again while the socket has no room for it.
    TlsStep SendCloseNotify();
    TlsWait Waiting() const { return wait_; }
    // Decrypted bytes waiting inside the stream, which a poll cannot see.
    bool HasBuffered() const;
    // True once the peer ended its stream with close_notify: no truncation.
    bool EndedCleanly() const { return endedCleanly_; }
    bool Reused() const;
    std::string Version() const;
    std::string Cipher() const;
    // The session to offer on the next connection to the same server. The
    // newest one: under TLS 1.3 the tickets arrive after the handshake.
    SslSessionPtr SessionForResumption() const;
    PeerCertificate Peer() const;
    // The last OpenSSL failure text, for the log.
    const std::string& FailureText() const { return failure_; }

private:
    TlsStream() = default;
    void NoteFailure(int result);

    std::unique_ptr<SSL, SslDeleter> ssl_;
    TlsWait wait_ = TlsWait::None;
    bool endedCleanly_ = false;
    bool closeNotifySent_ = false;
    std::string failure_;
};

// "AB:CD:..." from a fingerprint written with or without colons, either
// case; empty when it is not 64 hexadecimal digits.
std::string NormalizeFingerprint(const std::string& text);

}  // namespace downlib

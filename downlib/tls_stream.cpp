// OpenSSL behind the TLS stream. Sockets stay non-blocking while encrypted:
// every SSL call returns at once and the caller's readiness waits keep their
// bounds and their stop checks.
#include "downlib/tls_stream.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>

#include "downlib/error_codes.h"
#include "downlib/socket_address.h"
#include "downlib/socket_transport.h"

namespace downlib {

void SslDeleter::operator()(SSL* ssl) const { SSL_free(ssl); }
void SslDeleter::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
void SslDeleter::operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
void SslDeleter::operator()(X509* certificate) const { X509_free(certificate); }

std::shared_ptr<TlsContext> TlsContext::Create() {
    auto context = std::make_shared<TlsContext>();
    context->context_.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX* ctx = context->context_.get();
    if (!ctx) return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_default_verify_paths(ctx);
    // The handshake always completes; whether the certificate is accepted is
    // decided afterwards from the verify result, the store and the user.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // A data connection offers the control connection's session; the
    // context's own cache is not needed for that.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return context;
}

std::shared_ptr<TlsContext> TlsContext::Shared() {
    // The context is not changed after it is made, and OpenSSL lets threads
    // make connections from one context at once.
    static const std::shared_ptr<TlsContext> shared = Create();
    return shared;
}

namespace {

std::string ErrorQueueText() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char line[256] = {};
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text;
}

std::string NameText(X509_NAME* name) {
    if (!name) return {};
    char* text = X509_NAME_oneline(name, nullptr, 0);
    if (!text) return {};
    std::string out(text);
    OPENSSL_free(text);
    return out;
}

std::string TimeText(const ASN1_TIME* time) {
    if (!time) return {};
    BIO* bio = BIO_new(BIO_s_mem());
    if (!bio) return {};
    std::string out;
    if (ASN1_TIME_print(bio, time) == 1) {
        char* data = nullptr;
        long length = BIO_ctrl(bio, BIO_CTRL_INFO, 0, static_cast<void*>(&data));
        if (data && length > 0) out.assign(data, static_cast<std::size_t>(length));
    }
    BIO_free(bio);
    return out;
}

std::string HexFingerprint(const unsigned char* digest, unsigned int length) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        if (i) out += ':';
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 15];
    }
    return out;
}

}  // namespace

std::unique_ptr<TlsStream> TlsStream::Begin(const TlsContext& context, int fd, const std::string& host,
                                            SSL_SESSION* resume) {
    std::unique_ptr<TlsStream> stream(new TlsStream());
    stream->ssl_.reset(SSL_new(context.Handle()));
    SSL* ssl = stream->ssl_.get();
    if (!ssl || SSL_set_fd(ssl, fd) != 1) return nullptr;
    SSL_set_connect_state(ssl);
    if (IsDottedQuad(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    } else {
        SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char*>(host.c_str()));
        SSL_set1_host(ssl, host.c_str());
    }
    if (resume) SSL_set_session(ssl, resume);
    SetNonBlocking(fd);
    return stream;
}

TlsStream::~TlsStream() = default;

void TlsStream::NoteFailure(int result) {
    const int error = SSL_get_error(ssl_.get(), result);
    wait_ = TlsWait::None;
    if (error == SSL_ERROR_WANT_READ) wait_ = TlsWait::Readable;
    if (error == SSL_ERROR_WANT_WRITE) wait_ = TlsWait::Writable;
    if (wait_ == TlsWait::None) {
        failure_ = ErrorQueueText();
        if (failure_.empty()) failure_ = "SSL error " + std::to_string(error);
    }
}

TlsStep TlsStream::Handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_.get());
    if (result == 1) {
        wait_ = TlsWait::None;
        return TlsStep::Done;
    }
    NoteFailure(result);
    return wait_ == TlsWait::None ? TlsStep::Failed : TlsStep::Again;
}

std::int64_t TlsStream::Read(char* buffer, std::size_t length) {
    ERR_clear_error();
    std::size_t done = 0;
    const int result = SSL_read_ex(ssl_.get(), buffer, length, &done);
    if (result == 1) {
        wait_ = TlsWait::None;
        return static_cast<std::int64_t>(done);
    }
    const int error = SSL_get_error(ssl_.get(), result);
    if (error == SSL_ERROR_ZERO_RETURN) {
        endedCleanly_ = true;
        return ToInt(ErrorCode::PeerClosed);
    }
    // A stream that stops without close_notify reads as an end too; whoever
    // reads it decides whether what came is whole.
    const bool cut =
        (error == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) ||
        (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0);
    NoteFailure(result);
    if (wait_ != TlsWait::None) return 0;
    if (cut) return ToInt(ErrorCode::PeerClosed);
    return ToInt(ErrorCode::Receive);
}

std::int64_t TlsStream::Write(const char* data, std::size_t length) {
    ERR_clear_error();
    std::size_t done = 0;
    const int result = SSL_write_ex(ssl_.get(), data, length, &done);
    if (result == 1) {
        wait_ = TlsWait::None;
        return static_cast<std::int64_t>(done);
    }
    NoteFailure(result);
    return wait_ != TlsWait::None ? 0 : ToInt(ErrorCode::Send);
}

TlsStep TlsStream::SendCloseNotify() {
    if (closeNotifySent_) return TlsStep::Done;
    ERR_clear_error();
    const int result = SSL_shutdown(ssl_.get());
    if (result >= 0) {
        closeNotifySent_ = true;
        return TlsStep::Done;
    }
    NoteFailure(result);
    return wait_ == TlsWait::None ? TlsStep::Failed : TlsStep::Again;
}

bool TlsStream::HasBuffered() const { return SSL_pending(ssl_.get()) > 0; }

bool TlsStream::Reused() const { return SSL_session_reused(ssl_.get()) == 1; }

std::string TlsStream::Version() const { return SSL_get_version(ssl_.get()); }

std::string TlsStream::Cipher() const {
    const char* name = SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_.get()));
    return name ? name : "";
}

SslSessionPtr TlsStream::SessionForResumption() const { return SslSessionPtr(SSL_get1_session(ssl_.get())); }

PeerCertificate TlsStream::Peer() const {
    PeerCertificate peer;
    std::unique_ptr<X509, SslDeleter> certificate(SSL_get1_peer_certificate(ssl_.get()));
    if (!certificate) {
        peer.problem = "服务器没有出示证书";
        return peer;
    }
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int length = 0;
    if (X509_digest(certificate.get(), EVP_sha256(), digest, &length) == 1)
        peer.fingerprint = HexFingerprint(digest, length);
    peer.subject = NameText(X509_get_subject_name(certificate.get()));
    peer.issuer = NameText(X509_get_issuer_name(certificate.get()));
    peer.notBefore = TimeText(X509_get0_notBefore(certificate.get()));
    peer.notAfter = TimeText(X509_get0_notAfter(certificate.get()));
    const long verified = SSL_get_verify_result(ssl_.get());
    if (verified != X509_V_OK) peer.problem = X509_verify_cert_error_string(verified);
    return peer;
}

std::string NormalizeFingerprint(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        digits += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (digits.size() > 64) return {};
    }
    if (digits.size() != 64) return {};
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (i) out += ':';
        out += digits.substr(i, 2);
    }
    return out;
}

}  // namespace downlib

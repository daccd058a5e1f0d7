// The small FTP-over-TLS server of the TLS tests (tests/support/
// tls_ftp_server.py) on a free loopback port, with a certificate made for
// the run by the openssl program, and what it recorded: the raw bytes the
// clients sent on their control connections and the commands it understood.
// Stopped by its PID (SIGTERM, then SIGKILL), always reaped.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A certificate and its key in `folder` (cert.pem, key.pem): self-signed for
// the names in `altNames` ("DNS:localhost,IP:127.0.0.1"), or signed by the
// CA made beside it (ca.pem) when `signedByCa`. Empty on success, else why not.
std::string MakeTestCertificate(const std::string& folder, const std::string& altNames,
                                bool signedByCa = false);
// "AB:CD:..." of a PEM certificate file, as the openssl program prints it.
std::string CertificateFingerprint(const std::string& certificateFile);

class TlsTestServer {
public:
    // Serves `root` with the certificate of `certificateFolder`; `options`
    // are the server's misbehaviour switches (--refuse-auth, ...).
    static TlsTestServer Start(const std::string& root, const std::string& certificateFolder,
                               const std::string& stateFolder, const std::vector<std::string>& options);
    TlsTestServer(TlsTestServer&& other) noexcept;
    TlsTestServer(const TlsTestServer&) = delete;
    TlsTestServer& operator=(const TlsTestServer&) = delete;
    TlsTestServer& operator=(TlsTestServer&&) = delete;
    ~TlsTestServer();

    bool ok() const { return error_.empty() && pid_ > 0; }
    const std::string& error() const { return error_; }
    std::uint16_t port() const { return port_; }
    // Every byte the clients sent on control connections, as on the wire.
    std::string Wire() const;
    // The commands the server understood, one a line.
    std::string Commands() const;

private:
    TlsTestServer() = default;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::string error_;
    std::string wirePath_;
};

}  // namespace testsupport

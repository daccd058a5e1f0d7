// Real FTP servers for end-to-end tests, each started on a free loopback port
// with a directory of the test as its root, and stopped by its PID (SIGTERM,
// then SIGKILL after a bounded wait, always reaped).
//
// - pyftpdlib: tests/support/pyftpd_server.py under /usr/bin/python3 (Debian's
//   python3-pyftpdlib), user and password of the test, full permissions.
// - vsftpd: the binary unpacked by scripts/fetch-servers.sh into .servers/
//   (or $QFTP_VSFTPD), never the package's system service. The configuration
//   is made from tests/servers/vsftpd.conf.in. The log-in is a virtual user
//   checked by pam_userdb against a database written for this run, mapped onto
//   the launching user and chrooted into the root; a PAM service file
//   /etc/pam.d/quorvel-test-<pid>-<n> exists while the server runs. This
//   needs root (PAM, chroot), which the test machines have.
// - pure-ftpd: the unpacked binary (or $QFTP_PUREFTPD), configuration from
//   tests/servers/pure-ftpd.conf.in, a virtual user in a PureDB file made by
//   the unpacked pure-pw, chrooted into the root. pure-ftpd refuses users
//   mapped onto uid 0, so the user runs as "nobody", and the root gets ACLs
//   that let nobody change everything in it, including what the test creates
//   later. Needs root (chroot) and a file system with ACLs.
// - proftpd: the unpacked binary (or $QFTP_PROFTPD), configuration from
//   tests/servers/proftpd.conf.in, the user in an AuthUserFile mapped onto
//   the launching user, chrooted into the root. Needs root (chroot).
//
// User names and passwords of the account files must not hold ':' or a line
// break (the files' field and record separators); Start() fails on them.
//
// A server that cannot start is not a skip: ok() is false and error() says
// why, and the test is expected to fail on it:
//     auto server = RealServer::StartVsftpd(root.Path(), "u", "p");
//     ASSERT_TRUE(server.ok()) << server.error();
//
// The servers die with the thread that started them (PR_SET_PDEATHSIG), so a
// crashed test leaves nothing running: start them on the test's own thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

enum class ServerKind { Pyftpdlib, Vsftpd, PureFtpd, ProFtpd };

// Every kind, in a fixed order: suites that run against real servers take
// their parameters from here, so a server added later runs them all.
const std::vector<ServerKind>& AllServerKinds();
// A name usable in test names: "pyftpdlib", "vsftpd", "pureftpd", "proftpd".
std::string ServerKindName(ServerKind kind);
// Lets test frameworks print a parameter by name.
inline void PrintTo(ServerKind kind, std::ostream* out) { *out << ServerKindName(kind); }

class RealServer {
public:
    static RealServer Start(ServerKind kind, const std::string& root, const std::string& user,
                            const std::string& password);
    // The same server also offering explicit TLS (AUTH TLS, not forced) with
    // the certificate and key of `certificateFolder` (cert.pem, key.pem, see
    // MakeTestCertificate). vsftpd and proftpd then demand that every data
    // connection resumes the control connection's TLS session, as they do by
    // default; proftpd loads mod_tls from proftpd-mod-crypto (unpacked by
    // scripts/fetch-servers.sh) and writes its TLS log beside its own log.
    static RealServer StartWithTls(ServerKind kind, const std::string& root, const std::string& user,
                                   const std::string& password, const std::string& certificateFolder);
    static RealServer StartPyftpd(const std::string& root, const std::string& user,
                                  const std::string& password);
    static RealServer StartVsftpd(const std::string& root, const std::string& user,
                                  const std::string& password);
    // vsftpd with further lines of configuration ("max_per_ip=1\n").
    static RealServer StartVsftpdWith(const std::string& root, const std::string& user,
                                      const std::string& password, const std::string& settings);
    static RealServer StartPureFtpd(const std::string& root, const std::string& user,
                                    const std::string& password);
    static RealServer StartProFtpd(const std::string& root, const std::string& user,
                                   const std::string& password);

    RealServer(RealServer&& other) noexcept;
    RealServer& operator=(RealServer&& other) noexcept;
    RealServer(const RealServer&) = delete;
    RealServer& operator=(const RealServer&) = delete;
    ~RealServer();

    bool ok() const { return error_.empty() && pid_ > 0; }
    const std::string& error() const { return error_; }
    ServerKind Kind() const { return kind_; }
    std::string Name() const { return ServerKindName(kind_); }
    const std::string& Host() const { return host_; }
    std::uint16_t port() const { return port_; }
    const std::string& User() const { return user_; }
    const std::string& Password() const { return password_; }
    // The server's root directory in the local file system.
    const std::string& Root() const { return root_; }
    pid_t Pid() const { return pid_; }
    // "ftp://127.0.0.1:<port>" followed by path (no credentials in it).
    std::string Url(std::string_view path = "/") const;
    // The server's own log (its standard error and log file), for failure messages.
    std::string Log() const;
    // proftpd's whole TLS log (one line per handshake, saying whether a data
    // connection resumed the control connection's session); empty for the
    // other servers and for proftpd started without TLS.
    std::string TlsLog() const;

    // SIGTERM, up to 3 s for the exit, then SIGKILL; reaps the process and
    // removes the run's files. True when the process is gone. Idempotent.
    bool Stop();

private:
    struct Files;
    explicit RealServer(ServerKind kind);
    RealServer Failed(std::string why);
    // Starts the server from the arguments that configure(port) returns for
    // a free port and waits for its greeting; a port taken in the meantime is
    // retried with another. Empty on success, otherwise why not.
    std::string LaunchOnFreePort(
        const std::string& binary,
        const std::function<std::string(std::uint16_t port, std::vector<std::string>* args)>& configure);

    ServerKind kind_;
    pid_t pid_ = -1;
    std::string error_;
    std::string host_ = "127.0.0.1";
    std::uint16_t port_ = 0;
    std::string user_;
    std::string password_;
    std::string root_;
    std::unique_ptr<Files> files_;  // state directory, log paths, PAM service file
    // Set only while StartWithTls runs the kind's own start.
    static thread_local std::string tlsFolder_;
    // Set only while StartVsftpdWith runs StartVsftpd.
    static thread_local std::string vsftpdSettings_;
};

}  // namespace testsupport

// Launching the TLS test server and making its certificates.
#include "support/tls_test_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/cli_runner.h"
#include "support/temp_dir.h"

namespace testsupport {
namespace {

constexpr int kStartLimitMs = 20000;

std::string Openssl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/openssl"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = RunProcess(argv);
    return result.ExitedWith(0) ? std::string() : "openssl failed: " + result.Summary();
}

}  // namespace

std::string MakeTestCertificate(const std::string& folder, const std::string& altNames, bool signedByCa) {
    const std::string cert = folder + "/cert.pem";
    const std::string key = folder + "/key.pem";
    if (!signedByCa) {
        return Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "30", "-subj", "/CN=quorvel-test", "-addext", "subjectAltName=" + altNames});
    }
    const std::string caCert = folder + "/ca.pem";
    const std::string caKey = folder + "/ca-key.pem";
    std::string error = Openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", caKey, "-out",
                                 caCert, "-days", "30", "-subj", "/CN=quorvel test CA"});
    if (!error.empty()) return error;
    error = Openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", folder + "/request.pem",
                     "-subj", "/CN=quorvel-test"});
    if (!error.empty()) return error;
    WriteFile(folder + "/ext.cnf", "subjectAltName=" + altNames + "\n");
    return Openssl({"x509", "-req", "-in", folder + "/request.pem", "-CA", caCert, "-CAkey", caKey,
                    "-CAcreateserial", "-out", cert, "-days", "30", "-extfile", folder + "/ext.cnf"});
}

std::string CertificateFingerprint(const std::string& certificateFile) {
    ProcessResult result =
        RunProcess({"/usr/bin/openssl", "x509", "-in", certificateFile, "-noout", "-fingerprint", "-sha256"});
    const std::size_t equals = result.out.find('=');
    if (!result.ExitedWith(0) || equals == std::string::npos) return {};
    std::string fingerprint = result.out.substr(equals + 1);
    while (!fingerprint.empty() && (fingerprint.back() == '\n' || fingerprint.back() == '\r'))
        fingerprint.pop_back();
    return fingerprint;
}

TlsTestServer TlsTestServer::Start(const std::string& root, const std::string& certificateFolder,
                                   const std::string& stateFolder, const std::vector<std::string>& options) {
    TlsTestServer server;
    server.wirePath_ = stateFolder + "/wire";
    std::vector<std::string> args{"/usr/bin/python3",
                                  std::string(QFTP_SOURCE_DIR) + "/tests/support/tls_ftp_server.py",
                                  root,
                                  certificateFolder + "/cert.pem",
                                  certificateFolder + "/key.pem",
                                  server.wirePath_};
    args.insert(args.end(), options.begin(), options.end());
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        server.error_ = "pipe failed";
        return server;
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    server.pid_ = pid;
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartLimitMs);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[64];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    const int port = std::atoi(line.c_str());
    if (port <= 0 || port > 65535) {
        server.error_ = "the TLS test server did not start: " + line;
        return server;
    }
    server.port_ = static_cast<std::uint16_t>(port);
    return server;
}

TlsTestServer::TlsTestServer(TlsTestServer&& other) noexcept
    : pid_(other.pid_),
      port_(other.port_),
      error_(std::move(other.error_)),
      wirePath_(std::move(other.wirePath_)) {
    other.pid_ = -1;
}

TlsTestServer::~TlsTestServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
}

std::string TlsTestServer::Wire() const { return ReadFile(wirePath_).value_or(""); }
std::string TlsTestServer::Commands() const { return ReadFile(wirePath_ + ".commands").value_or(""); }

}  // namespace testsupport

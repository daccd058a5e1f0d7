// quorvel-ftp-cli over TLS against the small TLS test server: each mode
// against servers that refuse AUTH TLS or PROT P, the certificate decisions
// (refused, trusted by fingerprint, trusted always, changed, verified by an
// authority, wrong name), data connections that must resume the control
// connection's session, downloads cut without close_notify, and the wire
// itself: the password never crosses it in clear once TLS was asked for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/cli_runner.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace {

using testsupport::ProcessResult;
using testsupport::TempDir;
using testsupport::TlsTestServer;

constexpr const char* kPassword = "Wire-Secret-7731";

class CliTls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(testsupport::WriteFile(root.file("a.txt"), "hello over tls\n"));
        ASSERT_TRUE(testsupport::WritePatternFile(root.file("big.bin"), 300000, 7));
        const std::string error =
            testsupport::MakeTestCertificate(certs.Path(), "DNS:localhost,IP:127.0.0.1");
        ASSERT_TRUE(error.empty()) << error;
        fingerprint = testsupport::CertificateFingerprint(certs.file("cert.pem"));
        ASSERT_EQ(fingerprint.size(), 95u);
    }

    TlsTestServer Serve(const std::vector<std::string>& options, const std::string& certificates = {}) {
        return TlsTestServer::Start(root.Path(), certificates.empty() ? certs.Path() : certificates,
                                    state.Path(), options);
    }

    ProcessResult Run(const TlsTestServer& server, std::vector<std::string> args,
                      const std::vector<std::string>& commands, const std::string& host = "127.0.0.1",
                      std::vector<std::string> env = {}) {
        std::vector<std::string> all = {"-u", "tester", "-p", kPassword, "-P", std::to_string(server.port()),
                                        "-t", "10000"};
        all.insert(all.end(), args.begin(), args.end());
        for (const std::string& c : commands) {
            all.push_back("-c");
            all.push_back(c);
        }
        all.push_back(host);
        testsupport::RunOptions options;
        options.timeout = std::chrono::seconds(90);
        options.extraEnv = {"XDG_CONFIG_HOME=" + config.Path(), "HOME=" + config.Path()};
        options.extraEnv.insert(options.extraEnv.end(), env.begin(), env.end());
        return testsupport::RunCli(all, options);
    }

    std::string Trust() const { return "--trust=SHA256:" + fingerprint; }

    TempDir root;
    TempDir certs;
    TempDir state;
    TempDir config;
    TempDir local;
    std::string fingerprint;
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(CliTls, EachModeAgainstServersThatAcceptOrRefuse) {
    struct Case {
        const char* name;
        std::vector<std::string> serverOptions;
        std::vector<std::string> cliArgs;
        bool trust;
        int exitCode;
        std::string stderrHas;
        bool userSent;
        bool passwordInClear;
    };
    const std::vector<Case> cases = {
        {"auto, AUTH refused: plain with an error line",
         {"--refuse-auth"},
         {},
         false,
         0,
         "3 服务器不支持TLS加密: 密码和数据将以明文传送",
         true,
         true},
        {"required, AUTH refused: no user name sent",
         {"--refuse-auth"},
         {"--tls", "required"},
         false,
         1,
         "3 服务器拒绝TLS加密",
         false,
         false},
        {"required: encrypted",
         {},
         {"--tls", "required"},
         true,
         0,
         "已建立TLS加密连接: TLSv1.3, TLS_",
         true,
         false},
        {"auto: encrypted when offered", {}, {}, true, 0, "已建立TLS加密连接: TLSv1.3", true, false},
        {"implicit", {"--implicit"}, {"--tls", "implicit"}, true, 0, "已建立TLS加密连接", true, false},
        {"required, PROT P refused",
         {"--refuse-prot"},
         {"--tls", "required"},
         true,
         1,
         "3 服务器拒绝PROT P",
         true,
         false},
        {"auto, PROT P refused: stops rather than send data in clear",
         {"--refuse-prot"},
         {},
         true,
         1,
         "3 服务器拒绝PROT P",
         true,
         false},
        {"off: the password crosses in clear", {}, {"--tls", "off"}, false, 0, "1 PASS ******", true, true},
        {"required, self-signed and no answer: refused with the fingerprint",
         {},
         {"--tls", "required"},
         false,
         1,
         "fingerprint: SHA256:",
         false,
         false},
        {"required, another fingerprint trusted: refused",
         {},
         {"--tls", "required", "--trust", "SHA256:" + std::string(64, 'a')},
         false,
         1,
         "未信任的证书",
         false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir caseState;
        TlsTestServer server =
            TlsTestServer::Start(root.Path(), certs.Path(), caseState.Path(), c.serverOptions);
        ASSERT_TRUE(server.ok()) << server.error();
        std::vector<std::string> args = c.cliArgs;
        if (c.trust) args.push_back(Trust());
        const ProcessResult result = Run(server, args, {"pwd", "ls"});
        EXPECT_TRUE(result.ExitedWith(c.exitCode)) << result.Summary();
        std::string wanted = c.stderrHas;
        if (const std::size_t mark = wanted.find("{fp}"); mark != std::string::npos)
            wanted.replace(mark, 4, fingerprint);
        EXPECT_TRUE(Contains(result.err, wanted)) << result.err;
        EXPECT_EQ(Contains(server.Commands(), "USER tester"), c.userSent) << server.Commands();
        EXPECT_EQ(Contains(server.Wire(), kPassword), c.passwordInClear);
        EXPECT_EQ(Contains(result.out, "a.txt"), c.exitCode == 0) << result.out;
    }
}

TEST_F(CliTls, TransfersResumeTheSessionAndCountEveryByte) {
    struct Case {
        const char* name;
        std::vector<std::string> serverOptions;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {"data connections must resume the control session", {"--require-reuse"}, 0},
        {"whole file without close_notify: the size proves it", {"--no-close-notify"}, 0},
        {"cut without close_notify before the size: fails", {"--cut-download", "100000"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir caseState;
        TempDir caseLocal;
        TlsTestServer server =
            TlsTestServer::Start(root.Path(), certs.Path(), caseState.Path(), c.serverOptions);
        ASSERT_TRUE(server.ok()) << server.error();
        const ProcessResult result =
            Run(server, {"--tls", "required", Trust()}, {"get /big.bin " + caseLocal.file("big.bin"), "ls"});
        EXPECT_TRUE(result.ExitedWith(c.exitCode)) << result.Summary();
        if (c.exitCode == 0) {
            EXPECT_EQ(testsupport::ReadFile(caseLocal.file("big.bin")),
                      testsupport::ReadFile(root.file("big.bin")));
        } else {
            EXPECT_NE(testsupport::ReadFile(caseLocal.file("big.bin")).value_or("").size(), 300000u);
        }
        EXPECT_FALSE(Contains(server.Wire(), kPassword));
    }
    // An upload ends with close_notify and arrives whole.
    TlsTestServer server = Serve({"--require-reuse"});
    ASSERT_TRUE(server.ok()) << server.error();
    ASSERT_TRUE(testsupport::WritePatternFile(local.file("up.bin"), 200001, 3));
    const ProcessResult put =
        Run(server, {"--tls", "required", Trust()}, {"put " + local.file("up.bin") + " /up.bin"});
    EXPECT_TRUE(put.ExitedWith(0)) << put.Summary();
    EXPECT_EQ(testsupport::ReadFile(root.file("up.bin")), testsupport::ReadFile(local.file("up.bin")));
}

TEST_F(CliTls, TrustedAlwaysIsKeptAndAChangedCertificateIsRefused) {
    const std::string scheme = "ftpes://127.0.0.1";
    {
        TlsTestServer server = Serve({});
        ASSERT_TRUE(server.ok()) << server.error();
        ProcessResult first = Run(server, {Trust(), "--trust-always"}, {"pwd"}, scheme);
        ASSERT_TRUE(first.ExitedWith(0)) << first.Summary();
        const std::string store =
            testsupport::ReadFile(config.file("quorvel-ftp/trusted-certificates.txt")).value_or("");
        EXPECT_TRUE(Contains(store, "127.0.0.1:" + std::to_string(server.port()) + "\t" + fingerprint))
            << store;

        // The second run asks nothing: the store vouches for the certificate.
        ProcessResult second = Run(server, {}, {"pwd"}, scheme);
        EXPECT_TRUE(second.ExitedWith(0)) << second.Summary();
        EXPECT_TRUE(Contains(second.err, "证书已被设为总是信任")) << second.err;
    }

    // The same host and port with another certificate: refused, both named.
    TempDir otherCerts;
    ASSERT_EQ(testsupport::MakeTestCertificate(otherCerts.Path(), "DNS:localhost,IP:127.0.0.1"), "");
    const std::string otherPrint = testsupport::CertificateFingerprint(otherCerts.file("cert.pem"));
    TempDir changedState;
    TlsTestServer changed = TlsTestServer::Start(root.Path(), otherCerts.Path(), changedState.Path(), {});
    ASSERT_TRUE(changed.ok()) << changed.error();
    // The store is keyed by port too: write the entry for the new port.
    const std::string key = "127.0.0.1:" + std::to_string(changed.port());
    ASSERT_TRUE(testsupport::WriteFile(config.file("quorvel-ftp/trusted-certificates.txt"),
                                       key + "\t" + fingerprint + "\ts\ti\tf\tt\n"));
    ProcessResult third = Run(changed, {}, {"pwd"}, scheme);
    EXPECT_TRUE(third.ExitedWith(1)) << third.Summary();
    EXPECT_TRUE(Contains(third.err, fingerprint) && Contains(third.err, otherPrint)) << third.err;
    EXPECT_FALSE(Contains(changed.Commands(), "USER")) << changed.Commands();

    // Trusting the new one explicitly replaces the entry.
    ProcessResult fourth = Run(changed, {"--trust=" + otherPrint, "--trust-always"}, {"pwd"}, scheme);
    EXPECT_TRUE(fourth.ExitedWith(0)) << fourth.Summary();
    EXPECT_TRUE(
        Contains(testsupport::ReadFile(config.file("quorvel-ftp/trusted-certificates.txt")).value_or(""),
                 key + "\t" + otherPrint));
}

TEST_F(CliTls, AnAuthoritysCertificateIsCheckedAgainstTheHostName) {
    struct Case {
        const char* name;
        std::string altNames;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {"the name matches: no question", "DNS:localhost,IP:127.0.0.1", 0},
        {"another name: refused", "DNS:elsewhere.example", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir caCerts;
        ASSERT_EQ(testsupport::MakeTestCertificate(caCerts.Path(), c.altNames, true), "");
        TempDir caseState;
        TlsTestServer server = TlsTestServer::Start(root.Path(), caCerts.Path(), caseState.Path(), {});
        ASSERT_TRUE(server.ok()) << server.error();
        const ProcessResult result = Run(server, {"--tls", "required"}, {"pwd"}, "127.0.0.1",
                                         {"SSL_CERT_FILE=" + caCerts.file("ca.pem")});
        EXPECT_TRUE(result.ExitedWith(c.exitCode)) << result.Summary();
        EXPECT_FALSE(Contains(server.Wire(), kPassword));
    }
}

}  // namespace

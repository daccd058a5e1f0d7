// The window over TLS: the scheme typed before the host chooses the
// encryption, a certificate nothing vouches for is asked about in a dialog
// with three answers, and the transfers of the session go encrypted alike
// without asking again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/quick_connect.h"
#include "queue_fixture.h"
#include "support/temp_dir.h"
#include "support/tls_test_server.h"

namespace {

using testsupport::TempDir;
using testsupport::TlsTestServer;

constexpr const char* kPassword = "Window-Secret-4412";

TEST(ConnectTarget, TheSchemeChoosesTheEncryptionAndImplicitTlsItsPort) {
    const struct {
        const char* field;
        int port;
        const char* host;
        int target;
        downlib::TlsMode tls;
    } cases[] = {
        {"ftp.example", 21, "ftp.example", 21, downlib::TlsMode::Auto},
        {"ftpes://ftp.example", 21, "ftp.example", 21, downlib::TlsMode::Required},
        {"FTPS://ftp.example/", 21, "ftp.example", 990, downlib::TlsMode::Implicit},
        {"ftps://ftp.example", 0, "ftp.example", 990, downlib::TlsMode::Implicit},
        {"ftps://ftp.example", 2990, "ftp.example", 2990, downlib::TlsMode::Implicit},
        {"ftp://ftp.example", 21, "ftp.example", 21, downlib::TlsMode::Off},
    };
    for (const auto& c : cases) {
        const app::ConnectTarget target = app::ConnectTargetOf(c.field, c.port);
        EXPECT_EQ(target.host, c.host) << c.field;
        EXPECT_EQ(target.port, c.target) << c.field;
        EXPECT_EQ(target.tls, c.tls) << c.field;
    }
}

class TlsWindow : public apptest::QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        ASSERT_TRUE(testsupport::WriteFile(root.file("a.txt"), "hello over tls\n"));
        const std::string error =
            testsupport::MakeTestCertificate(certs.Path(), "DNS:localhost,IP:127.0.0.1");
        ASSERT_TRUE(error.empty()) << error;
        fingerprint = testsupport::CertificateFingerprint(certs.file("cert.pem"));
        server = std::make_unique<TlsTestServer>(
            TlsTestServer::Start(root.Path(), certs.Path(), state.Path(), {}));
        ASSERT_TRUE(server->ok()) << server->error();
        toolkit::testing::TakeShownDialogs();
    }

    void ConnectTls() { Connect("ftpes://127.0.0.1", server->port(), "tester", kPassword); }

    std::vector<toolkit::testing::ShownDialog> CertificateDialogs() {
        std::vector<toolkit::testing::ShownDialog> found;
        for (const auto& dialog : toolkit::testing::TakeShownDialogs())
            if (dialog.caption == app::kCertificateCaption) found.push_back(dialog);
        return found;
    }

    TempDir root;
    TempDir certs;
    TempDir state;
    std::string fingerprint;
    std::unique_ptr<TlsTestServer> server;
};

TEST_F(TlsWindow, ACertificateTrustedOnceServesTheSessionAndItsTransfers) {
    toolkit::testing::ScriptMessageAnswer(0);  // 仅本次信任
    ConnectTls();
    const auto asked = CertificateDialogs();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].style, toolkit::kChoiceStyle + 3);
    EXPECT_NE(asked[0].text.find("SHA-256指纹: " + fingerprint), std::string::npos) << asked[0].text;
    EXPECT_TRUE(LogHas("已建立TLS加密连接: ")) << testing::PrintToString(LogMessages());
    ASSERT_NE(RemoteRowOf("a.txt"), -1);

    ASSERT_TRUE(Select({"a.txt"}));
    Download();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ReadFile(local + "/a.txt"), "hello over tls\n");
    EXPECT_TRUE(CertificateDialogs().empty()) << "the transfer asked again";
    // The password never crossed in clear, on the session nor on the transfer's connection.
    EXPECT_EQ(server->Wire().find(kPassword), std::string::npos);
    // Trusted for this run only: nothing written beside the settings.
    EXPECT_EQ(testsupport::FileSize(home_.file("trusted-certificates.txt")), -1);
}

TEST_F(TlsWindow, ARefusedCertificateEndsTheConnectionBeforeTheUserName) {
    toolkit::testing::ScriptMessageAnswer(2);  // 取消
    ConnectTls();
    EXPECT_EQ(CertificateDialogs().size(), 1u);
    EXPECT_EQ(server->Commands().find("USER"), std::string::npos) << server->Commands();
    EXPECT_EQ(RemoteRowOf("a.txt"), -1);
}

TEST_F(TlsWindow, ACertificateTrustedAlwaysIsKeptBesideTheSettingsAndNotAskedAgain) {
    toolkit::testing::ScriptMessageAnswer(1);  // 总是信任
    ConnectTls();
    ASSERT_EQ(CertificateDialogs().size(), 1u);
    ASSERT_NE(RemoteRowOf("a.txt"), -1);
    const std::string store = testsupport::ReadFile(home_.file("trusted-certificates.txt")).value_or("");
    EXPECT_NE(store.find(fingerprint), std::string::npos) << store;
    Restart();
    Show();
    ConnectTls();
    EXPECT_TRUE(CertificateDialogs().empty());
    EXPECT_NE(RemoteRowOf("a.txt"), -1);
}

}  // namespace

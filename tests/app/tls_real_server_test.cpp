// The window's folder transfers over explicit TLS against real servers: the
// certificate is trusted once, then a folder tree goes down through the
// remote list's popup menu and another up through the local one, byte for
// byte. vsftpd refuses any data connection that does not resume the control
// connection's TLS session; pyftpdlib keeps a truncated upload and answers
// 226 when the client closes without close_notify, so only a clean TLS end
// brings the whole file.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/certificate_question.h"
#include "support/real_servers.h"
#include "support/tls_test_server.h"
#include "upload_fixture.h"

namespace {

using testsupport::ServerKind;

// An empty file's data connection carries a handshake and a TLS end only; the
// large one ends in a short record after many full ones.
void WriteTree(const std::string& folder) {
    ASSERT_TRUE(testsupport::WriteFile(folder + "/空 文件.dat", ""));
    ASSERT_TRUE(testsupport::WriteFile(folder + "/短.txt", "tls\n"));
    ASSERT_TRUE(testsupport::WritePatternFile(folder + "/大 文件.bin", (1 << 20) + 17, 5));
    ASSERT_TRUE(testsupport::WriteFile(folder + "/子 目录/中文 名.txt", "中文内容"));
}

class TlsRealServer : public apptest::UploadTest, public ::testing::WithParamInterface<ServerKind> {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        const std::string error =
            testsupport::MakeTestCertificate(certs_.Path(), "DNS:localhost,IP:127.0.0.1");
        ASSERT_TRUE(error.empty()) << error;
        ASSERT_NO_FATAL_FAILURE(WriteTree(root_.Path() + "/下载 目录"));
        server_ = std::make_unique<testsupport::RealServer>(
            testsupport::RealServer::StartWithTls(GetParam(), root_.Path(), "demo", "demo", certs_.Path()));
        ASSERT_TRUE(server_->ok()) << server_->error();
        toolkit::testing::TakeShownDialogs();
        toolkit::testing::ScriptMessageAnswer(0);  // 仅本次信任
        Connect("ftpes://127.0.0.1", server_->port(), "demo", "demo");
        ASSERT_EQ(CertificateQuestions(), 1) << JoinedLog();
        ASSERT_NE(RemoteRowOf("下载 目录"), -1) << JoinedLog() << server_->Log();
    }

    void TearDown() override {
        UploadTest::TearDown();
        if (server_) server_->Stop();
    }

    int CertificateQuestions() {
        int asked = 0;
        for (const auto& dialog : toolkit::testing::TakeShownDialogs())
            asked += dialog.caption == app::kCertificateCaption ? 1 : 0;
        return asked;
    }

    // Runs the request that `choose` starts with its rows kept on screen,
    // checks that each reads "完成", then lets the queue clear.
    void RunRequest(const std::function<void()>& choose, std::size_t rows) {
        HoldDriver();
        choose();
        ASSERT_EQ(QueueRows().size(), rows) << testing::PrintToString(QueueRows());
        KeepRequestOpen();
        ReleaseDriver();
        ASSERT_TRUE(DriverLeft());
        EXPECT_EQ(Statuses(), std::vector<std::string>(rows, "完成"))
            << testing::PrintToString(QueueRows()) << "\n"
            << JoinedLog() << "\n"
            << server_->Log();
        CloseRequest();
        ASSERT_TRUE(QueueFinished());
    }

    // The session and the request's own connection both went encrypted, and
    // neither trusted the certificate by asking again.
    void ExpectEncryptedThroughout() {
        const std::string log = JoinedLog();
        EXPECT_NE(log.find("已建立TLS加密连接: TLSv1."), std::string::npos) << log;
        EXPECT_EQ(log.find("明文"), std::string::npos) << log;
        EXPECT_EQ(log.find("未加密"), std::string::npos) << log;
        EXPECT_EQ(CertificateQuestions(), 0) << "the request asked about the certificate again";
    }

    // Every line of the session log: a printed vector stops after 32.
    std::string JoinedLog() {
        std::string text;
        for (const std::string& line : LogMessages()) text += line + "\n";
        return text;
    }

    testsupport::TempDir certs_{"qftp-certs"};
    testsupport::TempDir root_{"qftp-root"};
    std::unique_ptr<testsupport::RealServer> server_;
};

TEST_P(TlsRealServer, AFolderTreeComesDownThroughTheRemoteMenu) {
    ASSERT_TRUE(Select({"下载 目录"}));
    RunRequest(
        [&] {
            toolkit::testing::RightClickRow(app->ui.remoteList, RemoteRowOf("下载 目录"));
            ASSERT_TRUE(toolkit::testing::PopupMenuVisible(app->ui.remoteMenu));
            Download();
        },
        6);
    const auto diff = testsupport::CompareTrees(root_.Path() + "/下载 目录", local + "/下载 目录");
    EXPECT_TRUE(diff.Same()) << diff.Describe();
    ExpectEncryptedThroughout();
}

TEST_P(TlsRealServer, AFolderTreeGoesUpThroughTheLocalMenu) {
    ASSERT_NO_FATAL_FAILURE(WriteTree(source + "/上传 目录"));
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"上传 目录"}));
    RunRequest([&] { UploadThroughMenu(); }, 6);
    const auto diff = testsupport::CompareTrees(source + "/上传 目录", root_.Path() + "/上传 目录");
    EXPECT_TRUE(diff.Same()) << diff.Describe();
    ExpectEncryptedThroughout();
}

INSTANTIATE_TEST_SUITE_P(Servers, TlsRealServer, ::testing::Values(ServerKind::Vsftpd, ServerKind::Pyftpdlib),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

}  // namespace

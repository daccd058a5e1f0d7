// The window's folder transfers over explicit TLS against real servers: the
// certificate is trusted once in the real dialog, clicked with the mouse,
// then a folder tree goes down through the remote list's popup menu and
// another up through the local one, byte for byte. vsftpd refuses any data
// connection that does not resume the control connection's TLS session;
// pyftpdlib keeps a truncated upload and answers 226 when the client closes
// without close_notify, so only a clean TLS end brings the whole file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <set>
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

// Where a picture goes: QFTP_SCREENSHOT_DIR (make screenshot) names the
// folder; without it no picture is taken.
std::string ScreenshotPath(const std::string& name) {
    const char* dir = std::getenv("QFTP_SCREENSHOT_DIR");
    if (dir == nullptr || dir[0] == '\0') return {};
    mkdir(dir, 0755);
    return std::string(dir) + "/" + name;
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
        // The question is shown for real and answered with the mouse, so its
        // texts and buttons are read as the user sees them.
        toolkit::testing::SetScriptedDialogsOnly(false);
        toolkit::testing::AnswerNextDialog(app::kTrustOnceButton,
                                           ScreenshotPath("tls-certificate-question.png"));
        Connect("ftpes://127.0.0.1", server_->port(), "demo", "demo");
        toolkit::testing::SetScriptedDialogsOnly(true);
        question_ = toolkit::testing::TakeAnsweredDialog();
        ASSERT_TRUE(question_.has_value()) << JoinedLog();
        ASSERT_TRUE(question_->clicked) << question_->text;
        ASSERT_EQ(CertificateQuestions(), 1) << JoinedLog();
        ASSERT_NE(RemoteRowOf("下载 目录"), -1) << JoinedLog() << server_->Log();
        if (const std::string picture = ScreenshotPath("tls-connected-window.png"); !picture.empty()) {
            // Scrolled back to the line that tells the session is encrypted.
            for (int line = 0; line < app->ui.logList.LineCount(); ++line) {
                if (app->ui.logList.LineText(line).find("已建立TLS加密连接") == std::string::npos) continue;
                app->ui.logList.SetTopLine(line > 2 ? line - 2 : 0);
                break;
            }
            toolkit::ProcessPendingEvents();
            EXPECT_TRUE(toolkit::testing::SaveScreenshot(app->ui.mainWindow, picture));
        }
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

    std::optional<toolkit::testing::RealDialog> question_;
    testsupport::TempDir certs_{"qftp-certs"};
    testsupport::TempDir root_{"qftp-root"};
    std::unique_ptr<testsupport::RealServer> server_;
};

// The question as the user read it in the window: what the certificate says
// of itself, its fingerprint, and the three answers.
TEST_P(TlsRealServer, TheCertificateQuestionShowsTheCertificateAndThreeAnswers) {
    const std::string fingerprint = testsupport::CertificateFingerprint(certs_.Path() + "/cert.pem");
    ASSERT_FALSE(fingerprint.empty());
    EXPECT_EQ(question_->title, app::kCertificateCaption);
    const std::string& text = question_->text;
    const std::vector<std::string> lines = {"主题: /CN=quorvel-test", "颁发者: /CN=quorvel-test",
                                            "有效期: ", "SHA-256指纹: " + fingerprint, "是否信任这个证书?"};
    for (const std::string& line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    }
    EXPECT_EQ(std::set<std::string>(question_->buttons.begin(), question_->buttons.end()),
              (std::set<std::string>{app::kTrustOnceButton, app::kTrustAlwaysButton, app::kRefuseButton}));
    EXPECT_NE(JoinedLog().find("已建立TLS加密连接: TLSv1."), std::string::npos) << JoinedLog();
}

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

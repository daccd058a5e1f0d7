// Uploads from the window against the real servers of the suite: a local
// folder tree with nested folders, Chinese and blank names, an empty file and
// an empty folder, uploaded through the local list's popup menu, arrives
// byte for byte; every row reads "完成"; the remote list shows the new folder.
// Uploading it again after one file has grown resumes that file and skips
// the others.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "support/real_servers.h"
#include "upload_fixture.h"

namespace {

using apptest::UploadTest;
using testsupport::ServerKind;

std::string ScreenshotPath(const std::string& name) {
    const char* dir = std::getenv("QFTP_SCREENSHOT_DIR");
    const std::string folder = dir != nullptr && dir[0] != '\0' ? dir : "screenshots";
    mkdir(folder.c_str(), 0755);
    return folder + "/" + name;
}

class UploadRealServer : public UploadTest, public ::testing::WithParamInterface<ServerKind> {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        server_ = std::make_unique<testsupport::RealServer>(
            testsupport::RealServer::Start(GetParam(), root_.Path(), "demo", "demo"));
        ASSERT_TRUE(server_->ok()) << server_->error();
        Connect("127.0.0.1", server_->port(), "demo", "demo");
        ASSERT_GE(app->ui.remoteList.RowCount(), 1) << testing::PrintToString(LogMessages());
    }

    void TearDown() override {
        UploadTest::TearDown();
        if (server_) server_->Stop();
    }

    // Uploads the folder with the rows kept on screen, checks that every row
    // reads "完成", then lets the queue clear.
    void UploadFolderAndCheckRows(const std::string& folder, std::size_t rows) {
        ShowLocal(source);
        ASSERT_TRUE(SelectLocal({folder}));
        HoldDriver();
        UploadThroughMenu();
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

    // Every line of the session log: a printed vector stops after 32.
    std::string JoinedLog() {
        std::string text;
        for (const std::string& line : LogMessages()) text += line + "\n";
        return text;
    }

    testsupport::TempDir root_{"qftp-root"};
    std::unique_ptr<testsupport::RealServer> server_;
};

TEST_P(UploadRealServer, AFolderTreeArrivesByteForByteThroughTheLocalMenu) {
    const std::string tree = source + "/上传 目录";
    ASSERT_TRUE(testsupport::WriteFile(tree + "/a.txt", "alpha\n"));
    ASSERT_TRUE(testsupport::WriteFile(tree + "/空 文件.dat", ""));
    ASSERT_TRUE(testsupport::WritePatternFile(tree + "/二 级/中文 名.bin", (1 << 20) + 17, 11));
    ASSERT_TRUE(testsupport::WriteFile(tree + "/二 级/三 级/深 层.txt", "deep"));
    ASSERT_TRUE(testsupport::MakeDirs(tree + "/空 目录"));
    // Made two minutes ago: the edit below comes later, to the second.
    for (const char* file : {"/a.txt", "/空 文件.dat", "/二 级/中文 名.bin", "/二 级/三 级/深 层.txt"})
        ASSERT_TRUE(testsupport::SetFileAge(tree + file, 120)) << file;
    ASSERT_EQ(RemoteRowOf("上传 目录"), -1);

    UploadFolderAndCheckRows("上传 目录", 8);
    const auto diff = testsupport::CompareTrees(tree, root_.Path() + "/上传 目录");
    EXPECT_TRUE(diff.Same()) << diff.Describe();
    // Listed again once the request has run through.
    EXPECT_TRUE(PumpUntil([&] { return RemoteRowOf("上传 目录") != -1; }))
        << testing::PrintToString(LogMessages());
    if (GetParam() == ServerKind::Pyftpdlib) {
        EXPECT_TRUE(
            toolkit::testing::SaveScreenshot(app->ui.mainWindow, ScreenshotPath("uploaded-window.png")));
    }

    // Again, after a.txt was edited (same size, other text) and a file grew:
    // both arrive whole, the unchanged ones are recognised by the time our
    // upload gave them and not sent again. The grown file's remote copy is
    // older than the local file now, so it is no proven beginning: it is sent
    // whole (slower, never wrong).
    ASSERT_TRUE(testsupport::WriteFile(tree + "/a.txt", "ALPHA\n"));
    {
        std::ofstream grow(tree + "/二 级/三 级/深 层.txt", std::ios::app | std::ios::binary);
        grow << std::string(5000, 'g');
    }
    ASSERT_TRUE(testsupport::SetFileAge(tree + "/a.txt", 60));
    ASSERT_TRUE(testsupport::SetFileAge(tree + "/二 级/三 级/深 层.txt", 60));
    UploadFolderAndCheckRows("上传 目录", 8);
    const auto again = testsupport::CompareTrees(tree, root_.Path() + "/上传 目录");
    EXPECT_TRUE(again.Same()) << again.Describe();
    EXPECT_TRUE(LogHas("同名文件内容相同，跳过: //上传 目录/二 级/中文 名.bin"))
        << testing::PrintToString(LogMessages());
    EXPECT_TRUE(LogHas("覆盖：服务器上的同名文件与本地文件不同: //上传 目录/a.txt"))
        << testing::PrintToString(LogMessages());
    // pyftpdlib logs each transfer with its byte count.
    if (GetParam() == ServerKind::Pyftpdlib) {
        const std::string log = server_->Log();
        const auto count = [&](const std::string& text) {
            std::size_t n = 0;
            for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
            return n;
        };
        EXPECT_EQ(count("/上传 目录/a.txt completed=1"), 2u) << log;
        EXPECT_EQ(count("/上传 目录/二 级/中文 名.bin completed=1"), 1u) << log;
        EXPECT_EQ(count("/上传 目录/二 级/三 级/深 层.txt completed=1 bytes=5004 "), 1u) << log;
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, UploadRealServer, ::testing::ValuesIn(testsupport::AllServerKinds()),
                         [](const auto& test) { return testsupport::ServerKindName(test.param); });

}  // namespace

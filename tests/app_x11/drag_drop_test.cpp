// Drag and drop between the two folder lists with real X input: the pointer
// is moved and its button pressed and released through XTEST (xdotool), so
// the drag is the platform's own from the press to the drop. Local rows
// dropped on the remote list are uploaded, remote rows dropped on the local
// list are downloaded, and a drop anywhere else queues nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/fake_ftp_server.h"
#include "upload_fixture.h"

namespace {

using apptest::UploadTest;

class DragAndDrop : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
        // The X server maps the window in its own time; a press before that
        // would go to the root window.
        ASSERT_TRUE(PumpUntil([&] { return toolkit::testing::IsExposed(app->ui.mainWindow); }));
    }

    void ConnectToServer() { Connect("127.0.0.1", server.port(), "demo", "secret"); }

    // Presses the left button on the row, moves past the drag distance and on
    // to the middle of the target in steps, and releases there, while the
    // window's event loop runs. False when xdotool failed or did not end.
    bool Drag(toolkit::ListView& from, int row, toolkit::Control& to) {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        if (!toolkit::testing::RowScreenPoint(from, row, x0, y0)) return false;
        if (!toolkit::testing::ControlScreenCenter(to, x1, y1)) return false;
        std::vector<std::string> args{"xdotool",          "mousemove", "--sync", std::to_string(x0),
                                      std::to_string(y0), "mousedown", "1"};
        constexpr int kSteps = 8;
        for (int i = 0; i <= kSteps; ++i) {
            // The first step only leaves the drag distance behind.
            const int x = i == 0 ? x0 + 12 : x0 + (x1 - x0) * i / kSteps;
            const int y = i == 0 ? y0 : y0 + (y1 - y0) * i / kSteps;
            for (const std::string& a : {std::string("sleep"), std::string("0.05"), std::string("mousemove"),
                                         std::to_string(x), std::to_string(y)})
                args.push_back(a);
        }
        for (const char* a : {"sleep", "0.1", "mouseup", "1"}) args.emplace_back(a);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid < 0) return false;
        if (pid == 0) {
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        const bool ended = PumpUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        // What the release set off is handled before the test looks.
        for (int i = 0; i < 10; ++i) {
            toolkit::ProcessPendingEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    testsupport::FakeFtpServer server;
};

TEST_F(DragAndDrop, LocalRowsDroppedOnTheRemoteListAreUploaded) {
    ASSERT_TRUE(testsupport::WriteFile(source + "/a.txt", "a"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/目录 一/b.txt", "bb"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/left.txt", "stays here"));
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(SelectLocal({"a.txt", "目录 一"}));
    const int rows = app->ui.localList.RowCount();
    ASSERT_TRUE(Drag(app->ui.localList, LocalRowOf("a.txt"), app->ui.remoteList))
        << "xdotool (make deps installs it) failed or did not end";
    // The upload may be over before the first look: wait for the server's files.
    ASSERT_TRUE(PumpUntil([&] { return server.FileContents("/目录 一/b.txt").has_value(); }))
        << server.Transcript() << testing::PrintToString(LogMessages());
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(server.FileContents("/a.txt"), "a");
    EXPECT_EQ(server.FileContents("/目录 一/b.txt"), "bb");
    EXPECT_FALSE(server.FileContents("/left.txt").has_value());
    // The rows were copied, not moved out of the local list.
    EXPECT_EQ(app->ui.localList.RowCount(), rows);
    EXPECT_TRUE(PumpUntil([&] { return RemoteRowOf("目录 一") != -1 && RemoteRowOf("a.txt") != -1; }));
}

TEST_F(DragAndDrop, RemoteRowsDroppedOnTheLocalListAreDownloaded) {
    server.AddFile("/r.txt", "remote");
    server.AddFile("/rd/x.txt", "x");
    server.AddFile("/not.txt", "not selected");
    ConnectToServer();
    ShowLocal(source);
    ASSERT_TRUE(Select({"r.txt", "rd"}));
    const int rows = app->ui.remoteList.RowCount();
    ASSERT_TRUE(Drag(app->ui.remoteList, RemoteRowOf("r.txt"), app->ui.localList))
        << "xdotool (make deps installs it) failed or did not end";
    ASSERT_TRUE(PumpUntil([&] { return server.CountCommands("RETR") >= 2; })) << server.Transcript();
    ASSERT_TRUE(QueueFinished());
    EXPECT_EQ(testsupport::ReadFile(source + "/r.txt"), "remote");
    EXPECT_EQ(testsupport::ReadFile(source + "/rd/x.txt"), "x");
    EXPECT_FALSE(testsupport::ReadFile(source + "/not.txt").has_value());
    EXPECT_EQ(app->ui.remoteList.RowCount(), rows);
}

TEST_F(DragAndDrop, RowsDroppedOnTheirOwnListOrTheQueueQueueNothing) {
    ASSERT_TRUE(testsupport::WriteFile(source + "/a.txt", "a"));
    ASSERT_TRUE(testsupport::WriteFile(source + "/b.txt", "b"));
    server.AddFile("/r.txt", "remote");
    ConnectToServer();
    ShowLocal(source);
    const auto localRows = Rows(app->ui.localList, 3);
    const auto remoteRows = Rows(app->ui.remoteList, 3);
    ASSERT_TRUE(SelectLocal({"a.txt"}));
    ASSERT_TRUE(Drag(app->ui.localList, LocalRowOf("a.txt"), app->ui.localList))
        << "xdotool (make deps installs it) failed or did not end";
    ASSERT_TRUE(Select({"r.txt"}));
    ASSERT_TRUE(Drag(app->ui.remoteList, RemoteRowOf("r.txt"), app->ui.remoteList))
        << "xdotool (make deps installs it) failed or did not end";
    ASSERT_TRUE(SelectLocal({"a.txt"}));
    ASSERT_TRUE(Drag(app->ui.localList, LocalRowOf("a.txt"), app->ui.queueList))
        << "xdotool (make deps installs it) failed or did not end";
    EXPECT_EQ(app::QueuedRowCount(*app), 0u) << testing::PrintToString(QueueRows());
    EXPECT_EQ(server.CountCommands("STOR") + server.CountCommands("RETR"), 0);
    // Nothing was moved about inside a list either.
    EXPECT_EQ(Rows(app->ui.localList, 3), localRows);
    EXPECT_EQ(Rows(app->ui.remoteList, 3), remoteRows);
}

}  // namespace

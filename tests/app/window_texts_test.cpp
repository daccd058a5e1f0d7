// Texts the user reads while the window works, against the scriptable fake
// server: the status bar while a queue row or a delete runs, the queue row
// kept in view, the session log's reasons for a failed download row and a
// connect that times out, and a refused folder typed into the remote combo.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "downlib/ftp_download.h"
#include "queue_fixture.h"
#include "support/engine_test_timings.h"
#include "support/fake_ftp_server.h"
#include "support/temp_dir.h"
#include "support/unique_fd.h"

namespace {

using apptest::QueueTest;
using testsupport::Action;
using testsupport::FakeFtpServer;
using testsupport::UniqueFd;

class WindowTextsTest : public QueueTest {
protected:
    void SetUp() override {
        QueueTest::SetUp();
        ASSERT_TRUE(server.ok()) << server.error();
    }

    void TearDown() override {
        QueueTest::TearDown();
        downlib::SetRetryPauseForTesting(downlib::kRetryPauseMs);
    }

    void ConnectToServer() { Connect("127.0.0.1", server.port(), "demo", "secret"); }

    std::string StatusOf(int row) { return app->ui.queueList.CellText(row, 4); }

    std::vector<std::string> RemoteNames() {
        std::vector<std::string> names;
        for (int r = 0; r < app->ui.remoteList.RowCount(); ++r)
            names.push_back(app->ui.remoteList.CellText(r, 0));
        return names;
    }

    // The first log line from line `from` on that holds `fragment`, or ""
    // when none does.
    std::string LogLineWith(const std::string& fragment, std::size_t from = 0) {
        const auto messages = LogMessages();
        for (std::size_t i = from; i < messages.size(); ++i)
            if (messages[i].find(fragment) != std::string::npos) return messages[i];
        return {};
    }

    // Right-clicks the first selected remote row and chooses the item, as
    // the user does; the delete's confirmation is answered OK.
    void ChooseFromRemoteMenu(const std::string& item) {
        const std::vector<int> selected = app->ui.remoteList.SelectedRows();
        ASSERT_FALSE(selected.empty());
        toolkit::testing::RightClickRow(app->ui.remoteList, selected.front());
        ASSERT_TRUE(toolkit::testing::PopupMenuVisible(app->ui.remoteMenu));
        ASSERT_TRUE(app->ui.remoteMenu.Choose(item));
        toolkit::ProcessPendingEvents();
    }

    FakeFtpServer server;
};

// Pane 2 names the row the driver handles: the remote path of a download
// (seen while its row reads 进行中) and the local folder a folder row makes
// (the last row of a request still open, so nothing replaces the text).
TEST_F(WindowTextsTest, TheActionPaneNamesTheDownloadOrTheFolderOfTheRowThatRuns) {
    testsupport::TransferFaults slow;
    slow.chunkBytes = 500;
    slow.chunkDelayMs = 40;
    server.AddFile("/慢 文件.bin", std::string(6000, 's'), slow);
    server.AddDirectory("/空 目录");
    ConnectToServer();
    const struct {
        std::string selected;
        std::string pane;
        bool whileRunning;  // the row reads 进行中 when the pane shows the text
    } cases[] = {
        {"慢 文件.bin", "动作:下载文件://慢 文件.bin", true},
        {"空 目录", "动作:创建目录:" + local + "/空 目录", false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Select({c.selected})) << c.selected;
        HoldDriver();
        Download();
        const int row = app->ui.queueList.RowCount() - 1;
        KeepRequestOpen();
        ReleaseDriver();
        if (c.whileRunning) {
            EXPECT_TRUE(PumpUntil([&] { return Pane(2) == c.pane && StatusOf(row) == "进行中"; }))
                << c.selected << ": " << Pane(2) << " / " << StatusOf(row);
            EXPECT_EQ(Pane(0), "进行中");
        }
        ASSERT_TRUE(DriverLeft());
        EXPECT_EQ(StatusOf(row), "完成") << c.selected;
        if (!c.whileRunning) {
            EXPECT_EQ(Pane(2), c.pane);
            EXPECT_EQ(Pane(0), "进行中");
        }
        CloseRequest();
        ASSERT_TRUE(QueueFinished());
    }
    EXPECT_EQ(testsupport::FileSize(local + "/慢 文件.bin"), 6000);
}

// A delete from the remote popup menu shows 进行中 and names each entry as
// it goes, read while the server holds its reply to DELE or RMD. The rules
// answer without touching the fake server's files: only the panes matter.
TEST_F(WindowTextsTest, TheStatusBarNamesEachEntryWhileADeleteRuns) {
    server.AddFile("/a.txt", "a");
    server.AddFile("/树/叶.txt", "leaf");
    ConnectToServer();
    server.On("DELE", Action::Reply("250 Deleted.\r\n").After(300));
    server.On("RMD", Action::Reply("250 Removed.\r\n").After(300));
    const struct {
        std::string selected;
        std::vector<std::string> panes;  // pane 2 texts seen, in any order
    } cases[] = {
        {"a.txt", {"动作:删除文件:a.txt"}},
        {"树", {"动作:删除文件:叶.txt", "动作:删除目录://树"}},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(Select({c.selected})) << c.selected;
        // Pane 0 and pane 2 as read together.
        std::set<std::pair<std::string, std::string>> seen;
        // The engine's waits keep the window's loop running, so a timer reads
        // the panes while the server holds its answer.
        toolkit::Timer sampler;
        sampler.Start(10, [&] { seen.emplace(Pane(0), Pane(2)); });
        toolkit::testing::ScriptMessageAnswer(toolkit::kResultOk);
        ChooseFromRemoteMenu("删除");
        sampler.Stop();
        for (const auto& pane : c.panes) {
            EXPECT_TRUE(seen.count({"进行中", pane}))
                << c.selected << ": " << pane << " in " << testing::PrintToString(seen);
        }
        EXPECT_EQ(Pane(0), "已就绪");
        EXPECT_EQ(Pane(2), "动作:无");
    }
}

// A queue longer than its list shows the row that runs: the driver scrolls
// down to it.
TEST_F(WindowTextsTest, TheRunningRowOfALongQueueIsScrolledIntoView) {
    constexpr int kFiles = 40;
    constexpr int kStalled = 30;
    testsupport::TransferFaults stall;
    stall.stallAfterBytes = 100;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "/f" + std::string(i < 10 ? "0" : "") + std::to_string(i) + ".bin";
        server.AddFile(name, std::string(1000, 'f'), i == kStalled ? stall : testsupport::TransferFaults{});
    }
    ConnectToServer();
    std::vector<std::string> names;
    for (int r = 1; r < app->ui.remoteList.RowCount(); ++r)
        names.push_back(app->ui.remoteList.CellText(r, 0));
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kFiles));
    ASSERT_TRUE(Select(names));
    HoldDriver();
    Download();
    toolkit::ListView& queue = app->ui.queueList;
    ASSERT_EQ(queue.RowCount(), kFiles);
    ASSERT_EQ(queue.CellText(kStalled, 1), "//f30.bin");
    // The queue is longer than its list: the stalled row starts out of view.
    ASSERT_FALSE(toolkit::testing::RowShown(queue, kStalled));
    ASSERT_EQ(queue.ScrollPosition(), 0);
    ReleaseDriver();
    ASSERT_TRUE(PumpUntil([&] { return StatusOf(kStalled) == "进行中"; }))
        << testing::PrintToString(Statuses());
    toolkit::ProcessPendingEvents();
    EXPECT_TRUE(toolkit::testing::RowShown(queue, kStalled));
    EXPECT_GT(queue.ScrollPosition(), 0);
    EXPECT_FALSE(toolkit::testing::RowShown(queue, 0));
}

// Why a download row failed is in its log line, in the engine's own words.
TEST_F(WindowTextsTest, AFailedDownloadRowLogsTheEnginesReason) {
    downlib::SetRetryPauseForTesting(1);
    const struct {
        const char* what;
        std::function<void(FakeFtpServer&)> fault;
        std::string text;
    } cases[] = {
        {"RETR refused", [](FakeFtpServer& s) { s.Reply("RETR", "550 Permission denied.\r\n"); },
         "数据传送失败"},
        {"PASV and PORT refused",
         [](FakeFtpServer& s) {
             s.Reply("PASV", "502 PASV not implemented.\r\n");
             s.Reply("PORT", "500 PORT refused.\r\n");
         },
         "设置主动模式失败"},
        {"PASV refused, no reply to PORT",
         [](FakeFtpServer& s) {
             s.Reply("PASV", "502 PASV not implemented.\r\n");
             s.CloseOn("PORT");
         },
         "获得返回信息失败"},
    };
    for (const auto& c : cases) {
        const std::size_t lines = LogLines().size();
        FakeFtpServer faulty;
        ASSERT_TRUE(faulty.ok());
        faulty.AddFile("/a.bin", "abc");
        Connect("127.0.0.1", faulty.port(), "demo", "secret");
        ASSERT_NE(RemoteRowOf("a.bin"), -1) << c.what;
        // Only the task's connections meet the fault: the listing is done.
        c.fault(faulty);
        ASSERT_TRUE(Select({"a.bin"}));
        Download();
        ASSERT_TRUE(QueueFinished()) << c.what;
        EXPECT_EQ(Statuses(), std::vector<std::string>{"失败"}) << c.what;
        const std::string line = LogLineWith("下载失败://a.bin，", lines);
        EXPECT_NE(line.find(c.text), std::string::npos) << c.what << ": " << line << "\n"
                                                        << testing::PrintToString(LogMessages());
        // The failed row is removed before the next case queues its own.
        app->ui.queueList.SelectRow(0, true);
        ASSERT_TRUE(app->ui.queueMenu.Choose("移除任务"));
        ASSERT_EQ(app->ui.queueList.RowCount(), 0);
    }
}

// The engine picks the next free name NAME(k) beside a local file of the
// same name up to k = 99, then gives up with its text in the log.
TEST_F(WindowTextsTest, ADownloadBesideNinetyNineRenamedCopiesFailsWithTheRenameText) {
    server.AddFile("/存档.tar.gz", "new");
    ConnectToServer();
    const struct {
        int taken;  // copies NAME(1) .. NAME(taken) besides NAME itself
        const char* status;
        const char* arrivesAs;  // "" when nothing arrives
    } cases[] = {
        {98, "完成", "存档(99).tar.gz"},
        {99, "失败", ""},
    };
    for (const auto& c : cases) {
        testsupport::TempDir folder{"qftp-names"};
        const std::string into = folder.Path();
        ASSERT_TRUE(testsupport::WriteFile(into + "/存档.tar.gz", "old"));
        for (int k = 1; k <= c.taken; ++k)
            ASSERT_TRUE(testsupport::WriteFile(into + "/存档(" + std::to_string(k) + ").tar.gz", "old"));
        toolkit::testing::TypeOver(app->ui.localPathCombo, into);
        ASSERT_TRUE(Select({"存档.tar.gz"}));
        HoldDriver();
        Download();
        KeepRequestOpen();
        ReleaseDriver();
        ASSERT_TRUE(DriverLeft());
        EXPECT_EQ(StatusOf(app->ui.queueList.RowCount() - 1), c.status) << c.taken;
        if (*c.arrivesAs != '\0') {
            EXPECT_EQ(testsupport::ReadFile(into + "/" + c.arrivesAs), "new") << c.taken;
        }
        EXPECT_EQ(testsupport::ReadFile(into + "/存档.tar.gz"), "old");
        CloseRequest();
        ASSERT_TRUE(QueueFinished());
    }
    const std::string line = LogLineWith("下载失败://存档.tar.gz，");
    EXPECT_NE(line.find("发现同名文件，超过系统自动更名次数"), std::string::npos)
        << line << "\n"
        << testing::PrintToString(LogMessages());
}

// A listening socket whose queue of connections is full: the kernel drops
// further attempts, so a connect waits until its time-out.
class FullListener {
public:
    FullListener() {
        listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (!listener_ || ::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_.Get(), 0) != 0 ||
            ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        port_ = ntohs(address.sin_port);
        // Connections that complete fill the queue; the first that does not
        // complete shows it full. Bounded: a queue of 0 holds one or two.
        for (int i = 0; i < 16; ++i) {
            UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            ::connect(client.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd ready{client.Get(), POLLOUT, 0};
            const bool connected = ::poll(&ready, 1, 200) == 1 && (ready.revents & POLLOUT) != 0;
            if (!connected) {
                full_ = true;
                return;
            }
            fillers_.push_back(std::move(client));
        }
    }

    bool full() const { return full_; }
    int port() const { return port_; }

private:
    UniqueFd listener_;
    std::vector<UniqueFd> fillers_;
    int port_ = 0;
    bool full_ = false;
};

// A host that never answers the connect: quick connect gives up at its
// time-out and says so with the address.
TEST_F(WindowTextsTest, AConnectThatNeverCompletesLogsItsTimeOutWithTheAddress) {
    FullListener silent;
    ASSERT_TRUE(silent.full()) << "the listening queue did not fill";
    TypeQuickConnect("127.0.0.1", "demo", "secret", std::to_string(silent.port()));
    ClickQuickConnect();
    EXPECT_FALSE(app->ftpClient.IsConnected());
    const std::string text = "连接 [127.0.0.1:" + std::to_string(silent.port()) + "]超时";
    EXPECT_NE(LogLineWith(text), "") << testing::PrintToString(LogMessages());
}

// A folder typed into the remote combo that the server refuses: the list
// and the combo stay on the folder the server is still in, and the log
// shows the refusal.
TEST_F(WindowTextsTest, ARefusedFolderTypedIntoTheRemoteComboLeavesListAndComboWhereTheyWere) {
    server.AddFile("/pub/inner.txt", "i");
    server.AddFile("/top.txt", "t");
    server.AddDirectory("/secret");
    server.Reply("CWD /secret", "550 Permission denied.\r\n");
    server.Reply("CWD /pub/gone", "550 No such directory.\r\n");
    ConnectToServer();
    const struct {
        std::string from;  // entered first, with Enter
        std::string typed;
        std::string refusal;
    } cases[] = {
        {"/", "/secret", "550 Permission denied."},
        {"/pub", "/pub/gone", "550 No such directory."},
    };
    for (const auto& c : cases) {
        toolkit::testing::TypeOver(app->ui.remotePathCombo, c.from);
        toolkit::testing::PressKey(app->ui.remotePathCombo, 13);
        const std::vector<std::string> before = RemoteNames();
        const std::string combo = app->ui.remotePathCombo.EditText();
        ASSERT_EQ(combo, c.from);
        const std::size_t lines = LogLines().size();
        toolkit::testing::TypeOver(app->ui.remotePathCombo, c.typed);
        toolkit::testing::PressKey(app->ui.remotePathCombo, 13);
        EXPECT_EQ(server.CountCommands("CWD " + c.typed), 1) << server.Transcript();
        EXPECT_EQ(RemoteNames(), before) << c.typed;
        EXPECT_EQ(app->ui.remotePathCombo.EditText(), combo) << c.typed;
        const auto messages = LogMessages();
        bool logged = false;
        for (std::size_t i = lines; i < messages.size(); ++i)
            logged = logged || messages[i].find(c.refusal) != std::string::npos;
        EXPECT_TRUE(logged) << c.typed << ": " << testing::PrintToString(messages);
    }
}

}  // namespace

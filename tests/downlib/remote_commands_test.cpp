// The synchronous commands against the fake server: wire transcripts, log
// lines, results, the data channel's fall-back, listings and the recursive
// delete.
#include "downlib/remote_commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "downlib/ftp_engine.h"
#include "support/callback_recorder.h"
#include "support/fake_ftp_server.h"

namespace {

using downlib::DezAziveduza;
using testsupport::Action;
using testsupport::CallbackRecorder;
using testsupport::FakeFtpServer;
using testsupport::TransferFaults;
using Lines = std::vector<std::string>;

class RemoteCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(client.Connect("ftp://127.0.0.1", "u", "p", server.port(), log.LogSink(), 2000))
            << log.text();
        log.clear();
        loginCommands = server.Commands().size();
    }
    // The commands received after log-in.
    Lines Wire() const {
        Lines all = server.Commands();
        return Lines(all.begin() + static_cast<long>(loginCommands), all.end());
    }
    // Wire commands without the data channel's own exchanges.
    Lines WireWithoutData() const {
        Lines out;
        for (const std::string& line : Wire())
            if (line != "PASV" && line.rfind("PORT ", 0) != 0) out.push_back(line);
        return out;
    }
    int List(const std::optional<std::string>& path = std::nullopt) {
        names.clear();
        flags.clear();
        sizes.clear();
        times.clear();
        return client.ListDir(path, &names, &flags, &sizes, &times);
    }

    FakeFtpServer server;
    CallbackRecorder log;
    DezAziveduza client;
    std::size_t loginCommands = 0;
    Lines names;
    std::vector<std::int32_t> flags;
    std::vector<std::int64_t> sizes;
    std::vector<double> times;
};

TEST_F(RemoteCommands, LogLinesAndWireCommands) {
    server.AddFile("/a.txt", "abc");
    server.AddDirectory("/d");
    EXPECT_TRUE(client.DeleteEntry("a.txt"));
    EXPECT_TRUE(client.MakeDir("new"));
    EXPECT_TRUE(client.RenameEntry("new", "newer"));
    EXPECT_TRUE(client.ChangeDir("/d"));
    EXPECT_EQ(client.GetCurrentDir(), "/d");
    EXPECT_EQ(Wire(), (Lines{"DELE a.txt", "MKD new", "RNFR new", "RNTO newer", "CWD /d", "PWD"}));
    EXPECT_EQ(log.ofKinds("1"),
              (Lines{"1 DEL a.txt", "1 MKD new", "1 RNFR new", "1 RNTO newer", "1 CWD /d", "1 PWD"}));
    EXPECT_FALSE(server.FileContents("/a.txt").has_value());
    EXPECT_TRUE(server.DirectoryExists("/newer"));
}

TEST_F(RemoteCommands, ResultsFollowTheExactReplyCodes) {
    server.Reply("DELE", "550 No such file\r\n");
    server.Reply("MKD", "250 odd but not 257\r\n");
    server.Reply("CWD", "200 not 250\r\n");
    server.Reply("PWD", "257 no quotes here\r\n");
    EXPECT_FALSE(client.DeleteEntry("x"));
    EXPECT_FALSE(client.MakeDir("x"));
    EXPECT_FALSE(client.ChangeDir("x"));
    EXPECT_EQ(client.GetCurrentDir(), "");
}

TEST_F(RemoteCommands, RenameStopsWhenRnfrIsRefused) {
    server.Reply("RNFR", "550 No such file\r\n");
    EXPECT_FALSE(client.RenameEntry("x", "y"));
    EXPECT_EQ(Wire(), (Lines{"RNFR x"}));
    EXPECT_EQ(log.ofKinds("1"), (Lines{"1 RNFR x"}));
}

TEST_F(RemoteCommands, CwdPathLimit) {
    server.Reply("CWD", "250 ok\r\n");
    EXPECT_TRUE(client.ChangeDir(std::string(251, 'a')));
    EXPECT_FALSE(client.ChangeDir(std::string(252, 'a')));
    EXPECT_EQ(Wire(), (Lines{"CWD " + std::string(251, 'a')}));
}

TEST_F(RemoteCommands, ListsFilesFoldersAndLinks) {
    server.SetListing("/",
                      "drwxr-xr-x 2 ftp ftp 4096 Mar  3  2005 docs\r\n"
                      "-rw-r--r-- 1 ftp ftp 1234 Jan 12 10:30 a b.txt\r\n"
                      "lrwxrwxrwx 1 ftp ftp 7 Jan  1 00:00 bin -> usr/bin\r\n");
    ASSERT_EQ(List(), 3) << log.text();
    EXPECT_EQ(names, (Lines{"docs", "a b.txt", "bin"}));
    EXPECT_EQ(flags, (std::vector<std::int32_t>{0, 0, 1}));
    EXPECT_EQ(sizes, (std::vector<std::int64_t>{-1, 1234, -1}));
    EXPECT_EQ(Wire(), (Lines{"PASV", "LIST"}));
    Lines info = log.ofKinds("0");
    ASSERT_FALSE(info.empty());
    EXPECT_EQ(info.front().rfind("0 连接[127.0.0.1:", 0), 0u) << log.text();
    EXPECT_NE(info.front().find("],超时2000"), std::string::npos) << info.front();
    EXPECT_TRUE(log.contains("3 数据通道连接成功"));
}

TEST_F(RemoteCommands, ListingQuirksThatRealServersSend) {
    const struct {
        const char* raw;
        int count;
    } cases[] = {
        {"total 8\r\n-rw-r--r-- 1 ftp ftp 3000000000 Jan 12 10:30 big.iso\r\n", 1},
        {"-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 lf1\n-rw-r--r-- 1 ftp ftp 2 Jan 12 10:30 lf2\n", 2},
        {"-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 no-line-end", 1},
        {"\r\n\r\n-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 after-blank\r\n", 1},
        {"total 0\r\n", 0},
    };
    for (const auto& c : cases) {
        server.SetListing("/", c.raw);
        EXPECT_EQ(List(), c.count) << c.raw << log.text();
    }
    server.SetListing("/", "total 8\r\n-rw-r--r-- 1 ftp ftp 3000000000 Jan 12 10:30 big.iso\r\n");
    ASSERT_EQ(List(), 1);
    EXPECT_EQ(sizes[0], 3000000000LL);
}

TEST_F(RemoteCommands, EmptyFolderLeavesTheArraysAlone) {
    server.SetListing("/", "");
    names = {"kept"};
    EXPECT_EQ(client.ListDir(std::nullopt, &names, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(names, Lines{"kept"});
}

TEST_F(RemoteCommands, LongListingsArriveWhole) {
    std::string raw;
    for (int i = 0; i < 3000; ++i)
        raw += "-rw-r--r-- 1 ftp ftp " + std::to_string(i) + " Jan 12 10:30 f" + std::to_string(i) + "\r\n";
    server.SetListing("/", raw);
    ASSERT_EQ(List(), 3000);
    EXPECT_EQ(names.back(), "f2999");
    EXPECT_EQ(sizes.back(), 2999);
}

TEST_F(RemoteCommands, UnknownLinesFailTheListing) {
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 fine\r\nthis is not a listing\r\n");
    EXPECT_EQ(List(), -1);
    EXPECT_TRUE(log.contains("3 暂时不支持的列表结构"));
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 " + std::string(1 << 20, 'n') + "\r\n");
    EXPECT_EQ(List(), -1);
}

TEST_F(RemoteCommands, EndlessListingIsCapped) {
    TransferFaults endless;
    endless.repeatForever = true;
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 again\r\n", endless);
    EXPECT_EQ(List(), -1);
    EXPECT_TRUE(log.contains("3 列表过大: 超过67108864字节")) << log.text().substr(0, 2000);
    // The server's own final reply to the cut listing was read: the next
    // command gets its own answer.
    EXPECT_EQ(client.GetCurrentDir(), "/");
}

// A listing that takes longer than the reply time-out arrives whole as long
// as its bytes keep coming at a real link's pace...
TEST_F(RemoteCommands, ASlowListingLongerThanTheTimeOutArrivesWhole) {
    std::string raw;
    for (int i = 0; raw.size() < 60000; ++i)
        raw += "-rw-r--r-- 1 ftp ftp " + std::to_string(i) + " Jan 12 10:30 f" + std::to_string(i) + "\r\n";
    TransferFaults slow;  // about 20 KiB/s: some three seconds against a 2 s time-out
    slow.chunkBytes = 2048;
    slow.chunkDelayMs = 100;
    server.SetListing("/", raw, slow);
    const int count = List();
    EXPECT_GT(count, 1000) << log.text().substr(0, 1000);
    EXPECT_EQ(names.size(), static_cast<std::size_t>(count));
}

// ...but a server that sends a byte now and then cannot hold it for ever:
// the whole listing has a deadline that a trickle does not move.
TEST_F(RemoteCommands, ATricklingListingEnds) {
    TransferFaults trickle;
    trickle.repeatForever = true;
    trickle.chunkBytes = 1;
    trickle.chunkDelayMs = 20;
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 again\r\n", trickle);
    auto run = std::async(std::launch::async, [&] { return List(); });
    const bool ended = run.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!ended) server.Stop();
    ASSERT_TRUE(ended);
    EXPECT_EQ(run.get(), -1);
    Lines errors = log.ofKinds("3");
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string& l) {
        return l.rfind("3 列表传送过慢, 已放弃 (收到", 0) == 0;
    })) << log.text().substr(0, 1000);
}

TEST_F(RemoteCommands, OddNamesArriveByteForByte) {
    const std::string gbk = "\xd6\xd0\xce\xc4";  // two Chinese characters in GBK
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 " + gbk +
                               ".txt\r\n"
                               "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 a/b\r\n"
                               "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 ctl\x01name\r\n"
                               "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 中文 名字.txt\r\n");
    ASSERT_EQ(List(), 4);
    EXPECT_EQ(names, (Lines{gbk + ".txt", "a/b", "ctl\x01name", "中文 名字.txt"}));
}

TEST_F(RemoteCommands, UnparsablePasvFallsBackToActiveForGood) {
    server.Reply("PASV", "227 =127,0,0,1,10,10\r\n");
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n");
    ASSERT_EQ(List(), 1) << log.text();
    ASSERT_EQ(List(), 1) << log.text();
    Lines wire = Wire();
    ASSERT_EQ(wire.size(), 5u) << server.Transcript();
    EXPECT_EQ(wire[0], "PASV");
    EXPECT_EQ(wire[1].rfind("PORT 127,0,0,1,", 0), 0u);
    EXPECT_EQ(wire[2], "LIST");
    EXPECT_EQ(wire[3].rfind("PORT 127,0,0,1,", 0), 0u);  // no second PASV
    EXPECT_EQ(wire[4], "LIST");
    EXPECT_TRUE(log.contains("3 设置数据通道错误"));
    EXPECT_TRUE(log.contains("0 尝试主动模式连接"));
}

TEST_F(RemoteCommands, APassivePortNamingTheControlPortIsAFailedPasv) {
    // Connecting there would open a second control session and take its
    // greeting for the listing.
    server.Reply("PASV", FakeFtpServer::PasvReplyText("127,0,0,1", server.port()));
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n");
    ASSERT_EQ(List(), 1) << log.text();
    EXPECT_TRUE(log.contains("3 被动模式的数据端口不可用")) << log.text();
    Lines wire = Wire();
    ASSERT_EQ(wire.size(), 3u) << server.Transcript();
    EXPECT_EQ(wire[1].rfind("PORT 127,0,0,1,", 0), 0u);
    EXPECT_EQ(server.ConnectionCount(), 1) << "no connection to the control port";
}

TEST_F(RemoteCommands, AfterPasvAndPortBothFailTheNextListingTriesPassiveAgain) {
    server.ReplyNext("PASV", {"425 Cannot open passive connection.\r\n"});
    server.ReplyNext("PORT", {"500 Illegal PORT command.\r\n"});
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n");
    EXPECT_LT(List(), 0) << log.text();
    ASSERT_EQ(List(), 1) << log.text();
    Lines wire = Wire();
    ASSERT_GE(wire.size(), 4u) << server.Transcript();
    EXPECT_EQ(wire[0], "PASV");
    EXPECT_EQ(wire[1].rfind("PORT ", 0), 0u);
    EXPECT_EQ(wire[2], "PASV") << server.Transcript();
    EXPECT_EQ(wire[3], "LIST");
}

TEST_F(RemoteCommands, UnreachableDataPortFallsBack) {
    server.Reply("PASV", FakeFtpServer::PasvReplyText("127,0,0,1", 1));  // nothing listens on port 1
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n");
    ASSERT_EQ(List(), 1) << log.text();
    EXPECT_TRUE(log.contains("3 数据通道连接失败"));
    EXPECT_EQ(WireWithoutData(), (Lines{"LIST"}));
}

TEST_F(RemoteCommands, PasvNamingAnotherHostStillReachesTheServer) {
    server.SetPasvReply([](std::uint16_t port) { return FakeFtpServer::PasvReplyText("10,0,0,5", port); });
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n");
    ASSERT_EQ(List(), 1) << log.text();
    EXPECT_FALSE(log.contains("3 数据通道连接失败"));
    EXPECT_EQ(Wire(), (Lines{"PASV", "LIST"}));
}

// Every way a listing can fail is a failure, never an empty folder, and the
// control connection stays in step for the next command.
TEST_F(RemoteCommands, FailedListingsAreFailuresNotEmptyFolders) {
    const std::string line = "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n";
    TransferFaults stall;
    stall.stallAfterBytes = 5;
    const struct {
        const char* what;
        std::function<void(FakeFtpServer&)> arrange;
        const char* logged;
    } cases[] = {
        {"LIST refused with 550", [](FakeFtpServer& s) { s.Reply("LIST", "550 No such directory\r\n"); },
         "3 获得列表错误"},
        {"LIST refused with 450", [](FakeFtpServer& s) { s.Reply("LIST", "450 No files found\r\n"); },
         "3 获得列表错误"},
        {"no data channel at all",
         [](FakeFtpServer& s) {
             s.Reply("PASV", "502 no passive\r\n");
             s.Reply("PORT", "500 no active either\r\n");
         },
         "3 获得列表错误"},
        {"the data connection stalls", [&](FakeFtpServer& s) { s.SetListing("/", line, stall); },
         "3 接收数据超时"},
        {"the final reply is a failure",
         [&](FakeFtpServer& s) {
             TransferFaults drop;
             drop.dropAfterBytes = 10;
             s.SetListing("/", line + line, drop);
         },
         "3 列表未完整传送, 服务器回应426"},
    };
    for (const auto& c : cases) {
        server.ClearRules();
        server.SetListing("/", line);
        c.arrange(server);
        log.clear();
        EXPECT_EQ(List(), -1) << c.what << "\n" << log.text();
        EXPECT_TRUE(log.contains(c.logged)) << c.what << "\n" << log.text();
        server.ClearRules();
        EXPECT_EQ(client.GetCurrentDir(), "/") << c.what << "\n" << log.text();
    }
}

TEST_F(RemoteCommands, AListingWhoseFinalReplyNeverComesFailsAndStopsTheSession) {
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n");
    server.OnNext("LIST", {Action::Reply("150 Here it comes\r\n")});  // and then nothing, ever
    EXPECT_EQ(List(), -1) << log.text();
    // A late 226 could now answer any command: none is sent any more.
    std::size_t sent = server.Commands().size();
    EXPECT_EQ(client.GetCurrentDir(), "");
    EXPECT_EQ(server.Commands().size(), sent);
    EXPECT_TRUE(log.contains("3 控制连接已失去同步, 命令未发送")) << log.text();
}

TEST_F(RemoteCommands, RemoveDirDeletesDepthFirstInListingOrder) {
    server.AddFile("/a/x.txt", "x");
    server.AddFile("/a/b/y.txt", "y");
    server.SetListing("/a",
                      "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x.txt\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 b\r\n");
    server.SetListing("/a/b", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 y.txt\r\n");
    ASSERT_TRUE(client.RemoveDir("/a")) << log.text() << server.Transcript();
    // Each folder entered is proven with PWD, and so is every way back.
    // The target is first found in its parent's listing and entered from the parent.
    EXPECT_EQ(WireWithoutData(),
              (Lines{"PWD", "LIST /", "CWD /", "PWD", "CWD a", "PWD", "LIST", "DELE x.txt", "CWD b", "PWD",
                     "LIST", "DELE y.txt", "CDUP", "PWD", "RMD b", "CDUP", "PWD", "RMD /a"}));
    EXPECT_FALSE(server.DirectoryExists("/a"));
}

TEST_F(RemoteCommands, RemoveDirNeverEntersLinksOrDots) {
    server.AddFile("/outside/keep.txt", "keep");
    server.AddFile("/gone/f", "f");
    server.SetListing("/gone",
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 .\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 ..\r\n"
                      "lrwxrwxrwx 1 ftp ftp 8 Jan 12 10:30 link -> ../outside\r\n"
                      "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 f\r\n");
    server.Reply("DELE link", "250 link removed\r\n");
    EXPECT_TRUE(client.RemoveDir("/gone")) << log.text();
    EXPECT_EQ(WireWithoutData(), (Lines{"PWD", "LIST /", "CWD /", "PWD", "CWD gone", "PWD", "LIST",
                                        "DELE link", "DELE f", "CDUP", "PWD", "RMD /gone"}));
    EXPECT_EQ(server.FileContents("/outside/keep.txt").value_or(""), "keep");
}

TEST_F(RemoteCommands, RemoveDirStopsAtARefusedDelete) {
    server.SetListing(
        "/r", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 one\r\n-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 two\r\n");
    server.AddDirectory("/r");
    server.Reply("DELE", "550 Permission denied\r\n");
    server.Reply("RMD", "550 Directory not empty\r\n");
    EXPECT_FALSE(client.RemoveDir("/r"));
    Lines wire = WireWithoutData();
    EXPECT_EQ(std::count(wire.begin(), wire.end(), "DELE one"), 1);
    EXPECT_EQ(std::count(wire.begin(), wire.end(), "DELE two"), 0);
    EXPECT_EQ(wire.back(), "RMD /r");
}

TEST_F(RemoteCommands, RemoveDirOfAMissingFolderDeletesNothing) {
    server.Reply("CWD", "550 No such directory\r\n");
    EXPECT_FALSE(client.RemoveDir("/missing"));
    // Not in its parent's listing: never entered; a DELE could only remove a link.
    EXPECT_EQ(Wire(), (Lines{"PWD", "PASV", "LIST /", "DELE /missing"}));
    EXPECT_TRUE(log.contains("3 上级目录的列表中没有/missing, 不删除")) << log.text();
}

TEST_F(RemoteCommands, NamesWithLineBreaksInAListingAreNeverSentBack) {
    server.AddDirectory("/evil");
    server.SetListing("/evil", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\rDELE important\r\n");
    client.RemoveDir("/evil");
    for (const std::string& line : Wire()) EXPECT_EQ(line.find("important"), std::string::npos) << line;
}

}  // namespace

namespace {

TEST_F(RemoteCommands, RemoveDirLeavesNamesThatReachOutsideAlone) {
    server.AddFile("/escape", "precious");
    server.AddDirectory("/box");
    server.SetListing("/box",
                      "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 ../escape\r\n"
                      "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 a\\b\r\n");
    client.RemoveDir("/box");
    EXPECT_EQ(server.FileContents("/escape").value_or(""), "precious");
    for (const std::string& line : Wire()) EXPECT_EQ(line.rfind("DELE", 0), std::string::npos) << line;
    EXPECT_TRUE(log.contains("3 条目名称异常, 不删除:../escape"));
}

TEST_F(RemoteCommands, RemoveDirEndsOnAVeryDeepTree) {
    std::string deep = "/d";
    for (int i = 0; i < downlib::kMaxDeleteDepth + 20; ++i) deep += "/again";
    server.AddFile(deep + "/bottom.txt", "b");
    EXPECT_FALSE(client.RemoveDir("/d")) << log.text().substr(0, 400);
    EXPECT_TRUE(log.contains("3 目录层次过深或目录过多, 停止删除"));
    EXPECT_LE(server.CountCommands("CWD"), downlib::kMaxDeleteDepth + 2);
    EXPECT_TRUE(server.FileContents(deep + "/bottom.txt").has_value());
}

// The targets that some servers turn into the current folder, a parent or
// the root: nothing is entered, nothing deleted.
TEST_F(RemoteCommands, RemoveDirRefusesTargetsThatNameTheCurrentFolderAParentOrTheRoot) {
    server.AddFile("/keep.txt", "k");
    server.AddFile("/sub/inner.txt", "i");
    server.AddFile("/sub/deeper/d.txt", "d");
    ASSERT_TRUE(client.ChangeDir("/sub"));
    for (const std::string target :
         {"", ".", "..", "/", "//", "./", "../", "sub/..", "a/../..", "..\\x", "x\\.."}) {
        log.clear();
        const std::size_t before = server.Commands().size();
        EXPECT_FALSE(client.RemoveDir(target)) << "[" << target << "]";
        EXPECT_EQ(server.Commands().size(), before) << "[" << target << "]\n" << server.Transcript();
        EXPECT_EQ(log.ofKinds("3").size(), 1u) << log.text();
    }
    EXPECT_TRUE(server.FileContents("/keep.txt").has_value());
    EXPECT_TRUE(server.FileContents("/sub/inner.txt").has_value());
    EXPECT_TRUE(server.FileContents("/sub/deeper/d.txt").has_value());
}

// A CWD that the server takes somewhere that is not strictly below the
// folder the delete started from: found by PWD, nothing deleted.
TEST_F(RemoteCommands, RemoveDirProvesItsTargetWithPwdAfterEnteringIt) {
    server.AddFile("/sub/inner.txt", "i");
    server.AddFile("/other/o.txt", "o");
    server.AddDirectory("/sub/odd");
    ASSERT_TRUE(client.ChangeDir("/sub"));
    // "odd" is accepted but leaves the server where it is, as an empty CWD
    // does on some servers.
    server.Reply("CWD odd", "250 ok\r\n");
    int listed = 0;
    for (const std::string target : {"odd", "/other", "/sub"}) {
        log.clear();
        EXPECT_FALSE(client.RemoveDir(target)) << target << "\n" << log.text();
        EXPECT_EQ(server.CountCommands("DELE"), 0) << target;
        EXPECT_EQ(server.CountCommands("RMD"), 0) << target;
        // Only the parent is listed, to find the target's own entry.
        EXPECT_EQ(server.CountCommands("LIST"), listed + 1) << target;
        listed = server.CountCommands("LIST");
        EXPECT_EQ(client.GetCurrentDir(), "/sub") << target;  // back where it started
    }
    EXPECT_TRUE(server.FileContents("/sub/inner.txt").has_value());
    EXPECT_TRUE(server.FileContents("/other/o.txt").has_value());
}

// The target itself is a link: found in its parent's listing, removed with
// DELE, never entered, whatever a CWD into it would have done.
TEST_F(RemoteCommands, RemoveDirOfALinkDeletesTheLinkAndNeverEntersIt) {
    struct Case {
        const char* start;
        const char* target;
        const char* dele;
    };
    const Case cases[] = {
        {"/", "scratch/kl", "DELE scratch/kl"},
        {"/scratch", "kl", "DELE kl"},
        {"/", "/scratch/kl", "DELE /scratch/kl"},
        {"/", "scratch/kl/", "DELE scratch/kl/"},
    };
    for (const Case& c : cases) {
        server.AddFile("/keep/k.txt", "keep");
        server.AddDirectory("/scratch/kl");  // a CWD into it would succeed
        server.SetListing("/scratch", "lrwxrwxrwx 1 ftp ftp 7 Jan 12 10:30 kl -> ../keep\r\n");
        server.Reply(c.dele, "250 link removed\r\n");
        ASSERT_TRUE(client.ChangeDir(c.start));
        const std::size_t before = server.Commands().size();
        EXPECT_TRUE(client.RemoveDir(c.target)) << c.target << "\n" << log.text();
        const Lines all = server.Commands();
        const Lines wire(all.begin() + static_cast<long>(before), all.end());
        EXPECT_NE(std::find(wire.begin(), wire.end(), c.dele), wire.end()) << c.target;
        for (const std::string& line : wire) {
            EXPECT_EQ(line.rfind("CWD", 0), std::string::npos) << c.target << ": " << line;
            EXPECT_EQ(line.rfind("RMD", 0), std::string::npos) << c.target << ": " << line;
        }
        EXPECT_EQ(server.FileContents("/keep/k.txt").value_or(""), "keep") << c.target;
    }
}

// A target listed as a folder whose PWD after CWD is not exactly the parent's
// plus the name (a server that resolves links, one that lands elsewhere):
// nothing deleted, a log line, back where it started.
TEST_F(RemoteCommands, RemoveDirNeedsExactlyTheParentAndTheNameAfterEnteringIt) {
    server.AddFile("/keep/k.txt", "keep");
    server.AddFile("/scratch/kl/x.txt", "x");
    server.AddFile("/scratch/kl/deeper/y.txt", "y");
    server.SetListing("/scratch", "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 kl\r\n");
    ASSERT_TRUE(client.ChangeDir("/"));
    // PWD: the start, the parent, then what the server says after CWD kl.
    for (const char* landed : {"257 \"/keep\"\r\n", "257 \"/scratch/kl/deeper\"\r\n", "257 \"/scratch\"\r\n",
                               "257 \"/scratch/klx\"\r\n", "257 no quotes\r\n"}) {
        log.clear();
        server.ReplyNext("PWD", {"257 \"/\"\r\n", "257 \"/scratch\"\r\n", landed});
        EXPECT_FALSE(client.RemoveDir("scratch/kl")) << landed << log.text();
        EXPECT_EQ(server.CountCommands("DELE"), 0) << landed;
        EXPECT_EQ(server.CountCommands("RMD"), 0) << landed;
        const Lines errors = log.ofKinds("3");
        EXPECT_EQ(
            std::count_if(errors.begin(), errors.end(),
                          [](const std::string& line) { return line.find("不删除") != std::string::npos; }),
            1)
            << landed << log.text();
    }
    EXPECT_EQ(client.GetCurrentDir(), "/");
    EXPECT_TRUE(server.FileContents("/scratch/kl/x.txt").has_value());
    EXPECT_EQ(server.FileContents("/keep/k.txt").value_or(""), "keep");
}

// A subfolder whose CWD or CDUP goes somewhere else (a link listed as a
// folder, a CDUP that follows the link's physical parent): the walk stops
// before it deletes a name anywhere but in the folder it listed.
TEST_F(RemoteCommands, RemoveDirNeverDeletesInAFolderItDidNotList) {
    server.AddFile("/t/a.txt", "a");
    server.AddFile("/t/z.txt", "z");
    server.AddFile("/t/sub/s.txt", "s");
    server.AddFile("/elsewhere/a.txt", "precious");
    server.AddFile("/elsewhere/z.txt", "precious");
    server.SetListing("/t",
                      "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 a.txt\r\n"
                      "drwxr-xr-x 2 ftp ftp 4096 Jan 12 10:30 sub\r\n"
                      "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 z.txt\r\n");
    // CDUP from /t/sub lands in /elsewhere, and the way back is refused too.
    server.On("CDUP", Action::Reply("250 ok\r\n"));
    server.On("CWD /t", Action::Reply("550 no\r\n"));
    server.ReplyNext("PWD",
                     {"257 \"/\"\r\n", "257 \"/t\"\r\n", "257 \"/t/sub\"\r\n", "257 \"/elsewhere\"\r\n"});
    EXPECT_FALSE(client.RemoveDir("t")) << log.text();
    EXPECT_TRUE(log.contains("3 无法回到目录/t, 停止删除")) << log.text();
    EXPECT_EQ(server.FileContents("/elsewhere/z.txt").value_or(""), "precious");
    EXPECT_EQ(server.FileContents("/elsewhere/a.txt").value_or(""), "precious");
    EXPECT_EQ(server.CountCommands("DELE z.txt"), 0) << server.Transcript();
}

}  // namespace

namespace {

TEST_F(RemoteCommands, ActiveModeWaitsForTheServerOnlyUpToTheConnectTimeOut) {
    server.Reply("PASV", "502 no passive here\r\n");
    // ...but the server never connects back, and says so.
    server.Reply("LIST", "150 Here it comes\r\n425 Can't open data connection.\r\n");
    // Bounded by the session's connect time-out (2000 ms); without a bound this hangs.
    EXPECT_EQ(List(), -1);
    EXPECT_TRUE(log.contains("3 等待服务器的数据连接超时")) << log.text();
    Lines wire = Wire();
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(wire[1].rfind("PORT 127,0,0,1,", 0), 0u);
    // The 425 belonged to LIST: every later command reads its own reply.
    EXPECT_EQ(client.GetCurrentDir(), "/") << log.text();
    EXPECT_TRUE(client.ChangeDir("/"));
    EXPECT_EQ(client.GetCurrentDir(), "/");
}

}  // namespace

// Replies whose meaningful part lies past the line buffer: the value read is
// whole, and nothing of the long line is left over to answer the next command.
TEST_F(RemoteCommands, LongReplyLinesGiveWholeValuesAndStayInStep) {
    const std::string path = "/" + std::string(6000, 'd');
    server.ReplyNext("PWD", {"257 \"" + path + "\" is the current directory\r\n"});
    EXPECT_EQ(client.GetCurrentDir(), path);
    EXPECT_EQ(client.GetCurrentDir(), "/");  // the second PWD's own answer

    const std::string text(5200, 't');
    server.SetPasvReply([text](std::uint16_t port) {
        std::string reply = FakeFtpServer::PasvReplyText("127,0,0,1", port);
        return reply.insert(4, text);
    });
    server.SetListing("/", "-rw-r--r-- 1 ftp ftp 1 Jan 12 10:30 x\r\n");
    ASSERT_EQ(List(), 1) << log.text().substr(0, 400);
    EXPECT_EQ(names, Lines{"x"});
    EXPECT_EQ(client.GetCurrentDir(), "/");
}

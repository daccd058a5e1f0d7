// The reply assembler fed every reply of the table cut at every byte: however
// the network splits a stream, the same replies, log lines and unread bytes
// come out.
#include "downlib/reply_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "downlib/ftp_engine.h"

namespace {

using downlib::ReplyAssembler;
using downlib::ReplyProgress;
using Lines = std::vector<std::string>;

struct Outcome {
    Lines replies;  // "code|final line", "failed" or "out of step"
    Lines log;      // "kind text"
    std::string unread;
    bool operator==(const Outcome& other) const {
        return replies == other.replies && log == other.log && unread == other.unread;
    }
};

// Takes every reply the fed bytes hold; false once the stream is out of step.
bool Drain(ReplyAssembler& assembler, Outcome& out) {
    while (true) {
        const std::optional<downlib::AssembledReply> reply = assembler.Next();
        for (const downlib::AssemblerLog& line : assembler.TakeLog())
            out.log.push_back(std::to_string(line.kind) + " " + line.text);
        if (reply) {
            out.replies.push_back(std::to_string(reply->code) + "|" + reply->finalLine);
        } else if (assembler.Progress() == ReplyProgress::Failed) {
            out.replies.push_back("failed");
        } else if (assembler.Progress() == ReplyProgress::OutOfStep) {
            out.replies.push_back("out of step");
            return false;
        } else {
            return true;
        }
    }
}

// Feeds `stream` cut before each of `cuts` (ascending), then the close when `closed`.
Outcome Assemble(const std::string& stream, const std::vector<std::size_t>& cuts, bool closed) {
    ReplyAssembler assembler;
    Outcome out;
    bool inStep = true;
    std::size_t from = 0;
    std::vector<std::size_t> ends = cuts;
    ends.push_back(stream.size());
    for (const std::size_t end : ends) {
        assembler.Feed(std::string_view(stream).substr(from, end - from));
        from = end;
        if (inStep) inStep = Drain(assembler, out);
    }
    if (closed && inStep) {
        assembler.FeedEnd();
        Drain(assembler, out);
    }
    out.unread = assembler.TakeUnread();
    return out;
}

std::string Describe(const Outcome& outcome) {
    std::string text;
    for (const std::string& reply : outcome.replies) text += "[" + reply.substr(0, 80) + "] ";
    return text + "unread " + std::to_string(outcome.unread.size()) + " bytes";
}

struct Case {
    const char* what;
    std::string stream;
    bool closed;
    Lines replies;
    std::string unread;
};

std::vector<Case> Table() {
    const std::string path(6000, 'p');
    const std::string text(5200, 't');
    // A line of a multi-line reply longer than the line buffer, cut by it
    // just where "226 " begins: the rest of a line is no final line.
    const std::string longInner = "211-" + std::string(downlib::kLineBufferSize - 5, 'i') + "226 inner\r\n";
    return {
        {"one line", "220 Welcome\r\n", false, {"220|220 Welcome\r\n"}, ""},
        {"bare line feeds", "220-a\n220 b\n", false, {"220|220 b\n"}, ""},
        {"multi-line", "230-Hello\r\n there\r\n230-more\r\n230 Done\r\n", false, {"230|230 Done\r\n"}, ""},
        {"text before the code", "hello\r\n220 ok\r\n", false, {"220|220 ok\r\n"}, ""},
        {"two replies at once",
         "257 \"/a\"\r\n257 \"/b\"\r\n",
         false,
         {"257|257 \"/a\"\r\n", "257|257 \"/b\"\r\n"},
         ""},
        {"the next reply begun", "200 ok\r\n150 op", false, {"200|200 ok\r\n"}, "150 op"},
        {"a bare code", "257\r\n257 \"/\"\r\n", false, {"failed", "257|257 \"/\"\r\n"}, ""},
        {"four digits", "2570 four\r\n", false, {"failed"}, ""},
        {"code and a letter", "257x\n", false, {"failed"}, ""},
        {"code below 100", "000 zero\r\n099 low\r\n", false, {"failed", "failed"}, ""},
        {"a long PWD answer",
         "257 \"/" + path + "\" is current\r\n200 next\r\n",
         false,
         {"257|257 \"/" + path + "\" is current\r\n", "200|200 next\r\n"},
         ""},
        {"a long 227 text",
         "227 " + text + " (127,0,0,1,4,1)\r\n226 done\r\n",
         false,
         {"227|227 " + text + " (127,0,0,1,4,1)\r\n", "226|226 done\r\n"},
         ""},
        {"a long inner line", longInner + "211 end\r\n", false, {"211|211 end\r\n"}, ""},
        {"a malformed long line",
         "257" + std::string(6000, 'x') + "\r\n",
         false,
         {"out of step"},
         std::string(6000 - (downlib::kLineBufferSize - 4), 'x') + "\r\n"},
        {"cut by the close", "221 Bye", true, {"221|221 Bye"}, ""},
        {"not yet closed", "221 Bye", false, {}, "221 Bye"},
        {"closed inside a multi-line", "220-a\r\n220-b", true, {}, ""},
        {"closed after a bare code", "220", true, {"failed"}, ""},
    };
}

}  // namespace

TEST(ReplyAssembler, EveryReplyOfTheTableWhole) {
    for (const Case& c : Table()) {
        const Outcome whole = Assemble(c.stream, {}, c.closed);
        EXPECT_EQ(whole.replies, c.replies) << c.what << ": " << Describe(whole);
        EXPECT_EQ(whole.unread, c.unread) << c.what;
    }
}

// Beast's split-everywhere: one cut at every byte, then every byte on its own.
TEST(ReplyAssembler, EverySplitPointGivesTheSameReplies) {
    for (const Case& c : Table()) {
        const Outcome whole = Assemble(c.stream, {}, c.closed);
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) {
            const Outcome split = Assemble(c.stream, {cut}, c.closed);
            ASSERT_TRUE(split == whole) << c.what << " cut at " << cut << ": " << Describe(split);
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t cut = 1; cut < c.stream.size(); ++cut) everyByte.push_back(cut);
        EXPECT_TRUE(Assemble(c.stream, everyByte, c.closed) == whole) << c.what << " byte by byte";
    }
}

TEST(ReplyAssembler, LogShowsEveryPieceThenTheFailure) {
    const struct {
        std::string stream;
        Lines log;
    } cases[] = {
        {"220-Hi\r\n220 Go\n", {"2 220-Hi", "2 220 Go"}},
        {"257\r\n", {"2 257", "3 服务器回应格式错误", "3 获得返回命令失败"}},
        {"000 zero\r\n", {"2 000 zero", "3 获得返回命令失败"}},
        {"220 " + std::string(5200, 'x') + "\r\n",
         {"2 220 " + std::string(downlib::kLineBufferSize - 5, 'x'), "2 " + std::string(85, 'x')}},
    };
    for (const auto& c : cases) EXPECT_EQ(Assemble(c.stream, {}, false).log, c.log) << c.stream.substr(0, 20);
}

// A server streaming endless lines: the reply is given up once its lines
// pass the cap, wherever the reads were cut, and the rest stays unread.
TEST(ReplyAssembler, EndlessLinesStopAtTheCap) {
    std::string stream;
    while (stream.size() < downlib::kMaxReplyBytes + 20000) stream += "220-more and more\r\n";
    const Outcome whole = Assemble(stream, {}, false);
    ASSERT_EQ(whole.replies, Lines{"out of step"});
    EXPECT_EQ(whole.log.back(), "3 获得返回命令失败");
    EXPECT_EQ(whole.log[whole.log.size() - 2], "3 服务器回应过长, 已放弃读取");
    const std::size_t consumed = stream.size() - whole.unread.size();
    EXPECT_GT(consumed, downlib::kMaxReplyBytes);
    EXPECT_LE(consumed, downlib::kMaxReplyBytes + 19);
    for (std::size_t cut = 1; cut < stream.size(); cut += 4093)
        ASSERT_TRUE(Assemble(stream, {cut}, false) == whole) << "cut at " << cut;
}

TEST(ReplyAssembler, AbandonedReplyIsOutOfStepAndKeepsItsBytes) {
    ReplyAssembler assembler;
    assembler.Feed("220-half\r\n220 wh");
    EXPECT_FALSE(assembler.Next().has_value());
    EXPECT_EQ(assembler.Progress(), ReplyProgress::NeedMore);
    EXPECT_TRUE(assembler.HasPendingBytes());
    assembler.Abandon();
    EXPECT_EQ(assembler.Progress(), ReplyProgress::OutOfStep);
    const std::vector<downlib::AssemblerLog> log = assembler.TakeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().text, "获得返回命令失败");
    EXPECT_EQ(assembler.TakeUnread(), "220 wh");
}

// libFuzzer target for the reply reader. The input is the byte stream a server
// sends on the control connection. It is fed to the reply assembler in pieces
// cut at places drawn from the input itself: lines and replies split anywhere,
// as a slow or hostile server would split them. Replies are taken until the
// stream ends or falls out of step; each one must be a well-formed final line
// of its code, and what is logged must come from the input.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "downlib/control_connection.h"
#include "downlib/ftp_engine.h"
#include "downlib/reply_assembler.h"

namespace {

// A small deterministic generator seeded from the input, so a run replays.
class Cuts {
public:
    Cuts(const std::uint8_t* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) state_ = (state_ ^ data[i]) * 0x100000001b3ull;
        if (state_ == 0) state_ = 1;
    }
    // Mostly short pieces, now and then one as large as a whole read.
    std::size_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return (state_ & 7) == 0 ? 1 + (state_ >> 8) % downlib::kControlReadSize : 1 + (state_ >> 8) % 48;
    }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ull;
};

// A reply is its final line: three digits, a blank, and a line end unless the
// close cut it short.
void CheckReply(const downlib::AssembledReply& reply, std::size_t size) {
    const std::string& line = reply.finalLine;
    if (line.size() < 4 || line[3] != ' ' || line.size() > size) std::abort();
    for (int i = 0; i < 3; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(line[i]))) std::abort();
    }
    if (reply.code < 100 || reply.code != (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0'))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    downlib::ReplyAssembler assembler;
    Cuts cuts(data, size);
    std::size_t fed = 0;
    bool closed = false;
    std::size_t replies = 0;
    std::size_t replyText = 0;
    std::size_t replyLines = 0;
    std::size_t errorLines = 0;
    bool cutByClose = false;
    while (true) {
        const std::optional<downlib::AssembledReply> reply = assembler.Next();
        for (const downlib::AssemblerLog& line : assembler.TakeLog()) {
            if (line.kind == downlib::LogReply) {
                replyText += line.text.size();
                ++replyLines;
            } else {
                ++errorLines;
            }
        }
        if (reply) {
            // A final line that the server's close cut short is the last
            // reply: nothing can follow it to be taken for another answer.
            if (cutByClose) std::abort();
            cutByClose = reply->finalLine.back() != '\n';
            CheckReply(*reply, size);
            if (++replies > size) std::abort();  // every reply consumes input
            continue;
        }
        if (assembler.Progress() == downlib::ReplyProgress::OutOfStep) break;
        if (assembler.Progress() == downlib::ReplyProgress::Failed) continue;
        if (fed < size) {
            const std::size_t piece = std::min(cuts.Next(), size - fed);
            assembler.Feed(input.substr(fed, piece));
            fed += piece;
        } else if (!closed) {
            assembler.FeedEnd();
            closed = true;
        } else {
            if (assembler.HasPendingBytes()) std::abort();  // a close leaves no line waiting
            break;
        }
    }
    // Everything logged came from the input, plus at most two failure texts a line.
    if (replyText > size || errorLines > 2 * replyLines) std::abort();
    return 0;
}

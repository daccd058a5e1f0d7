// Replies assembled from the control connection's bytes, however the network
// cut them: no socket here, so every way of splitting a reply can be fed in a
// test. The reader that owns the socket feeds what it receives and asks for
// the next reply until one is whole or has failed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace downlib {

inline constexpr std::size_t kLineBufferSize = 5120;                    // a line holds at most 5119 bytes
inline constexpr std::size_t kMaxReplyBytes = std::size_t{256} * 1024;  // all lines of one reply together

// A whole reply: its code (100 to 999) and its final line, line end included
// unless the server's close cut it short.
struct AssembledReply {
    int code = 0;
    std::string finalLine;
    // Every line of the reply as it came (within kMaxReplyBytes): the
    // lines before the final one carry a FEAT reply's features.
    std::string allLines;
};

// One line for the session log, as the reader would have shown it.
struct AssemblerLog {
    int kind = 0;
    std::string text;
};

enum class ReplyProgress {
    NeedMore,   // the reply goes on in bytes not fed yet
    Whole,      // Next returned a reply
    Failed,     // the reply was read whole but cannot be a reply: the next one follows
    OutOfStep,  // part of the reply may still be on its way: nothing after it can be trusted
};

class ReplyAssembler {
public:
    // Bytes that follow those fed before.
    void Feed(std::string_view bytes);
    // The server closed the connection: a line it cut short still counts as
    // a line, since nothing can come after it to be mispaired.
    void FeedEnd();
    // The next whole reply, or nothing while more bytes are needed or when the
    // reply failed (see Progress). Log lines of every piece read are queued
    // for TakeLog in the order the reader shows them.
    std::optional<AssembledReply> Next();
    ReplyProgress Progress() const { return progress_; }
    // The reader gave up on the reply (time-out, stop, a broken socket).
    void Abandon();

    // Bytes fed but not yet part of a line.
    bool HasPendingBytes() const { return read_ < bytes_.size(); }
    // The bytes not read yet, which belong to whatever follows; the
    // assembler keeps none of them.
    std::string TakeUnread();
    std::vector<AssemblerLog> TakeLog();

private:
    // The next piece of a line: up to a line end, at most the line buffer's
    // worth, or what is left when the server closed.
    std::optional<std::string_view> NextPiece(bool& ended);
    // Takes one piece into the reply; true when the reply has ended (whole or failed).
    bool TakePiece(std::string_view piece, bool ended);
    bool Fail(bool stepLost);
    bool EndFinalLine();
    void StartReply();
    void Log(int kind, std::string text) { log_.push_back({kind, std::move(text)}); }

    std::string bytes_;
    std::size_t read_ = 0;
    bool closed_ = false;
    std::vector<AssemblerLog> log_;

    ReplyProgress progress_ = ReplyProgress::NeedMore;
    bool atLineStart_ = true;
    bool multiLine_ = false;
    bool inFinalLine_ = false;
    std::size_t total_ = 0;
    int code_ = 0;
    std::string finalLine_;
    std::string allLines_;
};

// The code a reply line starts with, or 0 when it does not start with three digits.
int ReplyCodeOf(std::string_view line);
// The message a log shows for a reply line: without its line end.
std::string LineForLog(std::string_view line);

}  // namespace downlib

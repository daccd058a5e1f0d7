// libFuzzer target for the reply reader. The input is the byte stream a server
// sends on the control connection. It reaches ReadReply through a
// SOCK_SEQPACKET socket pair cut into pieces at places drawn from the input
// itself, so every recv() returns one piece: lines and replies split anywhere,
// as a slow or hostile server would split them. Replies are read until the
// stream fails; each one must be a well-formed final line of its code.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "downlib/control_connection.h"
#include "downlib/session.h"

namespace {

// A small deterministic generator seeded from the input, so a run replays.
class Cuts {
public:
    Cuts(const std::uint8_t* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) state_ = (state_ ^ data[i]) * 0x100000001b3ull;
        if (state_ == 0) state_ = 1;
    }
    // Mostly short pieces, now and then one as large as a whole read.
    std::size_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return (state_ & 7) == 0 ? 1 + (state_ >> 8) % downlib::kControlReadSize : 1 + (state_ >> 8) % 48;
    }

private:
    std::uint64_t state_ = 0xcbf29ce484222325ull;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    // The writer never blocks: what does not fit in the socket's buffer is
    // left out, and the reader sees the stream end there.
    Cuts cuts(data, size);
    std::size_t sent = 0;
    while (sent < size) {
        std::size_t piece = std::min(cuts.next(), size - sent);
        ssize_t n = ::send(fds[1], data + sent, piece, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);

    downlib::TransferSession session;  // an assistant session: log events go to its callback
    std::size_t logged = 0;
    session.logCallback = [&logged](int, const std::string&, const std::string& message, int,
                                    downlib::Handle) { logged += message.size(); };
    downlib::SessionConnection connection(session);
    connection.control.Reset(fds[0]);

    std::size_t replies = 0;
    bool cutByClose = false;
    while (true) {
        std::string reply;
        const int code = downlib::ReadReply(connection, reply, 1000);
        if (code == 0) {
            if (!reply.empty()) std::abort();  // a failed read leaves nothing behind
            break;
        }
        // A final line that the server's close cut short is the last reply:
        // nothing can follow it to be taken for another command's answer.
        if (cutByClose) std::abort();
        cutByClose = reply.back() != '\n';
        // A reply is its final line: three digits, a blank, and a line end.
        if (reply.size() < 4 || reply[3] != ' ') std::abort();
        for (int i = 0; i < 3; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(reply[i]))) std::abort();
        }
        if (code < 100 || code != (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0'))
            std::abort();
        if (reply.size() > sent) std::abort();
        if (++replies > sent) std::abort();  // every reply consumes input
    }
    // Everything logged came from the input, plus a bounded failure text.
    if (logged > sent + 4096) std::abort();
    return 0;
}

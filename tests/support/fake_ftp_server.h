// A scriptable FTP server for tests: it listens on 127.0.0.1 (port chosen by
// the system), serves any number of sequential or concurrent control
// connections on its own threads, records every command line it receives, and
// answers from rules set by the test, falling back to the replies of a
// well-behaved server. A small in-memory file system gives LIST, RETR,
// STOR and APPE real data connections (PASV with a real listening socket, or PORT with
// a connection back to the client). Faults are injected per command (raw
// reply bytes, silence, closing, endless lines) and per transferred path
// (drop or reset after N bytes, stall, a SIZE that disagrees with the data).
//
// Left out: EPSV/EPRT, MLSD, TLS, ASCII line-end conversion (data are sent as
// stored whatever the TYPE), and any real permission model.
//
// Every wait is bounded: sockets are polled in short cycles and the destructor
// stops and joins all threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

namespace detail {
struct FakeServerState;
}

// What the server does in answer to a command (or on accepting a connection).
struct Action {
    enum class Kind {
        Reply,    // send `bytes` exactly as given
        Silence,  // send nothing; keep reading the next commands
        Close,    // close the control connection at once
        Endless,  // send `bytes` over and over until the client goes away
        Trickle,  // send `bytes` one byte every `intervalMs`, over and over, until the client goes away
    };
    Kind kind = Kind::Reply;
    std::string bytes;
    bool closeAfter = false;  // Reply: close the control connection after sending
    int delayMs = 0;          // wait this long first (cut short when the server stops)
    int intervalMs = 0;       // Trickle: the pause between two bytes

    static Action Reply(std::string raw);
    static Action ReplyAndClose(std::string raw);
    static Action Silence();
    static Action Close();
    static Action Endless(std::string chunk);
    static Action Trickle(std::string bytes, int intervalMs);
    Action After(int ms) const;
};

// Faults of the data connection of one path (a file for RETR or STOR/APPE, a
// directory for LIST). For an upload the byte counts are bytes received, a
// drop keeps what came (as real servers keep a broken upload), a stall stops
// reading until the client gives up, and the chunk throttle slows the reading.
struct TransferFaults {
    std::int64_t dropAfterBytes = -1;   // close the data connection after this many bytes (<0: never)
    int dropTimes = 1;                  // ...for this many transfers, then behave
    bool resetOnDrop = false;           // drop with a TCP reset instead of an orderly close
    bool closeControlOnDrop = false;    // also close the control connection (a crashed server)
    bool silentOnDrop = false;          // send no reply after the drop (a hung server)
    std::int64_t stallAfterBytes = -1;  // send this many bytes, then hold the connection silent
    int stallTimes = -1;                // ...for this many transfers, then behave (<0: every time)
    std::int64_t reportedSize = -1;     // SIZE answers this instead of the real length (>=0)
    bool repeatForever = false;         // send the content again and again (capped at 256 MiB)
    std::size_t chunkBytes = 0;         // throttle: send in chunks of this size...
    int chunkDelayMs = 0;               // ...with this pause between them
    std::string storeReply;             // STOR/APPE: the reply after the data instead of 226 (or 426)
    bool storeReplySilent = false;      // STOR/APPE: no reply at all after the data
    int receiveBuffer = 0;              // STOR/APPE: SO_RCVBUF of the data socket (>0), so that a
                                        // slow reader holds the client's bytes in the client's queue
};

enum class RestMode {
    Supported,      // 350 Restarting at N. Send STORE or RETRIEVE.
    Refused,        // 502 REST not implemented. (marker unchanged)
    NoRestartWord,  // 350 Rest supported (marker set, but the reply lacks the word)
};

// One received command line as it arrived.
struct ReceivedCommand {
    int connection = 0;  // 1 for the first accepted control connection, then 2, 3, ...
    std::string line;    // without the line end
    bool crlf = false;   // the line ended in CR LF (false: bare LF, or cut by close)
};

class FakeFtpServer {
public:
    FakeFtpServer();
    ~FakeFtpServer();
    FakeFtpServer(const FakeFtpServer&) = delete;
    FakeFtpServer& operator=(const FakeFtpServer&) = delete;

    // False when the listening socket could not be created (see error()).
    bool ok() const;
    const std::string& error() const;
    std::uint16_t port() const;
    std::string Host() const { return "127.0.0.1"; }
    // "ftp://127.0.0.1:<port>" followed by path (which should start with "/").
    std::string Url(std::string_view path = "/") const;

    // --- Opening of each control connection
    void SetGreeting(std::string raw);  // default "220 FakeFtp ready\r\n"
    void GreetWith(Action action);      // e.g. Action::Close() or Action::Silence()
    // The next connections get these greetings in turn; later ones the normal greeting.
    void GreetNext(std::vector<Action> actions);
    // Serves at most `connections` control connections at once (vsftpd's
    // max_per_ip, pure-ftpd -C): one beyond them is greeted with `refusal`
    // ("421 Too many connections\r\n") and closed. A connection's place is
    // free from its QUIT on. 0: no limit (the default).
    void SetConnectionLimit(int connections, std::string refusal);

    // --- Rules. A key is a verb ("RETR", any case) or a whole command line
    // ("REST 100"); a whole-line rule wins over a verb rule, a queued answer
    // over a lasting one. A rule replaces the built-in handling entirely, side
    // effects included (a PASV rule opens no data socket).
    void Reply(std::string key, std::string raw);
    void On(std::string key, Action action);
    void OnNext(std::string key, std::vector<Action> actions);  // used once each, in order
    void ReplyNext(std::string key, std::vector<std::string> raws);
    void CloseOn(std::string key);
    void SilentOn(std::string key);
    void ClearRules();

    // --- Built-in behaviour options
    void SetCredentials(std::string user, std::string password);  // default: any log-in works
    void SetRestMode(RestMode mode);
    // Like pyftpdlib and proftpd: SIZE answers 550 and REST 501 in ASCII type.
    void SetBinaryOnlyRestAndSize(bool on);
    // Like proftpd without AllowStoreRestart: a STOR after a REST above 0 is
    // answered "451 Append/Restart not permitted". APPE stays allowed.
    void SetStoreRestartAllowed(bool on);
    // MDTM (asking, and setting in vsftpd's "MDTM digits path" form) and
    // MFMT, listed in FEAT. Files added by the test carry 20200101000000; a
    // STOR stamps the time it happened, as real servers do. Off by default.
    void SetFileTimes(bool on);
    // A server without bottom: CWD into any path succeeds (and PWD names
    // it), and a folder without a listing of its own lists as "/" does.
    void SetBottomless(bool on);
    void SetModified(const std::string& path, std::string digits);
    std::optional<std::string> Modified(const std::string& path) const;
    // The 227 text for a passive listener on `port`; default names 127,0,0,1.
    void SetPasvReply(std::function<std::string(std::uint16_t port)> make);
    // Reject a PORT whose address is not the control connection's peer (as vsftpd does).
    void SetStrictPort(bool on);
    // How long a transfer waits for its data connection (accept or connect back).
    void SetDataTimeout(std::chrono::milliseconds timeout);
    // A session silent for this long is sent "421 Timeout." and closed, as
    // vsftpd's idle_session_timeout does (0, the default: never).
    void SetIdleTimeout(std::chrono::milliseconds timeout);
    // Closes every open control connection at once, as a restart of the
    // server would; new connections are still accepted.
    void DropConnections();

    // --- Virtual file system. Paths are absolute ("/pub/a.zip"); parents are created.
    void AddFile(std::string path, std::string bytes, TransferFaults faults = {});
    // A file of `size` bytes of PatternBytes(seed) (temp_dir.h), made on the fly.
    void AddPatternFile(std::string path, std::int64_t size, std::uint32_t seed, TransferFaults faults = {});
    void AddDirectory(std::string path);
    // Raw LIST bytes for a directory; without one, LIST builds a Unix-style listing.
    void SetListing(std::string dirPath, std::string raw, TransferFaults faults = {});
    void SetFaults(std::string path, TransferFaults faults);
    std::optional<std::string> FileContents(const std::string& path) const;
    bool DirectoryExists(const std::string& path) const;

    // --- What happened
    std::vector<std::string> Commands() const;
    std::vector<ReceivedCommand> Received() const;
    // The command lines of one connection (1-based, in accept order).
    std::vector<std::string> CommandsOf(int connection) const;
    int ConnectionCount() const;
    // Number of received lines that match key (verb or whole line, as for rules).
    int CountCommands(std::string_view key) const;
    bool WaitForCommand(std::string_view key, std::chrono::milliseconds timeout) const;
    bool WaitForCommandCount(std::string_view key, int count, std::chrono::milliseconds timeout) const;
    bool WaitForConnections(int count, std::chrono::milliseconds timeout) const;
    // Wait until no control connection is open (true at once before the first).
    bool WaitForAllClosed(std::chrono::milliseconds timeout) const;
    // Every line, one per row, for failure messages.
    std::string Transcript() const;

    // Stops accepting, closes every connection and joins the threads. Idempotent.
    void Stop();

    // "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2).\r\n" with the given host part.
    static std::string PasvReplyText(std::string_view commaHost, std::uint16_t port);

private:
    std::shared_ptr<detail::FakeServerState> state_;
};

}  // namespace testsupport

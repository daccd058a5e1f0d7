// Session creation from URLs: scheme recognition, host, port, path decoding,
// the user:password@host override and the transfer type by extension.
#include "downlib/session.h"

#include <gtest/gtest.h>

#include <string>

namespace downlib {
namespace {

struct SchemeCase {
    const char* url;
    bool recognised;
    Protocol protocol;
    int defaultPort;
    std::size_t prefix;
};

TEST(SessionUrl, RecognisesSchemesByTheirCharacterSums) {
    const SchemeCase cases[] = {
        {"ftp://host/", true, Protocol::Ftp, 21, 6},
        {"FTP://host/", true, Protocol::Ftp, 21, 6},
        {"fTp://host/", true, Protocol::Ftp, 21, 6},
        {"http://host/", true, Protocol::Http, 80, 7},
        {"mms://host/", true, Protocol::Mms, 1755, 6},
        {"mmst://host/", true, Protocol::Mms, 1755, 7},
        {"rtsp://host/", true, Protocol::Rtsp, 554, 7},
        // Same first letter, wrong sum.
        {"ftq://host/", false, Protocol::Ftp, 0, 0},
        {"ftp:/host/", false, Protocol::Ftp, 0, 0},
        {"sftp://host/", false, Protocol::Ftp, 0, 0},
        {"", false, Protocol::Ftp, 0, 0},
        {"f", false, Protocol::Ftp, 0, 0},
        {"ftp:", false, Protocol::Ftp, 0, 0},
        // Any letters with the same code sum pass, as the check only adds codes.
        {"fpt://host/", true, Protocol::Ftp, 21, 6},
    };
    for (const SchemeCase& c : cases) {
        std::optional<SchemeInfo> scheme = RecognizeScheme(c.url);
        ASSERT_EQ(scheme.has_value(), c.recognised) << c.url;
        if (!scheme) continue;
        EXPECT_EQ(scheme->protocol, c.protocol) << c.url;
        EXPECT_EQ(scheme->defaultPort, c.defaultPort) << c.url;
        EXPECT_EQ(scheme->prefixLength, c.prefix) << c.url;
    }
}

// The TLS schemes name their mode; ftp:// takes the task's (Off by default).
TEST(SessionUrl, TlsSchemesNameTheModeAndImplicitDefaultsToPort990) {
    const struct {
        const char* url;
        TlsMode taskMode;
        TlsMode mode;
        int port;
        const char* user;
    } cases[] = {
        {"ftp://host/f", TlsMode::Off, TlsMode::Off, 21, "anonymous"},
        {"ftp://host/f", TlsMode::Auto, TlsMode::Auto, 21, "anonymous"},
        {"ftpes://host/f", TlsMode::Off, TlsMode::Required, 21, "anonymous"},
        {"FTPES://host:2121/f", TlsMode::Auto, TlsMode::Required, 2121, "anonymous"},
        {"ftps://host/f", TlsMode::Off, TlsMode::Implicit, 990, "anonymous"},
        {"ftps://me:pw@host:9990/f", TlsMode::Auto, TlsMode::Implicit, 9990, "me"},
    };
    for (const auto& c : cases) {
        TaskParam param;
        param.url = c.url;
        param.tls = c.taskMode;
        auto session = CreateSession(param, TaskUse::Download);
        ASSERT_TRUE(session) << c.url;
        EXPECT_EQ(session->tlsMode, c.mode) << c.url;
        EXPECT_EQ(session->port, c.port) << c.url;
        EXPECT_EQ(session->host, "host") << c.url;
        EXPECT_EQ(session->user, c.user) << c.url;
        EXPECT_EQ(session->tlsContext != nullptr, c.mode != TlsMode::Off) << c.url;
    }
    for (const char* url : {"ftpes:/host/f", "ftpx://host/f", "ftps://"}) {
        TaskParam param;
        param.url = url;
        EXPECT_FALSE(CreateSession(param, TaskUse::Download)) << url;
    }
}

// A context made per task re-read the system's certificate bundle for every
// file of a folder download, even on a kept connection.
TEST(SessionUrl, TlsSessionsShareOneContext) {
    const struct {
        const char* url;
        TlsMode taskMode;
        TaskUse use;
    } cases[] = {
        {"ftpes://host/a", TlsMode::Off, TaskUse::Download},
        {"ftps://other:9990/b", TlsMode::Off, TaskUse::Upload},
        {"ftp://host/c", TlsMode::Required, TaskUse::Assistant},
        {"ftp://host/d", TlsMode::Auto, TaskUse::Download},
    };
    const TlsContext* first = nullptr;
    for (const auto& c : cases) {
        TaskParam param;
        param.url = c.url;
        param.tls = c.taskMode;
        auto session = CreateSession(param, c.use);
        ASSERT_TRUE(session && session->tlsContext) << c.url;
        if (!first) first = session->tlsContext.get();
        EXPECT_EQ(session->tlsContext.get(), first) << c.url;
    }
}

struct UrlCase {
    const char* url;
    bool session;
    const char* host;
    int port;
    const char* path;
    const char* user;
    const char* password;
};

TEST(SessionUrl, HostPortPathAndCredentials) {
    const UrlCase cases[] = {
        {"ftp://example.org/", true, "example.org", 21, "/", "given", "secret"},
        {"ftp://example.org:2121/pub/a.zip", true, "example.org", 2121, "/pub/a.zip", "given", "secret"},
        {"ftp://10.1.2.3:70000/", true, "10.1.2.3", 70000 & 0xFFFF, "/", "given", "secret"},
        {"ftp://bob:pw@host.net/x", true, "host.net", 21, "/x", "bob", "pw"},
        {"ftp://bob:pw@host.net:2121/x", true, "host.net", 2121, "/x", "bob", "pw"},
        {"FTP://bob:p:w@host/", true, "host", 21, "/", "bob", "p:w"},
        {"ftp://bob@host/", true, "host", 21, "/", "bob", ""},
        {"ftp://host", false, "", 0, "", "", ""},           // no "/" after the host
        {"ftp:///path", false, "", 0, "", "", ""},          // empty host part
        {"ftp://user:pw@/path", false, "", 0, "", "", ""},  // the override leaves no host
        {"http://example.org/", false, "", 0, "", "", ""},  // not part of this client
        {"gopher://x/", false, "", 0, "", "", ""},
    };
    for (const UrlCase& c : cases) {
        TaskParam param;
        param.url = c.url;
        param.user = "given";
        param.password = "secret";
        auto session = CreateSession(param, TaskUse::Assistant);
        ASSERT_EQ(session != nullptr, c.session) << c.url;
        if (!session) continue;
        EXPECT_EQ(session->host, c.host) << c.url;
        EXPECT_EQ(session->port, c.port) << c.url;
        EXPECT_EQ(session->path, c.path) << c.url;
        EXPECT_EQ(session->user, c.user) << c.url;
        EXPECT_EQ(session->password, c.password) << c.url;
        EXPECT_EQ(session->dataMode.load(), kDataPassive) << c.url;
    }
}

TEST(SessionUrl, CredentialOverrideKeepsTheGivenValuesPast255Bytes) {
    for (std::size_t length : {255u, 256u}) {
        TaskParam param;
        param.user = "given";
        param.password = "secret";
        param.url = "ftp://" + std::string(length, 'u') + ":pw@host/";
        auto session = CreateSession(param, TaskUse::Assistant);
        ASSERT_NE(session, nullptr);
        if (length == 255) {
            EXPECT_EQ(session->user, std::string(255, 'u'));
            EXPECT_EQ(session->host, "host");
        } else {
            EXPECT_EQ(session->user, "given");
            EXPECT_EQ(session->password, "secret");
        }
        param.url = "ftp://bob:" + std::string(length, 'p') + "@host/";
        session = CreateSession(param, TaskUse::Assistant);
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(session->password, length == 255 ? std::string(255, 'p') : std::string("secret"));
    }
}

TEST(SessionUrl, PathDecoding) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a%20b", "/a b"},
        {"/a+b", "/a b"},
        {"/%e4%B8%ad", "/\xe4\xb8\xad"},
        {"/end%", "/end"},         // a "%" with nothing after it ends the text
        {"/end%4", "/end"},        // and with one character after it
        {"/bad%zzx", "/bad%zzx"},  // not an escape: kept
        {"/%00x", std::string("/\0x", 3)},
        {"/" + std::string(1500, 'a'), "/" + std::string(1022, 'a')},  // at most 1023 bytes
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(DecodeUrlPath(in), out) << in.substr(0, 40);
    std::string longPath = "/" + std::string(2100, '+');
    EXPECT_EQ(DecodeUrlPath(longPath), longPath);  // too long to decode: kept
}

TEST(SessionUrl, TransferTypeByExtension) {
    const struct {
        int mode;
        const char* name;
        int expected;
    } cases[] = {
        {3, "ftp://h/song.mp3", 1},
        {3, "ftp://h/readme.TXT", 2},
        {3, "ftp://h/a.ZIP", 2},
        {3, "ftp://h/a.ra", 1},  // a partial match of ".rar" counts
        {3, "ftp://h/noext", 2},
        {3, "ftp://h/dir.d/file", 2},
        {1, "ftp://h/readme.txt", 1},
        {2, "ftp://h/song.mp3", 2},
        {7, "x", 7},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResolveTransferType(c.mode, c.name, kDefaultExtensions), c.expected) << c.name;
        TaskParam param;
        param.url = c.name[0] == 'f' ? c.name : "ftp://h/x";
        param.transferTypeMode = c.mode;
        if (auto session = CreateSession(param, TaskUse::Download); session && c.name[0] == 'f') {
            EXPECT_EQ(session->transferTypeMode, c.expected) << c.name;
        }
    }
}

TEST(SessionUrl, TaskParamDefaults) {
    TaskParam param;
    EXPECT_EQ(param.flags, 1);
    EXPECT_EQ(param.user, "anonymous");
    EXPECT_EQ(std::string(param.password).size(), 17u);
    EXPECT_EQ(param.connections, 1);
    EXPECT_EQ(param.connectTimeout, 20000);
    EXPECT_EQ(param.stopWait, 1000);
    EXPECT_EQ(param.downloadBlockSize, 20480);
    EXPECT_EQ(param.uploadBlockSize, 65536);  // not 1024: one send per KiB was five times slower than curl
    EXPECT_EQ(param.transferTypeMode, 1);
    EXPECT_EQ(param.extensionList, ".exe|.rar|.zip|.gif|.jpg|.mp3|.rm");
}

// A stop reaches only the workers still running: one that has ended (or
// never started) must stay Idle, or the upload's collection of its connection
// would wait for an end that already came.
TEST(SessionStop, RequestStopRaisesTheSessionAndAsksOnlyRunningWorkers) {
    TransferSession session;
    SessionConnection& running = session.AddConnection();
    SessionConnection& ended = session.AddConnection();
    SessionConnection& asked = session.AddConnection();
    running.SetRunFlag(RunFlag::Running);
    asked.SetRunFlag(RunFlag::StopAsked);
    EXPECT_FALSE(running.StopRequested());
    EXPECT_FALSE(session.Stopping());

    session.RequestStop();
    EXPECT_TRUE(session.Stopping());
    EXPECT_TRUE(session.StopRaised());
    EXPECT_EQ(session.StopFlagWatch()->load(), StopFlag::Raised);
    EXPECT_EQ(running.Run(), RunFlag::StopAsked);
    EXPECT_EQ(ended.Run(), RunFlag::Idle);
    EXPECT_EQ(asked.Run(), RunFlag::StopAsked);
    // The session's flag alone stops a connection, whatever its own says.
    EXPECT_TRUE(ended.StopRequested());
    EXPECT_TRUE(session.IsLive());
    session.MarkEnded();
    EXPECT_FALSE(session.IsLive());
}

TEST(SessionStop, OnlyARunningWorkerCanBeAskedToStop) {
    TransferSession session;
    SessionConnection connection(session);
    EXPECT_FALSE(connection.AskStop());
    EXPECT_EQ(connection.Run(), RunFlag::Idle);
    connection.SetRunFlag(RunFlag::Running);
    EXPECT_TRUE(connection.AskStop());
    EXPECT_TRUE(connection.StopRequested());
    EXPECT_FALSE(connection.AskStop());
    EXPECT_FALSE(session.StopRaised());
}

}  // namespace
}  // namespace downlib

// The server's hash: which command FEAT offers, what its replies say, our own
// digest of a file, and the checks it drives: a download or an upload whose
// hash differs from the server's fails with both values, a refused hash
// leaves the size checks alone to decide, and proftpd's mod_digest agrees
// with us on real transfers.
#include "downlib/server_hash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "downlib/ftp_engine.h"
#include "downlib/url_path.h"
#include "support/callback_recorder.h"
#include "support/fake_ftp_server.h"
#include "support/real_servers.h"
#include "support/temp_dir.h"

namespace downlib {
namespace {

using testsupport::FakeFtpServer;
using testsupport::TempDir;
using TaskLog = testsupport::CallbackRecorder;

TEST(ServerHash, TheStrongestOfferedCommandIsChosen) {
    const std::vector<std::string> proftpd = {
        "CLNT", "HASH CRC32;MD5;SHA-1*;SHA-256;SHA-512;", "MDTM", "XCRC", "XMD5", "XSHA", "XSHA1", "XSHA256"};
    const struct {
        std::vector<std::string> features;
        std::optional<HashVerb> verb;
        HashAlgorithm algorithm;
    } cases[] = {
        {proftpd, HashVerb::Hash, HashAlgorithm::Sha256},
        {{"hash md5;sha-256"}, HashVerb::Hash, HashAlgorithm::Sha256},
        {{"HASH SHA-1*;MD5", "XSHA256"}, HashVerb::XSha256, HashAlgorithm::Sha256},
        {{"XCRC", "XMD5"}, HashVerb::XMd5, HashAlgorithm::Md5},
        {{"XCRC"}, HashVerb::XCrc, HashAlgorithm::Crc32},
        {{"HASH SHA-1*;MD5"}, HashVerb::Hash, HashAlgorithm::Sha1},
        {{"HASH MD5"}, HashVerb::Hash, HashAlgorithm::Md5},
        {{"HASH SHA-512"}, std::nullopt, HashAlgorithm::Sha256},
        {{"SIZE", "MDTM", "XSHA256X", "HASHES SHA-256"}, std::nullopt, HashAlgorithm::Sha256},
        {{}, std::nullopt, HashAlgorithm::Sha256},
    };
    for (const auto& c : cases) {
        const std::optional<HashCommand> chosen = ChooseHashCommand(c.features);
        ASSERT_EQ(chosen.has_value(), c.verb.has_value()) << testing::PrintToString(c.features);
        if (!chosen) continue;
        EXPECT_EQ(chosen->verb, *c.verb) << testing::PrintToString(c.features);
        EXPECT_EQ(chosen->algorithm, c.algorithm) << testing::PrintToString(c.features);
    }
}

TEST(ServerHash, OnlyADigestOfTheRightAlgorithmAndLengthIsTaken) {
    const std::string sha = "b8c4ee80f917ee8144d32982e85a416b1efd731515ebb88b462ee7b8cafa312e";
    std::string upper = sha;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const HashCommand hash{HashVerb::Hash, HashAlgorithm::Sha256};
    const HashCommand xsha{HashVerb::XSha256, HashAlgorithm::Sha256};
    const HashCommand xcrc{HashVerb::XCrc, HashAlgorithm::Crc32};
    const struct {
        HashCommand command;
        int code;
        std::string reply;
        std::optional<std::string> digest;
    } cases[] = {
        {hash, 213, "213 SHA-256 0-11 " + sha + " f.txt\r\n", sha},
        {hash, 213, "213 SHA-256 0-11 " + upper + " name with blanks.txt\r\n", sha},
        {hash, 213, "213 SHA-1 0-11 " + sha + " f.txt\r\n", std::nullopt},          // not what was asked for
        {hash, 213, "213 SHA-256 0-11 " + sha.substr(1) + " f\r\n", std::nullopt},  // too short
        {hash, 550, "550 f.txt: No such file or directory\r\n", std::nullopt},
        {xsha, 250, "250 " + upper + "\r\n", sha},
        {xsha, 213, "213 " + sha + "\r\n", sha},
        {xsha, 250, "250 " + sha + "zz\r\n", std::nullopt},
        {xsha, 250, "250 " + sha.substr(0, 63) + "g\r\n", std::nullopt},  // not hex
        {xsha, 502, "502 Command not implemented.\r\n", std::nullopt},
        {xsha, 250, "250\r\n", std::nullopt},
        {xsha, 250, "251 " + sha + "\r\n", std::nullopt},  // the code does not match the line
        {xcrc, 250, "250 C0818589\r\n", "c0818589"},
        {xcrc, 250, "250 C081858\r\n", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseHashReply(c.command, c.code, c.reply), c.digest) << c.reply;
}

TEST(ServerHash, LocalDigestsMatchTheKnownValues) {
    TempDir dir;
    ASSERT_TRUE(testsupport::WriteFile(dir.file("abc"), "abcdef"));
    const int fd = ::open(dir.file("abc").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const struct {
        HashAlgorithm algorithm;
        std::int64_t length;
        std::optional<std::string> digest;
    } cases[] = {
        {HashAlgorithm::Sha256, 3, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {HashAlgorithm::Sha1, 3, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {HashAlgorithm::Md5, 3, "900150983cd24fb0d6963f7d28e17f72"},
        {HashAlgorithm::Crc32, 3, "352441c2"},
        {HashAlgorithm::Sha256, 0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {HashAlgorithm::Sha256, 7, std::nullopt},  // the file is shorter
    };
    for (const auto& c : cases)
        EXPECT_EQ(HashLocalFile(fd, c.algorithm, c.length), c.digest)
            << HashName(c.algorithm) << " " << c.length;
    ::close(fd);
}

// A fake server that offers XSHA256 and answers it with `reply`.
void OfferXsha256(FakeFtpServer& server, const std::string& reply) {
    server.Reply("FEAT", "211-Features:\r\n SIZE\r\n XSHA256\r\n211 End\r\n");
    server.Reply("XSHA256", reply);
}

TEST(ServerHashFake, ADownloadIsCheckedAgainstTheServersHash) {
    const std::string content = testsupport::PatternBytes(0, 50000, 3);
    const std::string truth = testsupport::Sha256Hex(content);
    const std::string lie = testsupport::Sha256Hex("something else");
    const struct {
        const char* label;
        std::string reply;  // to XSHA256 /f.bin
        bool whole;
    } cases[] = {
        {"the same hash", "250 " + truth + "\r\n", true},
        {"a lying hash", "250 " + lie + "\r\n", false},
        {"a refused hash", "502 Command not implemented.\r\n", true},
        {"a reply without a digest", "250 done\r\n", true},
    };
    for (const auto& c : cases) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        server.AddFile("/f.bin", content);
        OfferXsha256(server, c.reply);
        TempDir dir;
        TaskLog log;
        Download download;
        ASSERT_TRUE(download.StartTask(log.Param(server.Url("/f.bin"), dir.file("f.bin"))));
        ASSERT_TRUE(log.WaitEnded()) << log.Dump();
        EXPECT_EQ(log.Complete(), c.whole) << c.label << "\n" << log.Dump();
        EXPECT_EQ(server.CountCommands("XSHA256"), 1) << c.label;
        if (c.whole) {
            EXPECT_EQ(testsupport::ReadFile(dir.file("f.bin")) == content, true) << c.label;
            continue;
        }
        EXPECT_TRUE(log.HasLog("文件校验值与服务器不一致 (SHA-256): 服务器 " + lie + ", 本地 " + truth +
                               ", 文件保留为f.bin.quorvel-part"))
            << log.Dump();
        EXPECT_EQ(testsupport::FileSize(dir.file("f.bin")), -1)
            << "a file that failed its check keeps the part name";
        EXPECT_EQ(testsupport::FileSize(dir.file("f.bin.quorvel-part")), 50000);
    }
}

TEST(ServerHashFake, AnUploadIsCheckedAndASameSizedFileSkippedOnlyByTheHash) {
    const std::string content = testsupport::PatternBytes(0, 30000, 4);
    const std::string truth = testsupport::Sha256Hex(content);
    const std::string lie = testsupport::Sha256Hex("other");
    {  // after the upload the server's hash differs: the upload fails with both values
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        OfferXsha256(server, "250 " + lie + "\r\n");
        TempDir dir;
        ASSERT_TRUE(testsupport::WriteFile(dir.file("u.bin"), content));
        TaskLog log;
        Download upload;
        ASSERT_TRUE(upload.StartUpload(log.Param(server.Url("/u.bin"), dir.file("u.bin"), UploadUpdate)));
        ASSERT_TRUE(log.WaitEnded());
        EXPECT_TRUE(log.Failed()) << log.Dump();
        EXPECT_TRUE(
            log.HasLog("文件校验值与服务器不一致 (SHA-256): 服务器 " + lie + ", 本地 " + truth, LogError))
            << log.Dump();
    }
    {  // a hash after the upload that is neither the old one nor ours fails it
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        std::string remote = content;
        remote[7] ^= 1;
        server.AddFile("/u.bin", remote);
        OfferXsha256(server, "250 " + lie + "\r\n");
        server.ReplyNext("XSHA256", {"250 " + testsupport::Sha256Hex(remote) + "\r\n"});
        TempDir dir;
        ASSERT_TRUE(testsupport::WriteFile(dir.file("u.bin"), content));
        TaskLog log;
        Download upload;
        ASSERT_TRUE(upload.StartUpload(log.Param(server.Url("/u.bin"), dir.file("u.bin"), UploadUpdate)));
        ASSERT_TRUE(log.WaitEnded());
        EXPECT_EQ(server.CountCommands("STOR"), 1) << server.Transcript();
        EXPECT_TRUE(log.Failed()) << log.Dump();
    }
    // A remote file of the same size: its hash, not its time, decides. The
    // server here, like proftpd's digest cache, keeps answering with the old
    // file's hash after the upload: that proves nothing, so the size decides.
    for (const bool same : {true, false}) {
        FakeFtpServer server;
        ASSERT_TRUE(server.ok());
        std::string remote = content;
        if (!same) remote[100] ^= 1;
        server.AddFile("/u.bin", remote);
        OfferXsha256(server, "250 " + testsupport::Sha256Hex(remote) + "\r\n");
        TempDir dir;
        ASSERT_TRUE(testsupport::WriteFile(dir.file("u.bin"), content));
        TaskLog log;
        Download upload;
        ASSERT_TRUE(upload.StartUpload(log.Param(server.Url("/u.bin"), dir.file("u.bin"), UploadUpdate)));
        ASSERT_TRUE(log.WaitEnded());
        EXPECT_EQ(server.CountCommands("STOR"), same ? 0 : 1) << server.Transcript();
        EXPECT_TRUE(log.Complete()) << log.Dump();
        if (same) {
            EXPECT_TRUE(log.HasLog("同名文件内容相同，跳过: /u.bin", LogInfo)) << log.Dump();
        } else {
            EXPECT_TRUE(log.HasLog("服务器给出的仍是上传前的校验值（服务器缓存了旧值），未用作校验: " +
                                       testsupport::Sha256Hex(remote),
                                   LogInfo))
                << log.Dump();
            EXPECT_EQ(server.FileContents("/u.bin").value_or(""), content);
        }
    }
}

TEST(ServerHashReal, ProftpdsDigestAgreesWithOursOnEveryTransfer) {
    TempDir root;
    TempDir dir;
    const std::vector<std::pair<std::string, std::int64_t>> files = {
        {"empty.bin", 0}, {"one.bin", 1}, {"mid.bin", 70000}, {"名 字.bin", 300000}};
    for (std::size_t i = 0; i < files.size(); ++i)
        ASSERT_TRUE(testsupport::WritePatternFile(dir.file(files[i].first), files[i].second,
                                                  static_cast<std::uint32_t>(i + 1)));
    testsupport::RealServer server =
        testsupport::RealServer::Start(testsupport::ServerKind::ProFtpd, root.Path(), "hasher", "pw");
    ASSERT_TRUE(server.ok()) << server.error();
    const std::string base = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
    for (const auto& [name, size] : files) {
        TaskLog up;
        TaskParam put = up.Param(base + EscapeUrlPath(name), dir.file(name), UploadUpdate);
        put.user = "hasher";
        put.password = "pw";
        Download upload;
        ASSERT_TRUE(upload.StartUpload(put));
        ASSERT_TRUE(up.WaitEnded());
        EXPECT_TRUE(up.Complete()) << name << "\n" << up.Dump();
        EXPECT_TRUE(up.HasLogStarting("文件SHA-256校验值与服务器一致", LogInfo)) << name << "\n" << up.Dump();

        TaskLog down;
        TaskParam get = down.Param(base + EscapeUrlPath(name), dir.file("back-" + name));
        get.user = "hasher";
        get.password = "pw";
        Download download;
        ASSERT_TRUE(download.StartTask(get));
        ASSERT_TRUE(down.WaitEnded());
        EXPECT_TRUE(down.Complete()) << name << "\n" << down.Dump();
        EXPECT_TRUE(down.HasLogStarting("文件SHA-256校验值与服务器一致", LogInfo)) << name << "\n"
                                                                                   << down.Dump();
        EXPECT_EQ(testsupport::CompareFiles(dir.file(name), dir.file("back-" + name)), "") << name;
    }
}

}  // namespace
}  // namespace downlib

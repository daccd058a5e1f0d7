// The trusted-certificate file: what a read keeps and what it skips, and
// that saving replaces a host's entry without touching the others.
#include "downlib/certificate_store.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "downlib/tls_stream.h"
#include "support/temp_dir.h"

namespace downlib {
namespace {

const std::string kPrint =
    "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
const std::string kOther =
    "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF";

std::string Line(const std::string& key, const std::string& fingerprint) {
    return key + "\t" + fingerprint + "\t/CN=s\t/CN=i\tfrom\tto\n";
}

TEST(CertificateStoreTest, KeepsWellFormedLinesAndNamesEachSkippedOne) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> keys;  // hostPort of the entries kept, in order
        std::size_t problems;
    };
    const std::vector<Case> cases = {
        {"empty", "", {}, 0},
        {"comment only", "# header\n", {}, 0},
        {"one entry", Line("Example.ORG:21", kPrint), {"example.org:21"}, 0},
        {"CRLF line", "h:990\t" + kPrint + "\ts\ti\tf\tt\r\n", {"h:990"}, 0},
        {"lower-case fingerprint without colons",
         "h:21\tabcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789\ts\ti\tf\tt\n",
         {"h:21"},
         0},
        {"five fields", "h:21\t" + kPrint + "\ts\ti\tf\n", {}, 1},
        {"port zero", Line("h:0", kPrint), {}, 1},
        {"port too large", Line("h:65536", kPrint), {}, 1},
        {"no port", Line("h", kPrint), {}, 1},
        {"blank in host", Line("a b:21", kPrint), {}, 1},
        {"short fingerprint", Line("h:21", kPrint.substr(3)), {}, 1},
        {"fingerprint with a letter beyond F", Line("h:21", "G" + kPrint.substr(1)), {}, 1},
        {"NUL in a line", std::string("h:21\t\0x", 6) + "\n", {}, 1},
        {"same key twice: the last wins", Line("h:21", kPrint) + Line("h:21", kOther), {"h:21"}, 0},
        {"over-long line",
         "h:21\t" + kPrint + "\t" + std::string(kStoreLineLimit, 's') + "\ti\tf\tt\n",
         {},
         1},
        {"good, bad, good", Line("a:1", kPrint) + "junk\n" + Line("b:2", kOther), {"a:1", "b:2"}, 1},
    };
    for (const Case& c : cases) {
        const CertificateStore store = ParseCertificateStore(c.text);
        std::vector<std::string> keys;
        for (const TrustedCertificate& e : store.entries) keys.push_back(e.hostPort);
        EXPECT_EQ(keys, c.keys) << c.name;
        EXPECT_EQ(store.problems.size(), c.problems) << c.name;
    }
}

TEST(CertificateStoreTest, TheLastOfTwoLinesForOneKeyGivesTheFingerprint) {
    const CertificateStore store = ParseCertificateStore(Line("h:21", kPrint) + Line("h:21", kOther));
    ASSERT_EQ(store.entries.size(), 1u);
    EXPECT_EQ(store.entries[0].fingerprint, kOther);
}

TEST(CertificateStoreTest, ReadingStopsAtTheEntryAndByteLimits) {
    std::string many;
    for (std::size_t i = 0; i < kStoreEntryLimit + 5; ++i)
        many += Line("h" + std::to_string(i) + ":21", kPrint);
    const CertificateStore store = ParseCertificateStore(many);
    EXPECT_EQ(store.entries.size(), kStoreEntryLimit);
    EXPECT_EQ(store.problems.size(), 5u);

    const CertificateStore huge = ParseCertificateStore(std::string(kStoreByteLimit + 10, '#'));
    EXPECT_TRUE(huge.entries.empty());
    EXPECT_EQ(huge.problems.size(), 1u);
}

TEST(CertificateStoreTest, SavingReplacesTheHostsEntryAndKeepsTheOthers) {
    testsupport::TempDir dir;
    const std::string path = dir.file("trusted.txt");
    ASSERT_TRUE(testsupport::WriteFile(path, Line("a:21", kPrint) + "junk line\n" + Line("b:21", kPrint)));
    std::string problem;
    ASSERT_TRUE(
        SaveTrustedCertificate(path, TrustedCertificate{"b:21", kOther, "s", "i", "f", "t"}, &problem))
        << problem;
    ASSERT_TRUE(
        SaveTrustedCertificate(path, TrustedCertificate{"c:990", kOther, "s", "i", "f", "t"}, &problem))
        << problem;
    const CertificateStore store = LoadCertificateStore(path);
    EXPECT_TRUE(store.problems.empty());
    ASSERT_EQ(store.entries.size(), 3u);
    EXPECT_EQ(FindTrusted(store, "a:21")->fingerprint, kPrint);
    EXPECT_EQ(FindTrusted(store, "b:21")->fingerprint, kOther);
    EXPECT_EQ(FindTrusted(store, "c:990")->fingerprint, kOther);
    EXPECT_EQ(FindTrusted(store, "d:21"), nullptr);

    // A missing folder is made; a folder that cannot be (a file is in the way) fails.
    EXPECT_TRUE(SaveTrustedCertificate(dir.file("new/folder/trusted.txt"),
                                       TrustedCertificate{"a:21", kPrint, "", "", "", ""}, &problem));
    EXPECT_FALSE(SaveTrustedCertificate(dir.file("trusted.txt/trusted.txt"),
                                        TrustedCertificate{"a:21", kPrint, "", "", "", ""}, &problem));
    EXPECT_FALSE(problem.empty());
}

TEST(CertificateStoreTest, FingerprintsAreNormalisedFromEveryCommonSpelling) {
    const std::string hex = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";
    const std::string expected = NormalizeFingerprint(hex);
    ASSERT_EQ(expected.size(), 95u);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {hex, expected},
        {expected, expected},
        {"AB:" + expected.substr(3), expected},
        {hex.substr(2), ""},        // 62 digits
        {hex + "00", ""},           // 66 digits
        {hex.substr(1) + "g", ""},  // not hex
        {"", ""},
    };
    for (const auto& [input, want] : cases) EXPECT_EQ(NormalizeFingerprint(input), want) << input;
}

}  // namespace
}  // namespace downlib

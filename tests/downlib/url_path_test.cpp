// Paths written into task URLs come back from the engine's URL decoding as
// they were, whatever bytes they hold.
#include "downlib/url_path.h"

#include <gtest/gtest.h>

#include <string>

#include "downlib/session.h"

TEST(UrlPath, EveryByteSurvivesTheEnginesDecoding) {
    std::string every = "/";
    for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
    const std::string paths[] = {every,       "/100%.txt",    "/%41",      "/a+b c",
                                 "/报告.txt", "/\xD6\xD0\\x", "/tab\tcr\r"};
    for (const std::string& path : paths)
        EXPECT_EQ(downlib::DecodeUrlPath(downlib::EscapeUrlPath(path)), path) << path.substr(0, 20);
    // What needs no escape is left readable.
    EXPECT_EQ(downlib::EscapeUrlPath("/pub/报告 a.txt"), "/pub/报告 a.txt");
    EXPECT_EQ(downlib::EscapeUrlPath("/a+b%\x7f"), "/a%2Bb%25%7F");
}

// PASV reply parsing and the PORT argument.
#include "downlib/data_channel.h"

#include <gtest/gtest.h>

#include "downlib/remote_commands.h"

namespace downlib {
namespace {

TEST(DataChannel, PassiveReplies) {
    const struct {
        const char* reply;
        bool parsed;
        const char* address;
        int port;
    } cases[] = {
        {"227 Entering Passive Mode (10,0,0,5,19,137)\r\n", true, "10.0.0.5", 5001},
        {"227 Entering Passive Mode (127,0,0,1,0,21).\r\n", true, "127.0.0.1", 21},
        {"227 =10,0,0,5,19,137\r\n", false, "", 0},     // no parentheses
        {"227 (10,0,0,5,19)\r\n", false, "", 0},        // five numbers
        {"227 (10,0,0,5,19,137,1)\r\n", false, "", 0},  // seven numbers
        {"227 (10,0,0,5,19,137\r\n", false, "", 0},     // no closing parenthesis
        // A number above 255 names no port: refused, never wrapped to another port.
        {"227 (10,0,0,5,300,0)\r\n", false, "", 0},
        {"227 (10,0,0,5,19,256)\r\n", false, "", 0},
        {"227 (10,0,0,256,19,137)\r\n", false, "", 0},
        {"227 (10,0,0,5,0019,137)\r\n", false, "", 0},
        {"227 (10, 0,0,5, 19, 137)\r\n", true, "10. 0.0.5", 5001},  // blanks stay in the address
        {"227 (10,0,0,5,255,255)\r\n", true, "10.0.0.5", 65535},
        {"227 (1,2,3,4,99999999999999999999,99999999999999)\r\n", false, "", 0},
        {"227 (10,0,0,5,-1,137)\r\n", false, "", 0},
        {"227 (10,0,0,5,+1,137)\r\n", false, "", 0},
        {"227 (10,0,0,5,,137)\r\n", false, "", 0},
        {"227 (a,b,c,d,e,f)\r\n", false, "", 0},
        {"", false, "", 0},
    };
    for (const auto& c : cases) {
        DataEndpoint endpoint;
        ASSERT_EQ(ParsePassiveReply(c.reply, endpoint), c.parsed) << c.reply;
        if (!c.parsed) continue;
        EXPECT_EQ(endpoint.address, c.address) << c.reply;
        if (c.port >= 0) {
            EXPECT_EQ(endpoint.port, c.port) << c.reply;
        }
    }
    DataEndpoint endpoint;
    EXPECT_FALSE(ParsePassiveReply("227 (" + std::string(6000, '1') + ",1,1,1,1,1)", endpoint));
}

TEST(DataChannel, PortArguments) {
    EXPECT_EQ(PortArgument("192.168.1.20", 5001), "192,168,1,20,19,137");
    EXPECT_EQ(PortArgument("127.0.0.1", 256), "127,0,0,1,1,0");
    EXPECT_EQ(PortArgument("127.0.0.1", 255), "127,0,0,1,0,255");
    EXPECT_EQ(PortArgument("10.0.0.1", 65535), "10,0,0,1,255,255");
}

TEST(RemoteReplies, PwdReplies) {
    const std::pair<const char*, const char*> cases[] = {
        {"257 \"/home/ftp\" is current directory\r\n", "/home/ftp"},
        {"257 \"/\"\r\n", "/"},
        {"257 \"/a \"\"b\"\"\"\r\n", "/a \"b\""},  // a quote in the name is written twice
        {"257 \"/a\"\"b\" is current\r\n", "/a\"b"},
        {"257 \"\"\"\"\r\n", "\""},
        {"257 \"\"\r\n", ""},
        {"257 \"/中文 目录\" ok\r\n", "/中文 目录"},
    };
    for (const auto& [reply, path] : cases) EXPECT_EQ(ParsePwdReply(reply).value_or("<none>"), path) << reply;
    EXPECT_FALSE(ParsePwdReply("257 /home/ftp\r\n").has_value());
    EXPECT_FALSE(ParsePwdReply("257 \"/unterminated\r\n").has_value());
    EXPECT_FALSE(ParsePwdReply("257 \"/ends in a doubled quote\"\"\r\n").has_value());
}

}  // namespace
}  // namespace downlib

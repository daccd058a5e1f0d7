#include "downlib/server_hash.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <memory>

#include "downlib/control_connection.h"
#include "downlib/server_features.h"

namespace downlib {
namespace {

constexpr std::int64_t kReadBlock = 1 << 20;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::size_t HexLength(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Sha256:
            return 64;
        case HashAlgorithm::Sha1:
            return 40;
        case HashAlgorithm::Md5:
            return 32;
        case HashAlgorithm::Crc32:
            return 8;
    }
    return 0;
}

// The algorithms a HASH feature line lists ("HASH CRC32;MD5;SHA-1*;SHA-256;").
std::vector<std::string> HashList(const std::vector<std::string>& features) {
    std::vector<std::string> names;
    for (const std::string& feature : features) {
        const std::string upper = Upper(feature);
        if (upper.rfind("HASH ", 0) != 0) continue;
        std::string name;
        for (char c : upper.substr(5) + ";") {
            if (c == ';') {
                if (!name.empty() && name.back() == '*') name.pop_back();
                if (!name.empty()) names.push_back(name);
                name.clear();
            } else if (c != ' ') {
                name += c;
            }
        }
    }
    return names;
}

bool Lists(const std::vector<std::string>& names, const char* name) {
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

std::optional<std::string> HexToken(const std::string& token, std::size_t length) {
    if (token.size() != length) return std::nullopt;
    std::string hex;
    for (char c : token) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex;
}

std::vector<std::string> Tokens(const std::string& line) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : line) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (!token.empty()) tokens.push_back(token);
            token.clear();
        } else {
            token += c;
        }
    }
    if (!token.empty()) tokens.push_back(token);
    return tokens;
}

std::uint32_t Crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

const EVP_MD* Digest(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Sha256:
            return EVP_sha256();
        case HashAlgorithm::Sha1:
            return EVP_sha1();
        case HashAlgorithm::Md5:
            return EVP_md5();
        case HashAlgorithm::Crc32:
            return nullptr;
    }
    return nullptr;
}

struct DigestContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

const char* HashName(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Sha256:
            return "SHA-256";
        case HashAlgorithm::Sha1:
            return "SHA-1";
        case HashAlgorithm::Md5:
            return "MD5";
        case HashAlgorithm::Crc32:
            return "CRC32";
    }
    return "";
}

std::optional<HashCommand> ChooseHashCommand(const std::vector<std::string>& features) {
    const std::vector<std::string> listed = HashList(features);
    if (Lists(listed, "SHA-256")) return HashCommand{HashVerb::Hash, HashAlgorithm::Sha256};
    const struct {
        const char* feature;
        HashVerb verb;
        HashAlgorithm algorithm;
    } kXCommands[] = {{"XSHA256", HashVerb::XSha256, HashAlgorithm::Sha256},
                      {"XSHA1", HashVerb::XSha1, HashAlgorithm::Sha1},
                      {"XMD5", HashVerb::XMd5, HashAlgorithm::Md5},
                      {"XCRC", HashVerb::XCrc, HashAlgorithm::Crc32}};
    for (const auto& x : kXCommands)
        if (HasFeature(features, x.feature)) return HashCommand{x.verb, x.algorithm};
    if (Lists(listed, "SHA-1")) return HashCommand{HashVerb::Hash, HashAlgorithm::Sha1};
    if (Lists(listed, "MD5")) return HashCommand{HashVerb::Hash, HashAlgorithm::Md5};
    return std::nullopt;
}

std::string HashCommandLine(const HashCommand& command, const std::string& path) {
    switch (command.verb) {
        case HashVerb::Hash:
            return "HASH " + path;
        case HashVerb::XSha256:
            return "XSHA256 " + path;
        case HashVerb::XSha1:
            return "XSHA1 " + path;
        case HashVerb::XMd5:
            return "XMD5 " + path;
        case HashVerb::XCrc:
            return "XCRC " + path;
    }
    return {};
}

std::optional<std::string> ParseHashReply(const HashCommand& command, int code, const std::string& reply) {
    const std::size_t length = HexLength(command.algorithm);
    const std::vector<std::string> tokens = Tokens(reply);
    if (tokens.empty() || tokens[0] != std::to_string(code)) return std::nullopt;
    if (command.verb == HashVerb::Hash) {
        // "213 SHA-256 0-11 <hex> name": the algorithm must be the one asked for.
        if (code != 213 || tokens.size() < 4 || Upper(tokens[1]) != HashName(command.algorithm))
            return std::nullopt;
        return HexToken(tokens[3], length);
    }
    if ((code != 250 && code != 213) || tokens.size() < 2) return std::nullopt;
    return HexToken(tokens[1], length);
}

std::optional<std::string> HashLocalFile(int fd, HashAlgorithm algorithm, std::int64_t length) {
    if (fd < 0 || length < 0) return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, DigestContextFree> context;
    const EVP_MD* digest = Digest(algorithm);
    if (digest != nullptr) {
        context.reset(EVP_MD_CTX_new());
        if (!context || EVP_DigestInit_ex(context.get(), digest, nullptr) != 1) return std::nullopt;
    }
    std::uint32_t crc = 0xFFFFFFFFU;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min(length, kReadBlock)) + 1);
    std::int64_t done = 0;
    while (done < length) {
        const std::size_t want = static_cast<std::size_t>(std::min(length - done, kReadBlock));
        const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;  // a read error, or the file is shorter
        if (context) {
            if (EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n)) != 1)
                return std::nullopt;
        } else {
            crc = Crc32Update(crc, buffer.data(), static_cast<std::size_t>(n));
        }
        done += n;
    }
    static const char* kDigits = "0123456789abcdef";
    std::string hex;
    if (context) {
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(context.get(), out, &size) != 1) return std::nullopt;
        for (unsigned int i = 0; i < size; ++i) {
            hex += kDigits[out[i] >> 4];
            hex += kDigits[out[i] & 0xF];
        }
    } else {
        crc ^= 0xFFFFFFFFU;
        for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(crc >> shift) & 0xF];
    }
    return hex;
}

std::optional<FileHash> ServerHashOf(SessionConnection& connection, const std::string& path) {
    if (connection.facts.hashRefused) return std::nullopt;
    const std::optional<HashCommand> command = ChooseHashCommand(ServerFeatures(connection));
    if (!command) return std::nullopt;
    const int timeout = connection.session->replyTimeout;
    std::string reply;
    if (command->verb == HashVerb::Hash && !connection.facts.hashChosen) {
        const std::string opts = std::string("OPTS HASH ") + HashName(command->algorithm);
        EmitLog(connection, opts, LogCommand);
        if (SendCommand(connection, opts, reply, timeout) != 200) {
            connection.facts.hashRefused = true;
            EmitLog(connection, "服务器不接受所选的校验算法, 不再校验", LogInfo);
            return std::nullopt;
        }
        connection.facts.hashChosen = true;
    }
    const std::string name = !path.empty() && path[0] == '/' ? path.substr(1) : path;
    const std::string line = HashCommandLine(*command, name);
    EmitLog(connection, line, LogCommand);
    const int code = SendCommand(connection, line, reply, timeout);
    std::optional<std::string> hex = ParseHashReply(*command, code, reply);
    if (!hex) {
        // A command the server does not have, or a reply that names no
        // digest: this server gives none. A 550 is about this file only.
        if (code > 0 && code != 550) connection.facts.hashRefused = true;
        EmitLog(connection, "服务器没有给出文件的校验值", LogInfo);
        return std::nullopt;
    }
    return FileHash{command->algorithm, *hex};
}

}  // namespace downlib

// Reading and writing the trusted-certificate file.
#include "downlib/certificate_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "downlib/tls_stream.h"

namespace downlib {
namespace {

constexpr const char* kHeader =
    "# quorvel-ftp trusted certificates: host:port, SHA-256, subject, issuer, validity";

std::vector<std::string> SplitTabs(std::string_view line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t tab = line.find('\t', start);
        fields.emplace_back(
            line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    return fields;
}

// "host:port" with a host of letters, digits, '.', '-' and a port of 1-65535.
bool ValidKey(const std::string& key) {
    const std::size_t colon = key.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= key.size() || key.size() - colon > 6)
        return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(key[i]);
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_') return false;
    }
    long port = 0;
    for (std::size_t i = colon + 1; i < key.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(key[i]))) return false;
        port = port * 10 + (key[i] - '0');
    }
    return port >= 1 && port <= 65535;
}

// Fields are single lines without TABs in the file.
std::string FieldText(const std::string& text) {
    std::string out;
    for (char c : text) out += (c == '\t' || c == '\n' || c == '\r') ? ' ' : c;
    return out.substr(0, 1000);
}

}  // namespace

std::string StoreKey(const std::string& host, int port) {
    std::string key;
    for (char c : host) key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key + ":" + std::to_string(port);
}

CertificateStore ParseCertificateStore(std::string_view text) {
    CertificateStore store;
    if (text.size() > kStoreByteLimit) {
        store.problems.push_back("证书信任文件过大, 只读取了前" + std::to_string(kStoreByteLimit) + "字节");
        text = text.substr(0, kStoreByteLimit);
    }
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const std::string where = "证书信任文件第" + std::to_string(number) + "行";
        if (line.size() > kStoreLineLimit) {
            store.problems.push_back(where + "过长, 已跳过");
            continue;
        }
        std::vector<std::string> fields = SplitTabs(line);
        if (fields.size() != 6 || !ValidKey(fields[0]) || NormalizeFingerprint(fields[1]).empty()) {
            store.problems.push_back(where + "格式不正确, 已跳过");
            continue;
        }
        const std::size_t colon = fields[0].rfind(':');
        TrustedCertificate entry{StoreKey(fields[0].substr(0, colon), std::stoi(fields[0].substr(colon + 1))),
                                 NormalizeFingerprint(fields[1]),
                                 fields[2],
                                 fields[3],
                                 fields[4],
                                 fields[5]};
        bool replaced = false;
        for (TrustedCertificate& old : store.entries) {
            if (old.hostPort == entry.hostPort) {
                old = entry;
                replaced = true;
            }
        }
        if (replaced) continue;
        if (store.entries.size() >= kStoreEntryLimit) {
            store.problems.push_back(where + ": 条目超过" + std::to_string(kStoreEntryLimit) + "个, 已跳过");
            continue;
        }
        store.entries.push_back(std::move(entry));
    }
    return store;
}

std::string FormatCertificateStore(const std::vector<TrustedCertificate>& entries) {
    std::string text = std::string(kHeader) + "\n";
    for (const TrustedCertificate& e : entries) {
        text += FieldText(e.hostPort) + "\t" + FieldText(e.fingerprint) + "\t" + FieldText(e.subject) + "\t" +
                FieldText(e.issuer) + "\t" + FieldText(e.notBefore) + "\t" + FieldText(e.notAfter) + "\n";
    }
    return text;
}

const TrustedCertificate* FindTrusted(const CertificateStore& store, const std::string& hostPort) {
    for (const TrustedCertificate& e : store.entries)
        if (e.hostPort == hostPort) return &e;
    return nullptr;
}

CertificateStore LoadCertificateStore(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string text(kStoreByteLimit + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return ParseCertificateStore(text);
}

bool SaveTrustedCertificate(const std::string& path, const TrustedCertificate& certificate,
                            std::string* problem) {
    CertificateStore store = LoadCertificateStore(path);
    bool replaced = false;
    for (TrustedCertificate& e : store.entries) {
        if (e.hostPort == certificate.hostPort) {
            e = certificate;
            replaced = true;
        }
    }
    if (!replaced) {
        if (store.entries.size() >= kStoreEntryLimit) store.entries.erase(store.entries.begin());
        store.entries.push_back(certificate);
    }
    const std::string text = FormatCertificateStore(store.entries);
    // The settings folder may not exist yet on a first run.
    std::error_code ignored;
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ignored);
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    std::size_t written = 0;
    while (ok && written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0)
            ok = false;
        else
            written += static_cast<std::size_t>(n);
    }
    if (fd >= 0 && ::fsync(fd) != 0) ok = false;
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) {
        std::remove(temporary.c_str());
        if (problem) *problem = "无法写入证书信任文件 " + path;
    }
    return ok;
}

}  // namespace downlib

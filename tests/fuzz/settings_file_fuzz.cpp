// libFuzzer target for the settings file. The input is the file's content,
// as a user, another program or a damaged disk may leave it. Section and key
// names are the program's own and the first ones the input holds; a value is
// written under one pair and must read back, and every other pair must read
// the same before and after. (Each read takes a 1 MiB buffer, so the target
// keeps to few reads per input.)
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "toolkit/files.h"

namespace {

std::string Trimmed(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// A name the settings file can hold as it is: something printable in it, no
// blank at either end (the file trims them), no line break.
bool PlainName(const std::string& name) {
    if (name.empty() || Trimmed(name) != name) return false;
    if (name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) return false;
    for (char c : name) {
        if (static_cast<unsigned char>(c) > ' ') return true;
    }
    return false;
}

void WriteWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string file = [] {
        const char* tmp = std::getenv("TMPDIR");
        return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qftp-fuzz-settings-" +
               std::to_string(::getpid()) + ".ini";
    }();
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<std::string> sections = {"配置项"};
    std::vector<std::string> keys = {"上次路径"};
    std::string firstLine = text.substr(0, text.find('\n'));
    for (std::size_t start = 0; start < text.size() && sections.size() + keys.size() < 4;) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trimmed(text.substr(start, end - start));
        if (line.size() > 2 && line.front() == '[' && line.find(']') != std::string::npos) {
            const std::string name = Trimmed(line.substr(1, line.find(']') - 1));
            if (PlainName(name) && sections.size() < 2) sections.push_back(name);
        } else if (const std::size_t eq = line.find('='); eq != std::string::npos) {
            const std::string key = Trimmed(line.substr(0, eq));
            if (PlainName(key) && keys.size() < 2) keys.push_back(key);
        }
        start = end + 1;
    }
    // The value: the first line up to a byte no value can hold.
    const std::string value = Trimmed(firstLine.substr(0, firstLine.find_first_of(std::string("\r\0", 2))));

    const std::size_t pick = size % (sections.size() * keys.size());
    const std::string& section = sections[pick / keys.size()];
    const std::string& key = keys[pick % keys.size()];

    WriteWhole(file, data, size);
    std::vector<std::string> before;
    for (const auto& s : sections) {
        for (const auto& k : keys) {
            before.push_back(toolkit::ReadSetting(file, s, k, "<none>"));
            if (before.back().size() > 10239) std::abort();
        }
    }
    if (toolkit::WriteSetting(file, section, key, value)) {
        if (value.size() <= 10239 && toolkit::ReadSetting(file, section, key, "<none>") != value)
            std::abort();
        std::size_t i = 0;
        for (const auto& s : sections) {
            for (const auto& k : keys) {
                const std::string now = toolkit::ReadSetting(file, s, k, "<none>");
                if (!(s == section && k == key) && now != before[i]) std::abort();
                ++i;
            }
        }
    } else if (key.find('=') == std::string::npos && section.find(']') == std::string::npos &&
               key.front() != '[') {
        std::abort();  // refused only for names the file cannot hold
    }
    ::unlink(file.c_str());
    ::unlink((file + ".tmp").c_str());
    return 0;
}

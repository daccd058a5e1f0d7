#include "downlib/host_scheme.h"

#include <cctype>

namespace downlib {

HostWithScheme ParseHostScheme(const std::string& text) {
    static const struct {
        const char* prefix;
        TlsMode mode;
    } kSchemes[] = {
        {"ftpes://", TlsMode::Required}, {"ftps://", TlsMode::Implicit}, {"ftp://", TlsMode::Off}};
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    HostWithScheme out{text, std::nullopt};
    for (const auto& scheme : kSchemes) {
        const std::string prefix(scheme.prefix);
        if (lower.rfind(prefix, 0) == 0) {
            out.host = text.substr(prefix.size());
            out.tls = scheme.mode;
            break;
        }
    }
    if (!out.host.empty() && out.host.back() == '/') out.host.pop_back();
    return out;
}

}  // namespace downlib

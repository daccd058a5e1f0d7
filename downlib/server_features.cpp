#include "downlib/server_features.h"

#include <cctype>

#include "downlib/control_connection.h"

namespace downlib {
namespace {

bool SameWordIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> ParseFeatureReply(const std::string& allLines) {
    std::vector<std::string> features;
    std::size_t start = 0;
    bool first = true;
    while (start < allLines.size() && features.size() < kMaxFeatures) {
        std::size_t end = allLines.find('\n', start);
        if (end == std::string::npos) end = allLines.size();
        std::string_view line(allLines.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first) {  // "211-Features:"
            first = false;
            continue;
        }
        // The final line ("211 End") starts with the code; features start with a space.
        if (line.empty() || line[0] != ' ') continue;
        while (!line.empty() && line[0] == ' ') line.remove_prefix(1);
        if (line.empty() || line.size() > kMaxFeatureLength) continue;
        features.emplace_back(line);
    }
    return features;
}

bool HasFeature(const std::vector<std::string>& features, std::string_view name) {
    for (const std::string& feature : features) {
        std::string_view word(feature);
        word = word.substr(0, word.find(' '));
        if (SameWordIgnoringCase(word, name)) return true;
    }
    return false;
}

const std::vector<std::string>& ServerFeatures(SessionConnection& connection) {
    if (connection.facts.features) return *connection.facts.features;
    const int timeout = connection.session->replyTimeout;
    EmitLog(connection, "FEAT", LogCommand);
    std::vector<std::string> features;
    std::string reply;
    std::string allLines;
    if (SendLines(connection, {"FEAT"}, timeout)) {
        const int code = ReadReply(connection, reply, Deadline::After(timeout), &allLines);
        if (code >= 200 && code <= 299) features = ParseFeatureReply(allLines);
    }
    connection.facts.features = std::move(features);
    return *connection.facts.features;
}

}  // namespace downlib

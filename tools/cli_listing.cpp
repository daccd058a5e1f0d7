// Layout of ls output for pipes and for terminals.
#include "tools/cli_listing.h"

#include <algorithm>

namespace cli {
namespace {

// The wide ranges of East Asian scripts a terminal draws in two cells: Hangul
// Jamo, CJK symbols to Yi, Hangul syllables, CJK compatibility, full-width
// forms and the supplementary ideograph planes.
bool IsWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

std::string PadRight(const std::string& text, std::size_t width) {
    const std::size_t shown = DisplayWidth(text);
    return shown >= width ? text : text + std::string(width - shown, ' ');
}

std::string PadLeft(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

std::string GroupedDigits(std::int64_t value) {
    if (value < 0) return "-";
    const std::string digits = std::to_string(value);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::size_t DisplayWidth(const std::string& text) {
    std::size_t width = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        bool valid = length > 0 && i + length <= text.size();
        char32_t code = length == 1   ? lead
                        : length == 2 ? lead & 0x1F
                        : length == 3 ? lead & 0x0F
                                      : lead & 0x07;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (!valid) {
            ++width;
            ++i;
            continue;
        }
        width += IsWide(code) ? 2 : 1;
        i += length;
    }
    return width;
}

std::string ListingText(const std::vector<ListedEntry>& entries, bool terminal) {
    std::string out;
    if (!terminal) {
        for (const ListedEntry& e : entries)
            out += e.name + '\t' + std::to_string(e.size) + '\t' + e.time + '\t' + e.kind + '\n';
        return out;
    }
    std::size_t nameWidth = 0, sizeWidth = 0, timeWidth = 0;
    for (const ListedEntry& e : entries) {
        nameWidth = std::max(nameWidth, DisplayWidth(e.name));
        sizeWidth = std::max(sizeWidth, GroupedDigits(e.size).size());
        timeWidth = std::max(timeWidth, DisplayWidth(e.time));
    }
    for (const ListedEntry& e : entries)
        out += PadRight(e.name, nameWidth) + "  " + PadLeft(GroupedDigits(e.size), sizeWidth) + "  " +
               PadRight(e.time, timeWidth) + "  " + e.kind + '\n';
    return out;
}

}  // namespace cli

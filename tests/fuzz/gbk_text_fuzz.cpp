// libFuzzer target for the toolkit's text helpers: GBK and UTF-8 decoding,
// splitting, numbers and the date-time text. The input is any byte text, as
// a server's names or a settings file may hold.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "toolkit/text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    // Whatever comes in, what goes to the screen is valid UTF-8.
    if (!toolkit::IsValidUtf8(toolkit::GbkToUtf8(text))) std::abort();
    const std::string lossy = toolkit::Utf8Lossy(text);
    if (!toolkit::IsValidUtf8(lossy)) std::abort();
    if (toolkit::IsValidUtf8(text) && lossy != text) std::abort();

    // Splitting at a separator taken from the input and joining again gives
    // the text back, but for a separator cut off at the very end.
    const std::size_t cut = size == 0 ? 0 : data[0] % 4;
    const std::string separator = text.substr(0, cut);
    if (!separator.empty()) {
        const auto pieces = toolkit::Split(text, separator);
        std::size_t total = 0;
        for (const auto& piece : pieces) total += piece.size();
        if (total > text.size()) std::abort();
        const std::string joined = toolkit::Join(pieces, pieces.size(), separator);
        if (joined.size() > text.size()) std::abort();
    }

    (void)toolkit::ToInteger(text);
    if (size >= sizeof(double)) {
        double days = 0;
        std::memcpy(&days, data, sizeof days);
        if (const auto value = toolkit::DateTimeFromDays(days)) {
            const auto again = toolkit::TextToDateTime(toolkit::DateTimeToText(*value));
            if (!again || !(*again == *value)) std::abort();
        }
    }
    if (const auto value = toolkit::TextToDateTime(text)) {
        // A date read from text prints and reads back as the same value.
        const auto again = toolkit::TextToDateTime(toolkit::DateTimeToText(*value));
        if (!again || !(*again == *value)) std::abort();
    }
    return 0;
}

// libFuzzer target for the listing parser (built and run by `make fuzz`).
// The input is one listing; every accepted entry's name must lie inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "downlib/listing_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // A fixed clock in a fixed zone: runs must not depend on when they happen.
    const downlib::ListingClock clock = downlib::ListingClock::Fixed(1'773'576'000, std::int64_t{8} * 3600);

    for (const std::string_view line : downlib::SplitListing(text)) {
        downlib::ListingFacts facts;
        if (downlib::ParseListLine(line, facts, clock)) {
            if (facts.nameStart + facts.nameLength > line.size()) std::abort();
            if (facts.idKind && facts.idStart + facts.idLength > line.size()) std::abort();
            if (facts.sizeKind && facts.size < 0) std::abort();
        }
    }
    std::vector<downlib::FileEntry> entries;
    const int count = downlib::ParseListing(text, entries, clock);
    if (count >= 0 && static_cast<std::size_t>(count) != entries.size()) std::abort();
    return 0;
}

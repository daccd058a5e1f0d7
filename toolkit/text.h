// Text, number and date-time operations of the toolkit. Texts are byte
// strings; on this platform they are UTF-8, except names that come from a
// server or a disk, which may be in any byte encoding (old Chinese servers
// send GBK). Nothing here needs the widget set.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace toolkit {

// Splits at every occurrence of the separator. An empty piece at the very end
// is dropped, empty pieces elsewhere stay; an empty text gives no pieces. A
// separator is only taken where it starts on a character boundary.
std::vector<std::string> Split(const std::string& text, const std::string& separator);

// Joins pieces with the separator between them.
std::string Join(const std::vector<std::string>& pieces, std::size_t count, const std::string& separator);

// Leading spaces skipped, optional sign, the decimal digits that follow; no
// digits give 0. Saturates instead of overflowing.
std::int64_t ToInteger(const std::string& text);

// True when the text is well-formed UTF-8 (ASCII included).
bool IsValidUtf8(const std::string& text);

// True when some byte is 0x80 or above.
bool HasNonAscii(const std::string& text);

// Decodes GBK (GB18030, a superset) into UTF-8. Bytes that do not decode are
// shown as U+FFFD, so the result is always valid UTF-8.
std::string GbkToUtf8(const std::string& text);

// Decodes GBK into UTF-8 for a local file name: a byte that does not decode
// becomes "%XX" (its value in hex), so the name keeps every byte visible and
// holds no invalid UTF-8.
std::string GbkToUtf8Escaped(const std::string& text);

// Replaces every ill-formed UTF-8 sequence with U+FFFD.
std::string Utf8Lossy(const std::string& text);

// A calendar date with a time of day, to the second.
struct DateTime {
    int year = 1899;
    int month = 12;
    int day = 30;
    int hour = 0;
    int minute = 0;
    int second = 0;

    bool operator==(const DateTime&) const = default;
};

// The standard form "%d年%d月%d日" followed by "%d时%d分%d秒", "%d时%d分" or
// "%d时" as far as the trailing parts are not zero.
std::string DateTimeToText(const DateTime& value);

// Accepts the standard form; missing time parts are 0. Empty when the text
// does not begin with a date.
std::optional<DateTime> TextToDateTime(const std::string& text);

// The current local date and time.
DateTime Now();

// A date value counted in days since 1899-12-30 (the fraction is the time of
// day), rounded to the second. Empty for values out of a sane range.
std::optional<DateTime> DateTimeFromDays(double days);

}  // namespace toolkit

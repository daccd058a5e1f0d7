// Text, number and date-time operations: splitting that respects double-byte
// characters, integer parsing, UTF-8 checks, GBK decoding and encoding through iconv and the
// standard date-time text form.
#include "toolkit/text.h"

#include <iconv.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

namespace toolkit {

namespace {

// Where a separator may start: in UTF-8 no ASCII byte occurs inside a
// multi-byte character, and in GBK a trail byte is 0x40 or above, so a
// separator starting below 0x40 ("/", ".", ",") can be found byte by byte.
// Otherwise ("\" is a possible GBK trail byte) a GBK lead byte takes the byte
// after it along.
bool NeedsDoubleByteWalk(const std::string& text, const std::string& separator) {
    const auto first = static_cast<unsigned char>(separator[0]);
    return first >= 0x40 && !IsValidUtf8(text);
}

const char* const kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence at position i, 0 when ill-formed.
std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    }
    return n;
}

// iconv_open's failure value, which its interface spells (iconv_t)-1.
iconv_t IconvFailed() {
    return reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)
}

struct IconvHandle {
    iconv_t cd;
    explicit IconvHandle(const char* from, const char* to = "UTF-8") : cd(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (cd != IconvFailed()) iconv_close(cd);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool ok() const { return cd != IconvFailed(); }
};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

// Reads decimal digits at pos; empty when none.
std::optional<int> ReadNumber(const std::string& text, std::size_t& pos) {
    std::size_t start = pos;
    long value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (value < 100000000) value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    if (pos == start) return std::nullopt;
    return static_cast<int>(value);
}

bool ReadSuffix(const std::string& text, std::size_t& pos, const char* suffix) {
    const std::string s(suffix);
    if (text.compare(pos, s.size(), s) != 0) return false;
    pos += s.size();
    return true;
}

}  // namespace

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    const bool walk = NeedsDoubleByteWalk(text, separator);
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, separator.size(), separator) == 0) {
            pieces.push_back(text.substr(start, i - start));
            i += separator.size();
            start = i;
            continue;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        i += (walk && c >= 0x81 && c <= 0xFE && i + 1 < text.size()) ? 2 : 1;
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

std::string Join(const std::vector<std::string>& pieces, std::size_t count, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < count && i < pieces.size(); ++i) {
        if (i > 0) out += separator;
        out += pieces[i];
    }
    return out;
}

std::int64_t ToInteger(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        const int digit = text[i] - '0';
        if (value > (kMax - digit) / 10) {
            value = kMax;
        } else {
            value = value * 10 + digit;
        }
    }
    return negative ? -value : value;
}

bool IsValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8SequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool HasNonAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
}

std::string Utf8Lossy(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8SequenceLength(text, i);
        if (n == 0) {
            out += kReplacement;
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

namespace {

// GBK (as GB18030) to UTF-8; `undecodable` is appended in place of each byte
// that does not start a character. Nothing when the system has no decoder.
template <class Undecodable>
std::optional<std::string> DecodeGbk(const std::string& text, Undecodable undecodable) {
    thread_local IconvHandle gb18030("GB18030");
    if (!gb18030.ok()) return std::nullopt;
    iconv(gb18030.cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.reserve(text.size() * 2);
    std::string in = text;
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(gb18030.cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // EILSEQ or a truncated character at the end: mark the
            // offending byte and go on after it.
            undecodable(out, static_cast<unsigned char>(*inPtr));
            ++inPtr;
            --inLeft;
            iconv(gb18030.cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

}  // namespace

std::string GbkToUtf8(const std::string& text) {
    if (!HasNonAscii(text)) return text;
    auto decoded = DecodeGbk(text, [](std::string& out, unsigned char) { out += kReplacement; });
    return decoded ? std::move(*decoded) : Utf8Lossy(text);
}

std::string GbkToUtf8Escaped(const std::string& text) {
    if (!HasNonAscii(text)) return text;
    const auto escape = [](std::string& out, unsigned char c) {
        static const char kHex[] = "0123456789ABCDEF";
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    };
    if (auto decoded = DecodeGbk(text, escape)) return std::move(*decoded);
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            escape(out, c);
        }
    }
    return out;
}

std::optional<std::string> Utf8ToGbk(const std::string& text) {
    if (!HasNonAscii(text)) return text;
    if (!IsValidUtf8(text)) return std::nullopt;
    thread_local IconvHandle gbk("UTF-8", "GBK");
    if (!gbk.ok()) return std::nullopt;
    iconv(gbk.cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    out.reserve(text.size());
    std::string in = text;
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(gbk.cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) return std::nullopt;
        // glibc counts characters it had to approximate; GBK has no
        // approximations worth sending as a name.
        if (rc != static_cast<std::size_t>(-1) && rc > 0) return std::nullopt;
    }
    return out;
}

std::string DateTimeToText(const DateTime& v) {
    char buffer[160];
    int n = std::snprintf(buffer, sizeof buffer, "%d年%d月%d日", v.year, v.month, v.day);
    if (v.second != 0) {
        std::snprintf(buffer + n, sizeof buffer - n, "%d时%d分%d秒", v.hour, v.minute, v.second);
    } else if (v.minute != 0) {
        std::snprintf(buffer + n, sizeof buffer - n, "%d时%d分", v.hour, v.minute);
    } else if (v.hour != 0) {
        std::snprintf(buffer + n, sizeof buffer - n, "%d时", v.hour);
    }
    return buffer;
}

std::optional<DateTime> TextToDateTime(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size() && text[pos] == ' ') ++pos;
    DateTime v;
    auto year = ReadNumber(text, pos);
    if (!year || !ReadSuffix(text, pos, "年")) return std::nullopt;
    auto month = ReadNumber(text, pos);
    if (!month || !ReadSuffix(text, pos, "月")) return std::nullopt;
    auto day = ReadNumber(text, pos);
    if (!day || !ReadSuffix(text, pos, "日")) return std::nullopt;
    v.year = *year;
    v.month = *month;
    v.day = *day;
    v.hour = v.minute = v.second = 0;
    // Each time part is optional from the end: "10时20分" has no seconds.
    if (auto h = ReadNumber(text, pos); h && ReadSuffix(text, pos, "时")) {
        v.hour = *h;
        if (auto m = ReadNumber(text, pos); m && ReadSuffix(text, pos, "分")) {
            v.minute = *m;
            if (auto s = ReadNumber(text, pos); s && ReadSuffix(text, pos, "秒")) v.second = *s;
        }
    }
    return v;
}

DateTime Now() {
    const std::time_t t = std::time(nullptr);
    std::tm parts{};
    localtime_r(&t, &parts);
    DateTime v;
    v.year = parts.tm_year + 1900;
    v.month = parts.tm_mon + 1;
    v.day = parts.tm_mday;
    v.hour = parts.tm_hour;
    v.minute = parts.tm_min;
    v.second = parts.tm_sec;
    return v;
}

std::optional<DateTime> DateTimeFromDays(double days) {
    // Years 100 to 9999, the range such date values can hold.
    if (!std::isfinite(days) || days < -657434.0 || days > 2958466.0) return std::nullopt;
    // The whole part counts days from 1899-12-30 with its sign; the fraction
    // is the time of that day whatever the sign: -1.25 is 1899-12-29 06:00,
    // not a quarter of a day before 1899-12-29.
    const double whole = std::trunc(days);
    auto dayCount = static_cast<std::int64_t>(whole);
    std::int64_t secondOfDay = std::llround(std::fabs(days - whole) * 86400.0);
    if (secondOfDay >= 86400) {
        secondOfDay -= 86400;
        ++dayCount;
    }
    DateTime v;
    CivilFromDays(dayCount - 25569, v.year, v.month, v.day);
    v.hour = static_cast<int>(secondOfDay / 3600);
    v.minute = static_cast<int>(secondOfDay / 60 % 60);
    v.second = static_cast<int>(secondOfDay % 60);
    return v;
}

}  // namespace toolkit

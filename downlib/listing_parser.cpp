// The listing line parser. Every scan is bounded by the line's length: a
// server may send lines of any length and any bytes.
//
// Column values keep the old arithmetic of LIST parsers (value x 10 + byte -
// '0', no digit check, so "1a" reads as 59 and "-5" as -25), but in 64 bits: a
// size of 3 GB is 3 GB, and only a column past 64 bits wraps. Odd values never
// make a line unsupported: a line the rules accept is an entry, with the size
// the arithmetic gives, and a date that no calendar holds is the invalid date.
#include "downlib/listing_parser.h"

#include <cerrno>
#include <ctime>
#include <limits>
#include <optional>

namespace downlib {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// 350 days: a date without a year lies less than this before the present.
constexpr std::int64_t kYearGuessWindow = 30'240'000;
// Larger date parts are not calendar fields; they would overflow the
// platform's broken-down time.
constexpr std::int64_t kDatePartLimit = 1'000'000'000;
// About 31 million years either side of 1970: every real time, and nothing
// that could overflow a conversion.
constexpr std::int64_t kSecondsLimit = 1'000'000'000'000'000;
// Days from 1899-12-30 (day 0 of the date-time value) to 1970-01-01.
constexpr std::int64_t kOleDaysTo1970 = 25569;

constexpr const char* kMonths[12] = {"jan", "feb", "mar", "apr", "may", "jun",
                                     "jul", "aug", "sep", "oct", "nov", "dec"};

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Calendar date of a day count since 1970-01-01 (March-based, 400-year eras).
void CivilFromDays(std::int64_t days, std::int64_t& year, int& month0, int& day) {
    days += 719468;  // from 0000-03-01
    const std::int64_t era = FloorDiv(days, 146097);
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t marchMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * marchMonth + 2) / 5 + 1);
    month0 = static_cast<int>(marchMonth < 10 ? marchMonth + 2 : marchMonth - 10);
    year = yearOfEra + era * 400 + (month0 < 2 ? 1 : 0);
}

// The decimal value of a column, old style: no digit check, wrapping past 64 bits.
std::int64_t ColumnValue(std::string_view column) {
    std::uint64_t value = 0;
    for (const char c : column) {
        const auto digit =
            static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<unsigned char>(c)) - '0');
        value = value * 10 + digit;  // unsigned: wraps, never undefined
    }
    return static_cast<std::int64_t>(value);
}

// A size column's value. One that comes out negative (a sign, or bytes that
// are no digits) is no size: -1 would make a file look like a folder.
void SetSize(ListingFacts& facts, std::int64_t value) {
    facts.sizeKind = value >= 0 ? 1 : 0;
    facts.size = value >= 0 ? value : 0;
}

// A date or time part as a calendar field; no value when it is too far out
// for any calendar (the time of the entry is then the invalid date).
std::optional<int> DatePart(std::string_view column) {
    const std::int64_t value = ColumnValue(column);
    if (value > kDatePartLimit || value < -kDatePartLimit) return std::nullopt;
    return static_cast<int>(value);
}

// A cursor over one line; every move stops at the end.
class Scanner {
public:
    explicit Scanner(std::string_view line, std::size_t pos = 0) : line_(line), pos_(pos) {}

    bool AtEnd() const { return pos_ >= line_.size(); }
    std::size_t Pos() const { return pos_; }
    char Peek() const { return line_[pos_]; }  // only when !AtEnd()
    void Advance() { ++pos_; }

    void SkipWhile(char c) {
        while (!AtEnd() && line_[pos_] == c) ++pos_;
    }
    void SkipNonBlanks() {
        while (!AtEnd() && line_[pos_] != ' ') ++pos_;
    }
    // The text up to the next byte of `stops` (exclusive); nullopt when the
    // line ends first, unless the end is allowed to close the text.
    std::optional<std::string_view> Until(std::string_view stops, bool endCloses = false) {
        const std::size_t start = pos_;
        while (!AtEnd() && stops.find(line_[pos_]) == std::string_view::npos) ++pos_;
        if (AtEnd() && !endCloses) return std::nullopt;
        return line_.substr(start, pos_ - start);
    }

private:
    std::string_view line_;
    std::size_t pos_;
};

// "+i77.5,m1000000000,r,s280,\treadme.txt": facts separated by commas, a tab, the name.
bool ParseFactLine(std::string_view line, ListingFacts& facts) {
    std::size_t factStart = 1;
    for (std::size_t i = 1; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            facts.nameStart = i + 1;
            facts.nameLength = line.size() - (i + 1);
            return true;
        }
        if (c != ',') continue;
        const std::string_view fact = line.substr(factStart, i - factStart);
        factStart = i + 1;
        if (fact.empty()) continue;
        const std::string_view value = fact.substr(1);
        switch (fact[0]) {
            case '/':
                facts.canEnter = true;
                break;
            case 'r':
                facts.canRetrieve = true;
                break;
            case 's':
                SetSize(facts, ColumnValue(value));
                break;
            case 'm':
                facts.timeKind = 1;
                facts.time = ColumnValue(value);
                break;
            case 'i':
                facts.idKind = 1;
                facts.idStart = i - value.size();
                facts.idLength = value.size();
                break;
            default:
                break;
        }
    }
    return false;
}

// The time column of a Unix line: "H:MM" or "HH:MM" (year guessed), else a
// year. False only for a column too short for either; a time that cannot be
// converted leaves kUnconvertibleTime.
bool UnixTime(std::string_view column, int month0, std::optional<int> day, ListingFacts& facts,
              const ListingClock& clock) {
    const std::size_t n = column.size();
    std::string_view hourText;
    std::string_view minuteText;
    if (n == 4 && column[1] == ':') {
        hourText = column.substr(0, 1);
        minuteText = column.substr(2, 2);
    } else if (n == 5 && column[2] == ':') {
        hourText = column.substr(0, 2);
        minuteText = column.substr(3, 2);
    } else if (n >= 4) {
        facts.timeKind = 3;
        facts.time = kUnconvertibleTime;
        const auto year = DatePart(column);
        if (!year || !day) return true;
        CalendarTime local;
        local.year = *year;
        local.month0 = month0;
        local.day = *day;
        if (!clock.ToUnix(local, facts.time)) facts.time = kUnconvertibleTime;
        return true;
    } else {
        return false;
    }
    facts.timeKind = 2;
    facts.time = kUnconvertibleTime;
    const auto hour = DatePart(hourText);
    const auto minute = DatePart(minuteText);
    if (!hour || !minute || !day) return true;
    // The guess is a UTC midnight plus the line's clock time, so its year is
    // read in UTC too. Read in local time, a "Dec 31 20:00" east of UTC (or a
    // "Jan  1 02:00" west of it) would land in the neighbouring year and the
    // entry would move a whole year.
    const std::int64_t guessed =
        GuessYearSeconds(month0, *day, clock.Now()) + std::int64_t{*hour} * 3600 + std::int64_t{*minute} * 60;
    std::int64_t year = 0;
    int unusedMonth = 0;
    int unusedDay = 0;
    CivilFromDays(FloorDiv(guessed, kSecondsPerDay), year, unusedMonth, unusedDay);
    if (year > kDatePartLimit || year < -kDatePartLimit) return true;
    CalendarTime local;
    local.year = static_cast<int>(year);
    local.month0 = month0;
    local.day = *day;
    local.hour = *hour;
    local.minute = *minute;
    local.second = 0;
    if (!clock.ToUnix(local, facts.time)) facts.time = kUnconvertibleTime;
    return true;
}

// A link's name ends before " -> target"; some listings pad every name
// with three blanks.
void TrimUnixName(std::string_view line, ListingFacts& facts) {
    const std::string_view name = line.substr(facts.nameStart, facts.nameLength);
    if (line[0] == 'l') {
        const std::size_t arrow = name.find(" -> ");
        if (arrow != std::string_view::npos) facts.nameLength = arrow;
    }
    if ((line[1] == ' ' || line[1] == '[') && facts.nameLength > 3 && name.substr(0, 3) == "   ") {
        facts.nameStart += 3;
        facts.nameLength -= 3;
    }
}

// "-rw-r--r--   1 owner group   1234 Jan 12 10:30 name", and its variants
// without a group column or with "folder" in place of the link count.
bool ParseUnixLine(std::string_view line, ListingFacts& facts, const ListingClock& clock) {
    const char type = line[0];
    facts.canEnter = type == 'd' || type == 'l';
    facts.canRetrieve = type == '-' || type == 'l';
    facts.isLink = type == 'l';

    enum State { Permissions, LinkCount, Owner, Group, SizeOrMonth, Day, TimeOrYear, Done };
    State state = Permissions;
    std::size_t columnStart = 0;
    std::int64_t size = 0;
    int month0 = 0;
    std::optional<int> day;
    for (std::size_t i = 1; i < line.size() && state != Done; ++i) {
        if (line[i] != ' ') {
            if (line[i - 1] == ' ') columnStart = i;
            continue;
        }
        if (line[i - 1] == ' ') continue;
        const std::string_view column = line.substr(columnStart, i - columnStart);
        switch (state) {
            case Permissions:
                state = LinkCount;
                break;
            case LinkCount:
                // Some servers write a word such as "folder" here and no owner.
                state = (column.size() == 6 && column[0] == 'f') ? Group : Owner;
                break;
            case Owner:
                state = Group;
                break;
            case Group:
                size = ColumnValue(column);
                state = SizeOrMonth;
                break;
            case SizeOrMonth: {
                const int month = MonthIndex(column);
                if (month >= 0) {
                    month0 = month;
                    state = Day;
                } else {
                    size = ColumnValue(column);
                }
                break;
            }
            case Day:
                day = DatePart(column);
                state = TimeOrYear;
                break;
            case TimeOrYear:
                if (!UnixTime(column, month0, day, facts, clock)) return false;
                facts.nameStart = i + 1;
                facts.nameLength = line.size() - (i + 1);
                state = Done;
                break;
            case Done:
                break;
        }
    }
    if (state != Done) return false;
    SetSize(facts, size);
    TrimUnixName(line, facts);
    return true;
}

// "REPORT.TXT;2  4  14-MAR-2001 09:15 [OWNER] (RWED,RWED,RE,RE)"; directories end in ".DIR".
bool ParseVersionLine(std::string_view line, std::size_t semicolon, ListingFacts& facts) {
    facts.nameStart = 0;
    facts.nameLength = semicolon;
    if (semicolon > 4 && line.substr(semicolon - 4, 4) == ".DIR") {
        facts.nameLength -= 4;
        facts.canEnter = true;
    } else {
        facts.canRetrieve = true;
    }
    Scanner scan(line, semicolon);
    scan.SkipNonBlanks();  // the version
    scan.SkipWhile(' ');
    scan.SkipNonBlanks();  // the size column, in blocks: not a byte count
    scan.SkipWhile(' ');

    const auto dayText = scan.Until("-");
    if (!dayText) return false;
    scan.SkipWhile('-');
    const auto monthText = scan.Until("-");
    if (!monthText) return false;
    const int month0 = MonthIndex(*monthText);
    if (month0 < 0) return false;
    scan.SkipWhile('-');
    const auto yearText = scan.Until(" ");
    if (!yearText) return false;
    scan.SkipWhile(' ');
    const auto hourText = scan.Until(":");
    if (!hourText) return false;
    scan.SkipWhile(':');
    const auto minuteText = scan.Until(": ", true);

    const auto day = DatePart(*dayText);
    const auto year = DatePart(*yearText);
    const auto hour = DatePart(*hourText);
    const auto minute = DatePart(*minuteText);
    // The clock time is taken as UTC: the line carries no zone.
    facts.timeKind = 2;
    facts.time = kUnconvertibleTime;
    if (day && year && hour && minute)
        facts.time =
            DaysToSeconds(*year, month0, *day) + std::int64_t{*hour} * 3600 + std::int64_t{*minute} * 60;
    return true;
}

// The "<DIR>" or size column after a DOS line's time, then the name.
bool DosEntry(std::string_view line, Scanner& scan, ListingFacts& facts) {
    scan.SkipWhile(' ');
    if (scan.AtEnd()) return false;
    if (scan.Peek() == '<') {
        facts.canEnter = true;
        scan.SkipNonBlanks();
    } else {
        const std::size_t start = scan.Pos();
        scan.SkipNonBlanks();
        SetSize(facts, ColumnValue(line.substr(start, scan.Pos() - start)));
        facts.canRetrieve = true;
    }
    if (scan.AtEnd()) return false;  // no name after the size or <DIR> column
    scan.SkipWhile(' ');
    if (scan.AtEnd()) return false;
    facts.nameStart = scan.Pos();
    facts.nameLength = line.size() - scan.Pos();
    return true;
}

// "11-05-03  07:45PM       <DIR>          photos" or "11-05-03  10:02AM  2048 notes.txt".
bool ParseDosLine(std::string_view line, ListingFacts& facts, const ListingClock& clock) {
    Scanner scan(line);
    const auto monthText = scan.Until("-");
    if (!monthText) return false;
    scan.SkipWhile('-');
    const auto dayText = scan.Until("-");
    if (!dayText) return false;
    scan.SkipWhile('-');
    const auto yearText = scan.Until(" ");
    if (!yearText) return false;
    scan.SkipWhile(' ');
    const auto hourText = scan.Until(":");
    if (!hourText) return false;
    scan.SkipWhile(':');
    const auto minuteText = scan.Until("AP");
    if (!minuteText) return false;

    const auto month = DatePart(*monthText);
    const auto day = DatePart(*dayText);
    auto year = DatePart(*yearText);
    auto hour = DatePart(*hourText);
    const auto minute = DatePart(*minuteText);
    if (!month || *month < 1 || *month > 12) return false;
    if (year && *year < 50) *year += 2000;
    if (year && *year < 1000) *year += 1900;
    if (hour && *hour == 12) *hour = 0;
    if (hour && scan.Peek() == 'P') *hour += 12;
    // The "A" or "P", then the byte after it (the "M").
    scan.Advance();
    if (scan.AtEnd()) return false;
    scan.Advance();
    if (scan.AtEnd()) return false;

    if (!DosEntry(line, scan, facts)) return false;

    facts.timeKind = 2;
    facts.time = kUnconvertibleTime;
    if (!day || !year || !hour || !minute) return true;
    CalendarTime local;
    local.year = *year;
    local.month0 = *month - 1;
    local.day = *day;
    local.hour = *hour;
    local.minute = *minute;
    if (!clock.ToUnix(local, facts.time)) facts.time = kUnconvertibleTime;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Clock

ListingClock ListingClock::Fixed(std::int64_t now, std::int64_t utcOffsetSeconds) {
    ListingClock clock;
    clock.fixedNow_ = true;
    clock.fixedZone_ = true;
    clock.now_ = now;
    clock.offset_ = utcOffsetSeconds;
    return clock;
}

ListingClock ListingClock::FixedNow(std::int64_t now) {
    ListingClock clock;
    clock.fixedNow_ = true;
    clock.now_ = now;
    return clock;
}

std::int64_t ListingClock::Now() const {
    return fixedNow_ ? now_ : static_cast<std::int64_t>(std::time(nullptr));
}

bool ListingClock::ToUnix(const CalendarTime& local, std::int64_t& seconds) const {
    if (fixedZone_) {
        const std::int64_t value = DaysToSeconds(local.year, local.month0, local.day) +
                                   std::int64_t{local.hour} * 3600 + std::int64_t{local.minute} * 60 +
                                   local.second - offset_;
        if (value > kSecondsLimit || value < -kSecondsLimit) return false;
        seconds = value;
        return true;
    }
    if (local.year < std::numeric_limits<int>::min() + 1900) return false;
    std::tm tm{};
    tm.tm_year = local.year - 1900;
    tm.tm_mon = local.month0;
    tm.tm_mday = local.day;
    tm.tm_hour = local.hour;
    tm.tm_min = local.minute;
    tm.tm_sec = local.second;
    tm.tm_isdst = -1;  // the listing does not say; the zone rules decide
    errno = 0;
    const std::time_t value = std::mktime(&tm);
    if (value == static_cast<std::time_t>(-1) && errno != 0) return false;
    if (value > kSecondsLimit || value < -kSecondsLimit) return false;
    seconds = static_cast<std::int64_t>(value);
    return true;
}

bool ListingClock::ToLocal(std::int64_t seconds, CalendarTime& local) const {
    if (seconds > kSecondsLimit || seconds < -kSecondsLimit) return false;
    if (fixedZone_) {
        const std::int64_t shifted = seconds + offset_;
        const std::int64_t days = FloorDiv(shifted, kSecondsPerDay);
        const std::int64_t inDay = shifted - days * kSecondsPerDay;
        std::int64_t year = 0;
        CivilFromDays(days, year, local.month0, local.day);
        local.year = static_cast<int>(year);
        local.hour = static_cast<int>(inDay / 3600);
        local.minute = static_cast<int>(inDay / 60 % 60);
        local.second = static_cast<int>(inDay % 60);
        return true;
    }
    const auto value = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (localtime_r(&value, &tm) == nullptr) return false;
    local.year = tm.tm_year + 1900;
    local.month0 = tm.tm_mon;
    local.day = tm.tm_mday;
    local.hour = tm.tm_hour;
    local.minute = tm.tm_min;
    local.second = tm.tm_sec;
    return true;
}

// ---------------------------------------------------------------------------
// Helpers

int MonthIndex(std::string_view text) {
    if (text.size() != 3) return -1;
    for (int month = 0; month < 12; ++month) {
        bool match = true;
        for (std::size_t i = 0; i < 3 && match; ++i) {
            const int table = static_cast<unsigned char>(kMonths[month][i]);
            const int byte = static_cast<unsigned char>(text[i]);
            match = byte == table || table == byte + 32;
        }
        if (match) return month;
    }
    return -1;
}

std::int64_t DaysToSeconds(int year, int month0, int day) {
    std::int64_t y = std::int64_t{year} + FloorDiv(month0, 12);
    std::int64_t m = month0 - FloorDiv(month0, 12) * 12;
    // Count months from March so the leap day ends each year.
    if (m >= 2) {
        m -= 2;
    } else {
        m += 10;
        --y;
    }
    const std::int64_t dayOfYear = (10 * std::int64_t{day} + 306 * m - 5) / 10;
    const std::int64_t era = FloorDiv(y, 400);
    const std::int64_t yearOfEra = y - era * 400;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    const std::int64_t days = era * 146097 + dayOfEra - 719468;
    return days * kSecondsPerDay;
}

std::int64_t GuessYearSeconds(int month0, int day, std::int64_t now) {
    if (now > kSecondsLimit || now < -kSecondsLimit) return 0;
    std::int64_t currentYear = 0;
    int unusedMonth = 0;
    int unusedDay = 0;
    CivilFromDays(FloorDiv(now, kSecondsPerDay), currentYear, unusedMonth, unusedDay);
    for (std::int64_t year = currentYear - 1; year < currentYear + 100; ++year) {
        const std::int64_t t = DaysToSeconds(static_cast<int>(year), month0, day);
        if (now - t < kYearGuessWindow) return t;
    }
    return 0;
}

double OleDateFromUnix(std::int64_t seconds, const ListingClock& clock) {
    CalendarTime local;
    if (!clock.ToLocal(seconds, local)) return kInvalidOleDate;
    if (local.year < 100 || local.year > 9999) return kInvalidOleDate;
    const std::int64_t days =
        DaysToSeconds(local.year, local.month0, local.day) / kSecondsPerDay + kOleDaysTo1970;
    const double fraction = (local.hour * 3600.0 + local.minute * 60.0 + local.second) / 86400.0;
    return days < 0 ? static_cast<double>(days) - fraction : static_cast<double>(days) + fraction;
}

double OleDateFromUnix(std::int64_t seconds) { return OleDateFromUnix(seconds, ListingClock()); }

// ---------------------------------------------------------------------------
// Lines and listings

bool ParseListLine(std::string_view line, ListingFacts& facts, const ListingClock& clock) {
    facts = ListingFacts();
    if (line.size() < 2) return false;
    const char first = line[0];
    switch (first) {
        case '+':
            return ParseFactLine(line, facts);
        case '-':
        case 'b':
        case 'c':
        case 'd':
        case 'l':
        case 'p':
        case 's':
            return ParseUnixLine(line, facts, clock);
        default:
            break;
    }
    const std::size_t semicolon = line.find(';');
    if (semicolon != std::string_view::npos) return ParseVersionLine(line, semicolon, facts);
    if (first >= '0' && first <= '9') return ParseDosLine(line, facts, clock);
    return false;
}

bool EntryFromLine(std::string_view line, FileEntry& entry, const ListingClock& clock) {
    ListingFacts facts;
    if (!ParseListLine(line, facts, clock)) return false;
    entry.name.assign(line.substr(facts.nameStart, facts.nameLength));
    entry.size = facts.canEnter ? -1 : (facts.sizeKind == 1 ? facts.size : 0);
    entry.modified = OleDateFromUnix(facts.time, clock);
    entry.isLink = facts.isLink;
    return true;
}

namespace {

// "total 8" (also "total 8.0K" from ls -h): the block count Unix servers put first.
bool IsTotalLine(std::string_view line) {
    if (line.size() < 7) return false;
    static constexpr std::string_view kTotal = "total";
    for (std::size_t i = 0; i < kTotal.size(); ++i) {
        const char c = line[i];
        if (c != kTotal[i] && c != kTotal[i] - 32) return false;
    }
    std::size_t pos = kTotal.size();
    if (line[pos] != ' ') return false;
    while (pos < line.size() && line[pos] == ' ') ++pos;
    return pos < line.size() && line[pos] >= '0' && line[pos] <= '9' &&
           line.find(' ', pos) == std::string_view::npos;
}

}  // namespace

std::vector<std::string_view> SplitListing(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        // The CR of a CR LF pair; also a lone CR that ends the text, a line
        // end cut short by the server closing the connection.
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        start = next;
        if (line.empty()) continue;
        if (first && IsTotalLine(line)) {
            first = false;
            continue;
        }
        first = false;
        lines.push_back(line);
    }
    return lines;
}

int ParseListing(std::string_view text, std::vector<FileEntry>& out, const ListingClock& clock,
                 std::string_view* rejected) {
    out.clear();
    if (rejected) *rejected = std::string_view();
    if (text.size() > kMaxListingBytes) return -1;
    const std::vector<std::string_view> lines = SplitListing(text);
    out.reserve(lines.size());
    for (const std::string_view line : lines) {
        FileEntry entry;
        if (!EntryFromLine(line, entry, clock)) {
            if (rejected) *rejected = line;
            return -1;
        }
        out.push_back(std::move(entry));
    }
    return static_cast<int>(out.size());
}

}  // namespace downlib

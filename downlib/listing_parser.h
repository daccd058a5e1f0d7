// The directory-listing line parser: pure functions over the text a LIST
// command delivers, no sockets. Four listing styles are recognised:
//   - the one-line fact style ("+" facts, a tab, the name),
//   - Unix ls -l (with or without a group column, "folder"-style second
//     column, "name -> target" links, names padded with three blanks),
//   - the version-numbered style ("NAME.EXT;N", directories as "NAME.DIR;N"),
//   - MS-DOS ("MM-DD-YY  HH:MMAM  <DIR>|size  name").
// Anything else (including localised month names) is not accepted. Names are
// reported byte for byte as the server sent them (UTF-8, GBK or anything
// else); nothing here decodes or filters them, "." and ".." included.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace downlib {

// A listing larger than this is not parsed: a hostile server could otherwise
// make us hold an unbounded text and table.
inline constexpr std::size_t kMaxListingBytes = std::size_t{64} * 1024 * 1024;

// The date-time value of a time that cannot be converted (the earliest value
// of the OLE date range, 0100-01-01).
inline constexpr double kInvalidOleDate = -657434.0;
// ListingFacts::time of a line whose date parts fit no calendar.
inline constexpr std::int64_t kUnconvertibleTime = INT64_MIN;

// A calendar time in some zone; month0 counts from 0 (January).
struct CalendarTime {
    int year = 1970;
    int month0 = 0;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The present moment and the local time zone the parser works with. The
// default object reads the real clock and uses the process's time zone
// (daylight saving decided by the platform); tests inject both so that a year
// guess or a local time never depends on when or where they run.
class ListingClock {
public:
    ListingClock() = default;

    // A fixed present moment; local time is UTC shifted by a fixed offset
    // (seconds east of UTC), without daylight saving.
    static ListingClock Fixed(std::int64_t now, std::int64_t utcOffsetSeconds = 0);
    // A fixed present moment with the process's own time zone.
    static ListingClock FixedNow(std::int64_t now);

    // Seconds since 1970-01-01 00:00 UTC.
    std::int64_t Now() const;
    // Local calendar time to seconds since 1970 UTC; false when the platform
    // cannot represent it. Out-of-range fields are normalised (day 32 of
    // January is the first of February).
    bool ToUnix(const CalendarTime& local, std::int64_t& seconds) const;
    // Seconds since 1970 UTC to local calendar time; false when not representable.
    bool ToLocal(std::int64_t seconds, CalendarTime& local) const;

private:
    bool fixedNow_ = false;
    bool fixedZone_ = false;
    std::int64_t now_ = 0;
    std::int64_t offset_ = 0;
};

// What one listing line says. Offsets point into the parsed line.
struct ListingFacts {
    std::size_t nameStart = 0;
    std::size_t nameLength = 0;
    bool canEnter = false;     // a directory, or a link (CWD may work)
    bool canRetrieve = false;  // a plain file, or a link (RETR may work)
    int sizeKind = 0;          // 0 no size, 1 size in bytes
    std::int64_t size = 0;
    int timeKind = 0;       // 0 unknown, 1 absolute, 2 to the minute, 3 date only
    std::int64_t time = 0;  // seconds since 1970-01-01 00:00 UTC
    int idKind = 0;         // 1 when the "+" style gave an "i" fact
    std::size_t idStart = 0;
    std::size_t idLength = 0;
    bool isLink = false;  // a Unix "l" line
};

// One entry of a remote folder.
struct FileEntry {
    std::string name;                   // exact bytes, no length cut
    std::int64_t size = 0;              // -1 for an entry that can be entered
    double modified = kInvalidOleDate;  // local time, days since 1899-12-30
    bool isLink = false;
};

// 0 to 11 for a three-byte English month abbreviation in any letter case, -1 otherwise.
int MonthIndex(std::string_view text);
// Seconds from 1970-01-01 00:00 UTC to 00:00 UTC of the given date
// (proleptic Gregorian calendar; out-of-range days simply count on).
std::int64_t DaysToSeconds(int year, int month0, int day);
// 00:00 UTC of the given month and day in the earliest year, starting with
// last year, that puts it less than 350 days before `now` or after it. 0 when
// no year of the next century fits.
std::int64_t GuessYearSeconds(int month0, int day, std::int64_t now);
// Seconds since 1970 UTC as a local date-time value: days since 1899-12-30
// with the time of day as the fraction (subtracted for dates before
// 1899-12-30). kInvalidOleDate when not convertible or outside 0100 to 9999.
double OleDateFromUnix(std::int64_t seconds, const ListingClock& clock);
double OleDateFromUnix(std::int64_t seconds);

// Parses one line (without its line end). True when a style accepted it.
bool ParseListLine(std::string_view line, ListingFacts& facts, const ListingClock& clock = ListingClock());
// Parses one line into an entry. False when no style accepted it.
bool EntryFromLine(std::string_view line, FileEntry& entry, const ListingClock& clock = ListingClock());

// Cuts a listing into lines: CR LF or a bare LF ends a line, empty lines and
// a leading "total N" line are skipped, a last line without a line end counts.
std::vector<std::string_view> SplitListing(std::string_view text);
// Parses a whole listing into `out` (replaced). Returns the number of
// entries, or -1 when a line is not accepted or the text is larger than
// kMaxListingBytes; `out` then holds the entries before that line, and
// `rejected`, when given, the line itself (a view into `text`; empty for an
// oversized text).
int ParseListing(std::string_view text, std::vector<FileEntry>& out,
                 const ListingClock& clock = ListingClock(), std::string_view* rejected = nullptr);

}  // namespace downlib

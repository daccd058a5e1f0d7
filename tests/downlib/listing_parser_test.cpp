// Listing parser: one table of accepted lines and one of rejected lines, each
// line parsed alone, as a one-line listing and all together; year guesses with
// an injected clock; calendar helpers against std::chrono; and a grind that
// truncates and disturbs every line at every position.
#include "downlib/listing_parser.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace downlib {
namespace {

using std::chrono::sys_days;

// Seconds since 1970 of a UTC calendar time, computed by the standard library.
std::int64_t UtcSeconds(int y, unsigned m, unsigned d, int h = 0, int mi = 0, int s = 0) {
    const auto t = sys_days{std::chrono::year{y} / std::chrono::month{m} / std::chrono::day{d}} +
                   std::chrono::hours{h} + std::chrono::minutes{mi} + std::chrono::seconds{s};
    return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
}

// The date-time value (days since 1899-12-30, time as fraction) of a calendar
// time shifted by `shift` seconds.
double OleOf(int y, unsigned m, unsigned d, int h, int mi, int s, std::int64_t shift = 0) {
    const std::int64_t t = UtcSeconds(y, m, d, h, mi, s) + shift;
    const std::int64_t base = UtcSeconds(1899, 12, 30);
    std::int64_t whole = (t - base) / 86400;
    if ((t - base) % 86400 != 0 && t < base) --whole;  // floor
    const double fraction = static_cast<double>(t - base - whole * 86400) / 86400.0;
    return whole < 0 ? static_cast<double>(whole) - fraction : static_cast<double>(whole) + fraction;
}

// The present moment of the tables: 2026-03-15 12:00 UTC.
const std::int64_t kNow = UtcSeconds(2026, 3, 15, 12);

struct When {
    int year = -1;  // -1: the time cannot be converted
    unsigned month = 1;
    unsigned day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

struct Accepted {
    std::string line;
    std::string name;
    std::int64_t size;
    bool isLink;
    When when;
    bool utcInLine;  // the line's clock time is UTC, not local
};

// Each row: the line, then what the parser must make of it with now = kNow.
const std::vector<Accepted>& AcceptedLines() {
    static const std::vector<Accepted> rows = {
        // Unix ls -l
        {"-rw-r--r--   1 ftp ftp 1234 Jan 12 10:30 a b.txt",
         "a b.txt",
         1234,
         false,
         {2026, 1, 12, 10, 30},
         false},
        {"drwxr-xr-x 2 ftp ftp 4096 Mar  3  2005 docs", "docs", -1, false, {2005, 3, 3}, false},
        {"lrwxrwxrwx 1 root root 7 Jan  1 00:00 bin -> usr/bin", "bin", -1, true, {2026, 1, 1}, false},
        {"lrwxrwxrwx 1 u g 7 Jan 12 2024 a -> b -> c", "a", -1, true, {2024, 1, 12}, false},
        {"lrwxrwxrwx 1 u g 7 Jan 12 2024 plain", "plain", -1, true, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 u g 7 Jan 12 2024 a -> b", "a -> b", 7, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 ftp 512 Feb 29 2004 x", "x", 512, false, {2004, 2, 29}, false},
        {"drwxrwxr-x   folder        2 May 10 1999 pics", "pics", -1, false, {1999, 5, 10}, false},
        {"-rw-r--r-- 1 ftp ftp 3000000000 Jan 12 2024 big.iso",
         "big.iso",
         3000000000LL,
         false,
         {2024, 1, 12},
         false},
        {"-rw-r--r-- 1 ftp ftp 4294967295 Jan 12 2024 max32",
         "max32",
         4294967295LL,
         false,
         {2024, 1, 12},
         false},
        {"-rw-r--r-- 1 ftp ftp 9000000000000000000 Jan 12 2024 huge",
         "huge",
         9000000000000000000LL,
         false,
         {2024, 1, 12},
         false},
        {"-rw-r--r-- 1 ftp ftp 0 Jan 12 2024 empty", "empty", 0, false, {2024, 1, 12}, false},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 12 2024 .", ".", -1, false, {2024, 1, 12}, false},
        {"drwxr-xr-x 2 ftp ftp 4096 Jan 12 2024 ..", "..", -1, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 ftp ftp 5 Jan 12 2024  lead", " lead", 5, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 ftp ftp 5 Jan 12 2024    three", "   three", 5, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 ftp ftp 5 Jan 12 2024 a  b  ", "a  b  ", 5, false, {2024, 1, 12}, false},
        {"- [RWCEAFMS] owner    5 Jan 12 2024    padded", "padded", 5, false, {2024, 1, 12}, false},
        {"d [RWCEAFMS] owner 512 Jan 12 10:30    sub", "sub", -1, false, {2026, 1, 12, 10, 30}, false},
        {"- [RWCEAFMS] owner 5 Jan 12 2024    ", "   ", 5, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 ftp ftp 10 Jan 12 2024 中文 文件.txt",
         "中文 文件.txt",
         10,
         false,
         {2024, 1, 12},
         false},
        {"-rw-r--r-- 1 ftp ftp 10 Jan 12 2024 \xD6\xD0\xCE\xC4\x81\x5C.txt",
         "\xD6\xD0\xCE\xC4\x81\x5C.txt",
         10,
         false,
         {2024, 1, 12},
         false},
        {"-rw-r--r-- 1 u g 7 JAN 12 2024 upper", "upper", 7, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 u g 7 dEc 12 2024 mixed", "mixed", 7, false, {2024, 12, 12}, false},
        {"-rw-r--r-- 1 u g 7 Jan 12 9:05 short-hour", "short-hour", 7, false, {2026, 1, 12, 9, 5}, false},
        {"-rw-r--r-- 1 u g 7 Dec 31 10:00 last-year", "last-year", 7, false, {2025, 12, 31, 10, 0}, false},
        {"-rw-r--r-- 1 u g 7 Apr 20 10:00 329-days", "329-days", 7, false, {2025, 4, 20, 10, 0}, false},
        {"-rw-r--r-- 1 u g 7 Mar 31 10:00 349-days", "349-days", 7, false, {2025, 3, 31, 10, 0}, false},
        {"-rw-r--r-- 1 u g 7 Mar 30 10:00 350-days", "350-days", 7, false, {2026, 3, 30, 10, 0}, false},
        {"-rw-r--r-- 1 u g 7 Jan  1  1960 old", "old", 7, false, {1960, 1, 1}, false},
        {"-rw-r--r-- 1 u g 7 Jan  1  1800 older", "older", 7, false, {1800, 1, 1}, false},
        {"-rw-r--r-- 1 u g 7 Jan  1  0099 ancient", "ancient", 7, false, {}, false},
        {"crw-rw-rw- 1 root root 1, 3 Jan 12 2024 null", "null", 3, false, {2024, 1, 12}, false},
        {"prw-r--r-- 1 u g 0 Jan 12 2024 fifo", "fifo", 0, false, {2024, 1, 12}, false},
        // Columns are read without a digit check: "1a" is 1 x 10 + ('a' - '0').
        {"-rw-r--r-- 1 u g 1a Jan 12 2024 odd", "odd", 59, false, {2024, 1, 12}, false},
        // ...so a sign or letters before the digits change the value, and a
        // column past 64 bits wraps; the line is still an entry. A value that
        // comes out negative is no size (a file's -1 would read as a folder).
        {"-rw-r--r-- 1 u g +1234 Jan 12 2024 signed", "signed", 0, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 ftp ftp -5 Jan 12 2024 minus", "minus", 0, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 ftp ftp / Jan 12 2024 slash", "slash", 0, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 u g KB1234 Jan 12 2024 glued", "glued", 2881234, false, {2024, 1, 12}, false},
        {"-rw-r--r-- 1 u g abcdefghijklmnopqrstuvwxyz123 Jan 12 2024 long-glue",
         "long-glue",
         4546735068178104795LL,
         false,
         {2024, 1, 12},
         false},
        {"-rw-r--r-- 1 ftp ftp 99999999999999999999 Jan 12 2024 past64",
         "past64",
         7766279631452241919LL,
         false,
         {2024, 1, 12},
         false},
        // A date part no calendar holds: an entry with the invalid date.
        {"-rw-r--r-- 1 ftp ftp 5 Jan 99999999999 2024 no-day", "no-day", 5, false, {}, false},
        // The day before the month: "12" is taken as the size, "2024" as the
        // day and the first word of the name as the year.
        {"-rw-r--r-- 1 u g 1234 12 Jan 2024 readme.txt notes", "notes", 12, false, {}, false},
        // MS-DOS
        {"11-05-03  07:45PM       <DIR>          photos", "photos", -1, false, {2003, 11, 5, 19, 45}, false},
        {"11-05-03  10:02AM  2048 notes.txt", "notes.txt", 2048, false, {2003, 11, 5, 10, 2}, false},
        {"01-02-99  12:05AM  10 midnight.txt", "midnight.txt", 10, false, {1999, 1, 2, 0, 5}, false},
        {"01-02-99  12:05PM  10 noon.txt", "noon.txt", 10, false, {1999, 1, 2, 12, 5}, false},
        {"01-02-2015  11:59PM  3000000000 my big file.iso",
         "my big file.iso",
         3000000000LL,
         false,
         {2015, 1, 2, 23, 59},
         false},
        {"12-31-49  01:00AM    7    spaced", "spaced", 7, false, {2049, 12, 31, 1, 0}, false},
        {"06-15-50  01:00A  7 no-m", "no-m", 7, false, {1950, 6, 15, 1, 0}, false},
        {"06-15-50  01:00AM  <DIR>  中文目录", "中文目录", -1, false, {1950, 6, 15, 1, 0}, false},
        {"11-05-03  07:45PM  -5 minus", "minus", 0, false, {2003, 11, 5, 19, 45}, false},
        // A 24-hour time: the minute runs to the next "A" or "P" wherever it
        // is, the byte after it is passed over as the "M", and the rest follows.
        {"01-20-21  13:45       <DIR>          Program Files", "Files", 692151, false, {}, false},
        // Version-numbered
        {"DATA.DIR;1  1  2-JUN-1998 23:05 [OWNER] (RWE,RWE,RE,RE)",
         "DATA",
         -1,
         false,
         {1998, 6, 2, 23, 5},
         true},
        {"REPORT.TXT;2  4  14-MAR-2001 09:15", "REPORT.TXT", 0, false, {2001, 3, 14, 9, 15}, true},
        {"Mixed.txt;1  4  14-mar-2001 09:15:33 [OWNER]", "Mixed.txt", 0, false, {2001, 3, 14, 9, 15}, true},
        {".DIR;1  1  2-JUN-1998 23:05", ".DIR", 0, false, {1998, 6, 2, 23, 5}, true},
        {"CII-MANUAL.TEX;1  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)",
         "CII-MANUAL.TEX",
         0,
         false,
         {1996, 1, 29, 3, 33},
         true},
        // A blank after ";": the size column is taken for the day.
        {"CII-MANUAL.TEX; 1  213/216  29-JAN-1996 03:33:12  [ANONYMOU,ANONYMOUS]   (RWED,RWED,,)",
         "CII-MANUAL.TEX",
         0,
         false,
         {},
         true},
        {"OLD.TXT;1  1  29-DEC-1899 06:00", "OLD.TXT", 0, false, {1899, 12, 29, 6, 0}, true},
        // One-line facts
        {"+i77.5,m1000000000,r,s280,\treadme.txt", "readme.txt", 280, false, {2001, 9, 9, 1, 46, 40}, true},
        {"+/,m1000000000,\tsubdir", "subdir", -1, false, {2001, 9, 9, 1, 46, 40}, true},
        {"+r,s3000000000,\tbig", "big", 3000000000LL, false, {1970, 1, 1}, true},
        {"+r,s280\tsize-fact-not-closed", "size-fact-not-closed", 0, false, {1970, 1, 1}, true},
        {"+r,s99999999999999999999,\tpast64", "past64", 7766279631452241919LL, false, {1970, 1, 1}, true},
        {"+r,s-1,\tminus", "minus", 0, false, {1970, 1, 1}, true},
        {"+r,s/,\tslash", "slash", 0, false, {1970, 1, 1}, true},
        {"+\t", "", 0, false, {1970, 1, 1}, true},
    };
    return rows;
}

struct Rejected {
    std::string line;
    const char* why;
};

const std::vector<Rejected>& RejectedLines() {
    static const std::vector<Rejected> rows = {
        {"", "empty"},
        {"d", "one byte"},
        {"total 8", "the block count is not an entry"},
        {"hello world", "no style"},
        {"?rw-r--r-- 1 u g 7 Jan 12 2024 x", "unknown type letter"},
        {"-rw-r--r-- 1 ftp ftp 1234 Jän 12 10:30 x", "localised month"},
        {"-rw-r--r-- 1 ftp ftp 1234 1月 12 10:30 x", "localised month"},
        {"-rw-r--r-- 1 ftp ftp 1234 Janv 12 10:30 x", "four-letter month"},
        {"-rw-r--r-- 1 ftp ftp 1234 Jan 12 10:30", "time column not ended"},
        {"-rw-r--r-- 1 ftp ftp 1234 Jan 12 103 x", "time column too short"},
        {"-rw-r--r-- 1 ftp ftp 1234 Jan", "truncated after the month"},
        {"11-05-03  07:45PM", "MS-DOS without the size column"},
        {"11-05-03  07:45P", "MS-DOS ending at the P"},
        {"11-05-03  07:45", "MS-DOS without AM or PM"},
        {"11-05-03  19:45  <DIR>  photos", "MS-DOS 24-hour clock"},
        {"11-05-03  07:45PM  <DIR>", "MS-DOS without a name"},
        {"11-05-03  07:45PM  <DIR>   ", "MS-DOS name of blanks only"},
        {"11-05-03  07:45PM  2048", "MS-DOS size without a name"},
        {"11-05-03", "MS-DOS date only"},
        {"11-05-03  07", "MS-DOS hour only"},
        {"13-05-03  07:45PM  <DIR>  x", "MS-DOS month 13"},
        {"00-05-03  07:45PM  <DIR>  x", "MS-DOS month 0"},
        {"DATA.DIR;1  1  2-XYZ-1998 23:05", "version style, no month"},
        {"DATA.DIR;1  1  2-JUN-1998", "version style without a time"},
        {"DATA.DIR;1  1  2-JUN-1998 ", "version style, time missing"},
        {"A;1", "version style, nothing after the version"},
        {"A;1  1  2", "version style, day only"},
        {"+r,s280,", "facts without a tab"},
    };
    return rows;
}

double ExpectedOle(const Accepted& row, std::int64_t offset) {
    if (row.when.year == -1) return kInvalidOleDate;
    const When& w = row.when;
    return OleOf(w.year, w.month, w.day, w.hour, w.minute, w.second, row.utcInLine ? offset : 0);
}

void ExpectEntry(const Accepted& row, const FileEntry& entry, std::int64_t offset) {
    EXPECT_EQ(entry.name, row.name);
    EXPECT_EQ(entry.size, row.size);
    EXPECT_EQ(entry.isLink, row.isLink);
    EXPECT_NEAR(entry.modified, ExpectedOle(row, offset), 1e-7);
}

// Local time as UTC and as China Standard Time: lines with local clock times
// give the same date-time value in both, lines with UTC times move by 8 hours.
const std::int64_t kOffsets[] = {0, 8 * 3600};

TEST(ListingParser, AcceptedLinesGiveTheirEntry) {
    for (const std::int64_t offset : kOffsets) {
        const ListingClock clock = ListingClock::Fixed(kNow, offset);
        for (const Accepted& row : AcceptedLines()) {
            SCOPED_TRACE("offset " + std::to_string(offset) + ": " + row.line);
            FileEntry entry;
            ASSERT_TRUE(EntryFromLine(row.line, entry, clock));
            ExpectEntry(row, entry, offset);

            ListingFacts facts;
            ASSERT_TRUE(ParseListLine(row.line, facts, clock));
            EXPECT_LE(facts.nameStart + facts.nameLength, row.line.size());
            EXPECT_EQ(facts.canEnter, row.size == -1);
        }
    }
}

TEST(ListingParser, RejectedLinesAreNotEntries) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    for (const Rejected& row : RejectedLines()) {
        SCOPED_TRACE(std::string(row.why) + ": " + row.line);
        FileEntry entry;
        entry.name = "untouched";
        EXPECT_FALSE(EntryFromLine(row.line, entry, clock));
        EXPECT_EQ(entry.name, "untouched");
    }
}

TEST(ListingParser, FactsOfEachStyle) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    struct Row {
        std::string line;
        bool canEnter, canRetrieve;
        int sizeKind, timeKind, idKind;
        std::string id;
    };
    const Row rows[] = {
        {"+i77.5,m1000000000,r,s280,\treadme.txt", false, true, 1, 1, 1, "77.5"},
        {"+/,i,\td", true, false, 0, 0, 1, ""},
        {"+r,s1,ifirst,isecond,\tf", false, true, 1, 0, 1, "second"},
        {"+r,s1,\ti,x", false, true, 1, 0, 0, ""},  // after the tab everything is name
        {"-rw-r--r-- 1 u g 7 Jan 12 10:30 f", false, true, 1, 2, 0, ""},
        {"drwxr-xr-x 1 u g 7 Jan 12 2024 d", true, false, 1, 3, 0, ""},
        {"lrwxrwxrwx 1 u g 7 Jan 12 2024 l -> t", true, true, 1, 3, 0, ""},
        {"srwxrwxrwx 1 u g 0 Jan 12 2024 sock", false, false, 1, 3, 0, ""},
        {"DATA.DIR;1  1  2-JUN-1998 23:05", true, false, 0, 2, 0, ""},
        {"A.TXT;1  1  2-JUN-1998 23:05", false, true, 0, 2, 0, ""},
        {"11-05-03  07:45PM  <DIR>  photos", true, false, 0, 2, 0, ""},
        {"11-05-03  07:45PM  12 notes", false, true, 1, 2, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        ListingFacts facts;
        ASSERT_TRUE(ParseListLine(row.line, facts, clock));
        EXPECT_EQ(facts.canEnter, row.canEnter);
        EXPECT_EQ(facts.canRetrieve, row.canRetrieve);
        EXPECT_EQ(facts.sizeKind, row.sizeKind);
        EXPECT_EQ(facts.timeKind, row.timeKind);
        EXPECT_EQ(facts.idKind, row.idKind);
        EXPECT_EQ(std::string(row.line.substr(facts.idStart, facts.idLength)), row.id);
    }
}

TEST(ListingParser, FactTimeIsAbsolute) {
    ListingFacts facts;
    ASSERT_TRUE(ParseListLine("+m1000000000,\tx", facts, ListingClock::Fixed(kNow, 5 * 3600)));
    EXPECT_EQ(facts.time, 1000000000);
    EXPECT_NEAR(OleDateFromUnix(facts.time, ListingClock::Fixed(kNow)), 37143.0740740741, 1e-9);
}

TEST(ListingParser, EachLineAsItsOwnListing) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    for (const Accepted& row : AcceptedLines()) {
        for (const char* end : {"", "\r\n", "\n"}) {
            SCOPED_TRACE(row.line + " + line end of " + std::to_string(std::string(end).size()) + " bytes");
            std::vector<FileEntry> entries;
            const std::string text = row.line + end;
            // A name of blanks only ends in blanks; they must survive the split.
            ASSERT_EQ(ParseListing(text, entries, clock), 1);
            ExpectEntry(row, entries[0], 0);
        }
    }
    for (const Rejected& row : RejectedLines()) {
        SCOPED_TRACE(std::string(row.why) + ": " + row.line);
        std::vector<FileEntry> entries;
        std::string_view rejected;
        const std::string text = row.line + "\r\n";
        const int count = ParseListing(text, entries, clock, &rejected);
        if (row.line.empty() || row.line.rfind("total", 0) == 0) {
            // Skipped by the split, not refused: an empty listing.
            EXPECT_EQ(count, 0);
        } else {
            EXPECT_EQ(count, -1);
            EXPECT_EQ(rejected, row.line);
        }
        EXPECT_TRUE(entries.empty());
    }
}

TEST(ListingParser, AllLinesAsOneListing) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    for (const char* end : {"\r\n", "\n"}) {
        std::string text = "total 123\r\n";
        for (const Accepted& row : AcceptedLines()) text += row.line + end;
        std::vector<FileEntry> entries;
        ASSERT_EQ(ParseListing(text, entries, clock), static_cast<int>(AcceptedLines().size()));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            SCOPED_TRACE(AcceptedLines()[i].line);
            ExpectEntry(AcceptedLines()[i], entries[i], 0);
        }
    }
}

TEST(ListingParser, OneBadLineFailsTheListing) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    const std::string text =
        "-rw-r--r-- 1 u g 7 Jan 12 2024 one\r\n"
        "-rw-r--r-- 1 u g 7 Jan 12 2024 two\r\n"
        "-rw-r--r-- 1 u g 7 Jän 12 2024 three\r\n"
        "-rw-r--r-- 1 u g 7 Jan 12 2024 four\r\n";
    std::vector<FileEntry> entries;
    std::string_view rejected;
    EXPECT_EQ(ParseListing(text, entries, clock, &rejected), -1);
    EXPECT_EQ(rejected, "-rw-r--r-- 1 u g 7 Jän 12 2024 three");
    ASSERT_EQ(entries.size(), 2u);  // the lines before the bad one
    EXPECT_EQ(entries[1].name, "two");
}

TEST(ListingParser, SplitListing) {
    struct Row {
        std::string text;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"", {}},
        {"\r\n\r\n\n", {}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb", {"a", "b"}},  // a last line without an end counts
        {"a\nb\r", {"a", "b"}},  // a CR cut from its LF by the closing server
        {"only", {"only"}},
        {"a\r\n\r\nb", {"a", "b"}},
        {"a\r\rb\r\n", {"a\r\rb"}},  // a CR alone does not end a line
        {"total 8\r\na\r\n", {"a"}},
        {"\r\ntotal 8\r\na\r\n", {"a"}},
        {"Total 8.0K\na\n", {"a"}},
        {"total 0\n", {}},
        {"a\r\ntotal 8\r\n", {"a", "total 8"}},  // only a leading total line is skipped
        {"totally 8\r\n", {"totally 8"}},
        {"total\r\n", {"total"}},
        {"total 8 files\r\n", {"total 8 files"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const std::vector<std::string_view> lines = SplitListing(row.text);
        ASSERT_EQ(lines.size(), row.lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], row.lines[i]);
    }
}

TEST(ListingParser, EveryLineOfALongListing) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "-rw-r--r-- 1 u g " + std::to_string(i) + " Jan 12 2024 file" + std::to_string(i) + "\r\n";
    std::vector<FileEntry> entries;
    ASSERT_EQ(ParseListing(text, entries, clock), 300);
    EXPECT_EQ(entries[299].name, "file299");
    EXPECT_EQ(entries[299].size, 299);
    EXPECT_EQ(entries[256].name, "file256");
}

TEST(ListingParser, OversizedListingIsRefused) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    // One entry, padded with empty lines to exactly the cap: still parsed.
    std::string text = "-rw-r--r-- 1 u g 1 Jan 12 2024 x\n";
    text.resize(kMaxListingBytes, '\n');
    std::vector<FileEntry> entries;
    EXPECT_EQ(ParseListing(text, entries, clock), 1);
    text += '\n';
    EXPECT_EQ(ParseListing(text, entries, clock), -1);
    EXPECT_TRUE(entries.empty());
}

TEST(ListingParser, YearGuessAroundNewYear) {
    // 2026-01-02 08:00 UTC: a December date is last year's, a January date this year's.
    const ListingClock clock = ListingClock::Fixed(UtcSeconds(2026, 1, 2, 8));
    struct Row {
        const char* line;
        When when;
    };
    const Row rows[] = {
        {"-rw-r--r-- 1 u g 7 Dec 31 10:00 x", {2025, 12, 31, 10, 0}},
        {"-rw-r--r-- 1 u g 7 Jan  1 10:00 x", {2026, 1, 1, 10, 0}},
        {"-rw-r--r-- 1 u g 7 Jan  2 23:59 x", {2026, 1, 2, 23, 59}},  // later today
        {"-rw-r--r-- 1 u g 7 Jan 17 10:00 x", {2026, 1, 17, 10, 0}},  // clock skew: the future
        {"-rw-r--r-- 1 u g 7 Jan 18 10:00 x", {2025, 1, 18, 10, 0}},  // 349 days back
        // 2025 has no 29 February: the guess counts on to 1 March.
        {"-rw-r--r-- 1 u g 7 Feb 29 10:00 x", {2025, 3, 1, 10, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        FileEntry entry;
        ASSERT_TRUE(EntryFromLine(row.line, entry, clock));
        EXPECT_NEAR(entry.modified,
                    OleOf(row.when.year, row.when.month, row.when.day, row.when.hour, row.when.minute, 0),
                    1e-7);
    }
}

TEST(ListingParser, YearGuessDoesNotMoveWithTheZone) {
    // Reading the guessed year in local time would put a late "Dec 31" east
    // of UTC, or an early "Jan  1" west of it, into the neighbouring year.
    struct Row {
        std::int64_t offset;
        const char* line;
        When when;
    };
    const Row rows[] = {
        {8 * 3600, "-rw-r--r-- 1 u g 7 Dec 31 20:00 x", {2025, 12, 31, 20, 0}},
        {8 * 3600, "-rw-r--r-- 1 u g 7 Dec 31 23:59 x", {2025, 12, 31, 23, 59}},
        {-5 * 3600, "-rw-r--r-- 1 u g 7 Jan  1 02:00 x", {2026, 1, 1, 2, 0}},
        {14 * 3600, "-rw-r--r-- 1 u g 7 Jan  1 00:00 x", {2026, 1, 1, 0, 0}},
        {-12 * 3600, "-rw-r--r-- 1 u g 7 Dec 31 23:00 x", {2025, 12, 31, 23, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.line) + " at offset " + std::to_string(row.offset));
        FileEntry entry;
        ASSERT_TRUE(EntryFromLine(row.line, entry, ListingClock::Fixed(kNow, row.offset)));
        EXPECT_NEAR(entry.modified,
                    OleOf(row.when.year, row.when.month, row.when.day, row.when.hour, row.when.minute, 0),
                    1e-7);
    }
}

TEST(ListingParser, GuessYearSeconds) {
    struct Row {
        std::int64_t now;
        int month0, day;
        std::int64_t expected;
    };
    const Row rows[] = {
        {kNow, 2, 30, UtcSeconds(2026, 3, 30)},
        {kNow, 2, 31, UtcSeconds(2025, 3, 31)},
        {kNow, 11, 31, UtcSeconds(2025, 12, 31)},
        {UtcSeconds(2026, 1, 2), 0, 1, UtcSeconds(2026, 1, 1)},
        {UtcSeconds(2026, 1, 2), 11, 31, UtcSeconds(2025, 12, 31)},
        // Exactly 350 days back is not "less than 350 days": next year.
        {UtcSeconds(2025, 3, 1) + 30'240'000, 2, 1, UtcSeconds(2026, 3, 1)},
        {UtcSeconds(2025, 3, 1) + 30'240'000 - 1, 2, 1, UtcSeconds(2025, 3, 1)},
        {0, 0, 1, UtcSeconds(1970, 1, 1)},
        {UtcSeconds(1960, 6, 1), 5, 1, UtcSeconds(1960, 6, 1)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.now) + " " + std::to_string(row.month0) + " " +
                     std::to_string(row.day));
        EXPECT_EQ(GuessYearSeconds(row.month0, row.day, row.now), row.expected);
    }
}

TEST(ListingParser, MonthIndex) {
    struct Row {
        std::string text;
        int expected;
    };
    const Row rows[] = {
        {"Jan", 0},   {"JAN", 0},           {"jAn", 0},  {"jan", 0},   {"Feb", 1},  {"may", 4},
        {"Sep", 8},   {"DeC", 11},          {"Ja", -1},  {"Janu", -1}, {"", -1},    {"J@N", -1},
        {"jaN ", -1}, {"\xE4\xB8\x80", -1}, {"1月", -1}, {"Jän", -1},  {"Mrz", -1}, {"JAn", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(MonthIndex(row.text), row.expected);
    }
}

TEST(ListingParser, DaysToSecondsMatchesStandardCalendar) {
    int checked = 0;
    for (int year = 1583; year <= 2405; year += (year < 1990 || year > 2110) ? 3 : 1) {
        for (unsigned month = 1; month <= 12; ++month) {
            const std::chrono::year_month_day_last last{std::chrono::year{year} / std::chrono::month{month} /
                                                        std::chrono::last};
            for (unsigned day = 1; day <= static_cast<unsigned>(last.day()); ++day) {
                ASSERT_EQ(DaysToSeconds(year, static_cast<int>(month) - 1, static_cast<int>(day)),
                          UtcSeconds(year, month, day))
                    << year << "-" << month << "-" << day;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 100000);
    EXPECT_EQ(DaysToSeconds(1970, 0, 1), 0);
    EXPECT_EQ(DaysToSeconds(1969, 11, 31), -86400);
    EXPECT_EQ(DaysToSeconds(2038, 0, 19), 2147472000);                 // past 32 bits on the next day
    EXPECT_EQ(DaysToSeconds(2106, 1, 7), 4294944000LL);                // past 32 unsigned bits that morning
    EXPECT_EQ(DaysToSeconds(2024, 0, 32), DaysToSeconds(2024, 1, 1));  // a day past the month counts on
}

TEST(ListingParser, OleDateFromUnix) {
    struct Row {
        std::int64_t seconds;
        std::int64_t offset;
        double expected;
    };
    const Row rows[] = {
        {0, 0, 25569.0},
        {0, 8 * 3600, 25569.0 + 8.0 / 24},
        {-1, 0, 25568.0 + 86399.0 / 86400},
        {1000000000, 0, 37143.0 + 6400.0 / 86400},
        {UtcSeconds(1899, 12, 30), 0, 0.0},
        {UtcSeconds(1899, 12, 30, 18), 0, 0.75},
        {UtcSeconds(1899, 12, 29, 6), 0, -1.25},  // before day 0 the fraction is subtracted
        {UtcSeconds(1800, 1, 1, 12), 0, -36522.5},
        {UtcSeconds(100, 1, 1), 0, -657434.0},  // the first day that converts
        {UtcSeconds(99, 12, 31, 23, 59, 59), 0, kInvalidOleDate},
        {UtcSeconds(9999, 12, 31, 12), 0, 2958465.5},
        {UtcSeconds(10000, 1, 1), 0, kInvalidOleDate},
        {std::numeric_limits<std::int64_t>::max(), 0, kInvalidOleDate},
        {std::numeric_limits<std::int64_t>::min(), 0, kInvalidOleDate},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.seconds) + " at offset " + std::to_string(row.offset));
        EXPECT_NEAR(OleDateFromUnix(row.seconds, ListingClock::Fixed(kNow, row.offset)), row.expected, 1e-9);
    }
}

// The process's own time zone: the default clock uses mktime/localtime_r.
class ProcessTimeZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        if (old) saved_ = old;
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void Use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST_F(ProcessTimeZone, FixedZoneAndProcessZoneAgree) {
    Use("CST-8");  // UTC+8 without daylight saving, needs no zone database
    const ListingClock process = ListingClock::FixedNow(kNow);
    const ListingClock fixed = ListingClock::Fixed(kNow, 8 * 3600);
    std::string text;
    for (const Accepted& row : AcceptedLines()) text += row.line + "\r\n";
    std::vector<FileEntry> byProcess;
    std::vector<FileEntry> byFixed;
    ASSERT_EQ(ParseListing(text, byProcess, process), static_cast<int>(AcceptedLines().size()));
    ASSERT_EQ(ParseListing(text, byFixed, fixed), static_cast<int>(AcceptedLines().size()));
    for (std::size_t i = 0; i < byProcess.size(); ++i) {
        SCOPED_TRACE(AcceptedLines()[i].line);
        EXPECT_NEAR(byProcess[i].modified, byFixed[i].modified, 1e-9);
        ExpectEntry(AcceptedLines()[i], byProcess[i], 8 * 3600);
    }
}

TEST_F(ProcessTimeZone, DaylightSavingIsDecidedByTheZone) {
    Use("EST5EDT,M3.2.0,M11.1.0");
    const ListingClock clock = ListingClock::FixedNow(kNow);
    struct Row {
        const char* line;
        std::int64_t utc;
    };
    const Row rows[] = {
        {"-rw-r--r-- 1 u g 7 Jul  1 10:30 x", UtcSeconds(2025, 7, 1, 14, 30)},   // EDT, UTC-4
        {"-rw-r--r-- 1 u g 7 Jan 12 10:30 x", UtcSeconds(2026, 1, 12, 15, 30)},  // EST, UTC-5
        {"-rw-r--r-- 1 u g 7 Jul  1  2024 x", UtcSeconds(2024, 7, 1, 4)},
        {"07-01-24  10:30AM  7 x", UtcSeconds(2024, 7, 1, 14, 30)},
        {"DATA.DIR;1  1  1-JUL-2024 10:30", UtcSeconds(2024, 7, 1, 10, 30)},  // a UTC clock time
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        ListingFacts facts;
        ASSERT_TRUE(ParseListLine(row.line, facts, clock));
        EXPECT_EQ(facts.time, row.utc);
    }
    CalendarTime local;
    ASSERT_TRUE(clock.ToLocal(UtcSeconds(2024, 7, 1, 14, 30), local));
    EXPECT_EQ(local.hour, 10);
    EXPECT_EQ(local.month0, 6);
}

TEST(ListingParser, DefaultClockReadsTheRealClock) {
    // Bracketed by the same clock the default one reads: a finer clock may
    // run a tick ahead of it.
    const std::int64_t before = std::time(nullptr);
    const std::int64_t now = ListingClock().Now();
    const std::int64_t after = std::time(nullptr);
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
    EXPECT_EQ(ListingClock::Fixed(123).Now(), 123);
    EXPECT_EQ(ListingClock::FixedNow(456).Now(), 456);
}

// Copies a line into a buffer of exactly its size, so that a read past its
// end is a heap overflow the address sanitizer reports.
bool ParseExact(std::string_view text, const ListingClock& clock) {
    std::vector<char> exact(text.begin(), text.end());
    const std::string_view line(exact.data(), exact.size());
    ListingFacts facts;
    const bool accepted = ParseListLine(line, facts, clock);
    if (accepted) {
        EXPECT_LE(facts.nameStart + facts.nameLength, line.size()) << text;
        if (facts.idKind) {
            EXPECT_LE(facts.idStart + facts.idLength, line.size()) << text;
        }
    }
    FileEntry entry;
    EXPECT_EQ(EntryFromLine(line, entry, clock), accepted) << text;
    return accepted;
}

TEST(ListingParser, TruncatedAndDisturbedLinesNeverCrash) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    std::vector<std::string> lines;
    for (const Accepted& row : AcceptedLines()) lines.push_back(row.line);
    for (const Rejected& row : RejectedLines()) lines.push_back(row.line);

    std::mt19937 rng(20240612);
    const std::string whitespace = " \t\r\n\v";
    int accepted = 0;
    int runs = 0;
    for (const std::string& line : lines) {
        for (std::size_t pos = 0; pos <= line.size(); ++pos) {
            accepted += ParseExact(std::string_view(line).substr(0, pos), clock);
            std::string disturbed = line;
            disturbed.insert(pos, std::string(1 + rng() % 3, whitespace[rng() % whitespace.size()]));
            accepted += ParseExact(disturbed, clock);
            std::string replaced = line;
            if (pos < line.size()) replaced[pos] = static_cast<char>(rng() % 256);
            accepted += ParseExact(replaced, clock);
            runs += 3;
        }
        // The same, as one listing with every variant of the line.
        std::string text;
        for (std::size_t pos = 0; pos <= line.size(); ++pos) text += line.substr(0, pos) + "\n";
        std::vector<FileEntry> entries;
        const int count = ParseListing(text, entries, clock);
        EXPECT_TRUE(count == -1 || count == static_cast<int>(entries.size()));
    }
    // Cutting lines short turns many into rejects, but whitespace in a name
    // and the untouched full lines keep a good share accepted.
    EXPECT_GT(accepted, 0);
    EXPECT_LT(accepted, runs);
}

TEST(ListingParser, HostileLongLines) {
    const ListingClock clock = ListingClock::Fixed(kNow);
    const std::size_t kMiB = 1024 * 1024;
    const std::string prefixes[] = {"+", "-", "d", "l", "s", "1", "0", "A", "X;", "\x01"};
    for (const std::string& prefix : prefixes) {
        for (const char fill : {'x', '7', '\x01', '\0', '\xFF', ':', '-', ';', ','}) {
            SCOPED_TRACE("prefix " + prefix + " fill " + std::to_string(static_cast<unsigned char>(fill)));
            EXPECT_FALSE(ParseExact(prefix + std::string(kMiB, fill), clock));
        }
    }
    // Many columns, none a month: the walk ends without an entry.
    std::string columns = "-";
    while (columns.size() < kMiB) columns += " 1";
    EXPECT_FALSE(ParseExact(columns, clock));
    // A very long name is kept whole.
    const std::string longName(300000, 'n');
    FileEntry entry;
    ASSERT_TRUE(EntryFromLine("-rw-r--r-- 1 u g 7 Jan 12 2024 " + longName, entry, clock));
    EXPECT_EQ(entry.name, longName);
}

}  // namespace
}  // namespace downlib

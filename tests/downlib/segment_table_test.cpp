// Dividing a download into parts, sharing them out and counting what is whole.
#include "downlib/segment_table.h"

#include <gtest/gtest.h>

namespace downlib {
namespace {

struct DivideCase {
    std::int64_t size;
    int count;
    std::vector<std::pair<std::int64_t, std::int64_t>> parts;  // start, length
};

TEST(SegmentTable, DividesTheFileWithTheRemainderInTheLastPart) {
    const DivideCase cases[] = {
        {10, 1, {{0, 10}}},
        {10, 3, {{0, 3}, {3, 3}, {6, 4}}},
        {0, 1, {{0, 0}}},
        {2, 4, {{0, 2}}},  // fewer bytes than parts: one part
        {5LL << 30, 2, {{0, 5LL << 29}, {5LL << 29, 5LL << 29}}},
        {(5LL << 30) + 1, 2, {{0, 5LL << 29}, {5LL << 29, (5LL << 29) + 1}}},
    };
    for (const DivideCase& c : cases) {
        SegmentTable table;
        table.Divide(c.size, c.count, nullptr);
        ASSERT_EQ(table.Count(), c.parts.size()) << c.size << "/" << c.count;
        for (std::size_t i = 0; i < c.parts.size(); ++i) {
            Segment segment = table.Get(static_cast<int>(i));
            EXPECT_EQ(segment.start, c.parts[i].first) << c.size << "/" << c.count << " part " << i;
            EXPECT_EQ(segment.length, c.parts[i].second) << c.size << "/" << c.count << " part " << i;
        }
        EXPECT_TRUE(table.Get(0).taken);
        EXPECT_EQ(table.AllComplete(), c.size == 0);
    }
}

TEST(SegmentTable, ContiguousBytesStopAtTheFirstGap) {
    struct Case {
        std::vector<std::int64_t> written;  // per part of a 300-byte file in three parts
        std::int64_t contiguous;
    } cases[] = {
        {{0, 0, 0}, 0},       {{50, 0, 0}, 50},      {{100, 0, 0}, 100},     {{100, 40, 0}, 140},
        {{50, 100, 100}, 50}, {{100, 100, 99}, 299}, {{100, 100, 100}, 300},
    };
    for (const Case& c : cases) {
        SegmentTable table;
        table.Divide(300, 3, nullptr);
        for (int i = 0; i < 3; ++i) table.AddWritten(i, c.written[i]);
        EXPECT_EQ(table.ContiguousFromStart(), c.contiguous) << c.written[0] << "," << c.written[1];
        EXPECT_EQ(table.AllComplete(), c.contiguous == 300);
    }
}

TEST(SegmentTable, TakesFreePartsThenSplitsTheLargestRest) {
    SegmentTable table;
    table.Divide(4 * kMinSegmentSize, 2, nullptr);
    EXPECT_EQ(table.TakeFree(nullptr), 1);
    EXPECT_FALSE(table.TakeFree(nullptr).has_value());
    table.AddWritten(1, kMinSegmentSize);  // segment 1 has half its bytes
    std::optional<int> split = table.Split(nullptr, kMinSegmentSize);
    ASSERT_EQ(split, 2);
    // Segment 0 had the most left (2 minimums): its rest is halved.
    EXPECT_EQ(table.Get(0).length, kMinSegmentSize);
    EXPECT_EQ(table.Get(2).start, kMinSegmentSize);
    EXPECT_EQ(table.Get(2).length, kMinSegmentSize);
    // Nothing has two minimums left any more.
    EXPECT_FALSE(table.Split(nullptr, kMinSegmentSize).has_value());
}

}  // namespace
}  // namespace downlib

// A download's local file: exclusive creation, reservation in steps, the cut
// to whole bytes.
#include "downlib/download_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace downlib {
namespace {

// Creates the file at `path` the way a task without a chosen folder does.
bool Create(DownloadFile& file, const std::string& path, std::int64_t size) {
    std::optional<LocalTarget> target = OpenLocalTarget("", path);
    return target && file.Create(*target, path, size);
}

TEST(DownloadFile, ReservesTheSpaceWithoutShowingItAndRefusesAnExistingFileOrALink) {
    testsupport::TempDir dir;
    SegmentTable table;
    table.Divide(1 << 20, 1, nullptr);
    DownloadFile file;
    ASSERT_TRUE(Create(file, dir.file("a.bin"), 1 << 20));
    struct stat info {};
    ASSERT_EQ(::stat(dir.file("a.bin").c_str(), &info), 0);
    // The space is there, the size is not: a file left by a kill never looks whole.
    EXPECT_EQ(info.st_size, 0);
    EXPECT_GE(static_cast<std::int64_t>(info.st_blocks) * 512, 1 << 20);
    std::string bytes(1000, 'b');
    ASSERT_TRUE(file.Write(table, 0, bytes.data(), 1000));
    EXPECT_EQ(testsupport::FileSize(dir.file("a.bin")), 1000);

    DownloadFile again;
    EXPECT_FALSE(Create(again, dir.file("a.bin"), 10));
    ASSERT_EQ(::symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    EXPECT_FALSE(Create(again, dir.file("link"), 10));
    EXPECT_EQ(testsupport::FileSize(dir.file("target")), -1);  // the link was not followed
    EXPECT_FALSE(Create(again, dir.file("missing/a.bin"), 10));
}

// Space is reserved a step at a time ahead of what is written, whatever size
// was announced; a file that can never fit is refused at once.
TEST(DownloadFile, ReservesAStepAheadOfTheWrittenBytesNotTheStatedSize) {
    const std::int64_t step = kReserveStep;
    struct Case {
        std::int64_t stated;
        std::int64_t write;   // bytes written at 0
        std::int64_t atMost;  // reserved bytes at most afterwards
        std::int64_t atLeast;
    } cases[] = {
        {5000000000, 0, step, step},
        {5000000000, 1 << 20, (1 << 20) + step, step},
        {4096, 4096, 8192, 4096},
    };
    for (const Case& c : cases) {
        testsupport::TempDir dir;
        SegmentTable table;
        table.Divide(c.stated, 1, nullptr);
        DownloadFile file;
        ASSERT_TRUE(Create(file, dir.file("r.bin"), c.stated)) << c.stated;
        std::string bytes(static_cast<std::size_t>(c.write), 'r');
        if (c.write > 0) {
            ASSERT_TRUE(file.Write(table, 0, bytes.data(), c.write));
        }
        struct stat info {};
        ASSERT_EQ(::stat(dir.file("r.bin").c_str(), &info), 0);
        const std::int64_t reserved = static_cast<std::int64_t>(info.st_blocks) * 512;
        EXPECT_LE(reserved, c.atMost + (1 << 16)) << c.stated << " " << c.write;
        EXPECT_GE(reserved, c.atLeast) << c.stated << " " << c.write;
        EXPECT_EQ(info.st_size, c.write);
        file.Release(table);
        ASSERT_EQ(::stat(dir.file("r.bin").c_str(), &info), 0);
        EXPECT_LE(static_cast<std::int64_t>(info.st_blocks) * 512, c.write + (1 << 16));  // given back
    }
    testsupport::TempDir dir;
    DownloadFile huge;
    EXPECT_FALSE(Create(huge, dir.file("huge.bin"), std::int64_t{1} << 60));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(testsupport::FileSize(dir.file("huge.bin")), -1);
}

TEST(DownloadFile, AnIncompleteFileIsCutToItsContiguousBytes) {
    testsupport::TempDir dir;
    SegmentTable table;
    table.Divide(300, 3, nullptr);
    DownloadFile file;
    ASSERT_TRUE(Create(file, dir.file("cut.bin"), 300));
    std::string bytes(100, 'x');
    ASSERT_TRUE(file.Write(table, 0, bytes.data(), 100));
    ASSERT_TRUE(file.Write(table, 1, bytes.data(), 30));
    ASSERT_TRUE(file.Write(table, 2, bytes.data(), 100));
    EXPECT_FALSE(file.Write(table, 1, bytes.data(), 71));  // past the part's end
    EXPECT_EQ(file.Release(table), 130);
    EXPECT_EQ(testsupport::FileSize(dir.file("cut.bin")), 130);
    EXPECT_FALSE(file.Write(table, 1, bytes.data(), 10));  // released: writes fail
    EXPECT_EQ(file.Release(table), 130);
}

TEST(DownloadFile, ACompleteFileKeepsItsSizeAndAnEmptyOneIsCreated) {
    testsupport::TempDir dir;
    SegmentTable table;
    table.Divide(5, 1, nullptr);
    DownloadFile file;
    ASSERT_TRUE(Create(file, dir.file("whole.bin"), 5));
    ASSERT_TRUE(file.Write(table, 0, "hello", 5));
    EXPECT_EQ(file.Release(table), 5);
    EXPECT_EQ(testsupport::ReadFile(dir.file("whole.bin")).value_or(""), "hello");

    SegmentTable empty;
    empty.Divide(0, 1, nullptr);
    DownloadFile zero;
    ASSERT_TRUE(Create(zero, dir.file("zero.bin"), 0));
    EXPECT_EQ(zero.Release(empty), 0);
    EXPECT_EQ(testsupport::FileSize(dir.file("zero.bin")), 0);
}

}  // namespace
}  // namespace downlib

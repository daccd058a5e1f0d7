// The parts of a remote file that a download's connections share out, and how
// much of each is on disk.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "downlib/session.h"

namespace downlib {

// One part of the remote file and how much of it is on disk. Positions are
// 64-bit; the table's lock guards every field.
struct Segment {
    std::int64_t start = 0;
    std::int64_t length = 0;
    std::int64_t written = 0;
    SessionConnection* owner = nullptr;
    bool taken = false;

    std::int64_t Position() const { return start + written; }
    std::int64_t End() const { return start + length; }
    bool Complete() const { return written >= length; }
};

class SegmentTable {
public:
    // `count` parts of size / count bytes, the last one with the remainder.
    // The first segment is taken by `first`.
    void Divide(std::int64_t size, int count, SessionConnection* first);
    bool Empty() const;
    std::size_t Count() const;
    Segment Get(int index) const;
    // The first part neither taken nor complete, now owned by `owner`.
    std::optional<int> TakeFree(SessionConnection* owner);
    // Halves what is left of the part with the most bytes left; the second
    // half becomes a new part owned by `owner`. Nothing when no part has at
    // least twice `minimum` bytes left.
    std::optional<int> Split(SessionConnection* owner, std::int64_t minimum);
    void AddWritten(int index, std::int64_t bytes);
    void Release(int index);
    bool AllComplete() const;
    // Bytes present without a gap from byte 0: what a cut file may keep.
    std::int64_t ContiguousFromStart() const;

private:
    mutable std::mutex lock_;
    std::vector<Segment> segments_;
};

// The smallest part the split rule of kTaskOpenWorker leaves behind.
inline constexpr std::int64_t kMinSegmentSize = std::int64_t{256} * 1024;

}  // namespace downlib

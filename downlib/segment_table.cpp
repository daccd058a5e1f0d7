// Dividing, sharing out and counting the parts of a download.
#include "downlib/segment_table.h"

#include <algorithm>

namespace downlib {

void SegmentTable::Divide(std::int64_t size, int count, SessionConnection* first) {
    std::lock_guard lock(lock_);
    if (count < 1) count = 1;
    if (size < count) count = 1;
    segments_.clear();
    std::int64_t part = size / count;
    for (int i = 0; i < count; ++i) {
        Segment segment;
        segment.start = part * i;
        segment.length = i == count - 1 ? size - part * i : part;
        segments_.push_back(segment);
    }
    segments_[0].owner = first;
    segments_[0].taken = true;
}

bool SegmentTable::Empty() const {
    std::lock_guard lock(lock_);
    return segments_.empty();
}

std::size_t SegmentTable::Count() const {
    std::lock_guard lock(lock_);
    return segments_.size();
}

Segment SegmentTable::Get(int index) const {
    std::lock_guard lock(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= segments_.size()) return Segment{};
    return segments_[index];
}

std::optional<int> SegmentTable::TakeFree(SessionConnection* owner) {
    std::lock_guard lock(lock_);
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        Segment& segment = segments_[i];
        if (segment.taken || segment.Complete()) continue;
        segment.taken = true;
        segment.owner = owner;
        return static_cast<int>(i);
    }
    return std::nullopt;
}

std::optional<int> SegmentTable::Split(SessionConnection* owner, std::int64_t minimum) {
    std::lock_guard lock(lock_);
    int best = -1;
    std::int64_t bestLeft = 0;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        std::int64_t left = segments_[i].length - segments_[i].written;
        if (left > bestLeft) {
            best = static_cast<int>(i);
            bestLeft = left;
        }
    }
    if (best < 0 || bestLeft < 2 * minimum) return std::nullopt;
    Segment& source = segments_[best];
    std::int64_t keep = bestLeft / 2;
    Segment split;
    split.start = source.Position() + keep;
    split.length = source.End() - split.start;
    split.owner = owner;
    split.taken = true;
    source.length = source.written + keep;
    segments_.push_back(split);
    return static_cast<int>(segments_.size() - 1);
}

void SegmentTable::AddWritten(int index, std::int64_t bytes) {
    std::lock_guard lock(lock_);
    if (index >= 0 && static_cast<std::size_t>(index) < segments_.size()) segments_[index].written += bytes;
}

void SegmentTable::Release(int index) {
    std::lock_guard lock(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= segments_.size()) return;
    segments_[index].taken = false;
    segments_[index].owner = nullptr;
}

bool SegmentTable::AllComplete() const {
    std::lock_guard lock(lock_);
    if (segments_.empty()) return false;
    return std::all_of(segments_.begin(), segments_.end(), [](const Segment& s) { return s.Complete(); });
}

std::int64_t SegmentTable::ContiguousFromStart() const {
    std::lock_guard lock(lock_);
    std::vector<Segment> sorted = segments_;
    std::sort(sorted.begin(), sorted.end(),
              [](const Segment& a, const Segment& b) { return a.start < b.start; });
    std::int64_t position = 0;
    for (const Segment& segment : sorted) {
        if (segment.start != position) break;
        position += std::min(segment.written, segment.length);
        if (!segment.Complete()) break;
    }
    return position;
}

}  // namespace downlib

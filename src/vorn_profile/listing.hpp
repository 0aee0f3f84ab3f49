// The sample listing: the longest matched samples, kept while the walk goes on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// Keeps the first `limit` candidates of the listing order, ties in the order they were
/// offered, without holding or ordering more than `limit` of them at a time. The result equals
/// a stable sort of every offered candidate cut to `limit`. `Ref` is how the source finds the
/// sample again when its record is made.
template <class Ref>
class SampleListing {
public:
    struct Ranked {
        std::uint32_t tile = 0;
        std::uint32_t duration = 0;
        std::uint64_t offset = 0;
        std::uint64_t sequence = 0;  // walk order, the last tie-break
        Ref sample{};
    };

    explicit SampleListing(std::uint64_t limit) : limit_(limit) {}

    void offer(std::uint32_t tile, std::uint64_t offset, std::uint32_t duration, Ref sample) {
        if (limit_ == 0) {
            return;
        }
        const Ranked ranked{tile, duration, offset, offered_++, sample};
        if (kept_.size() < limit_) {
            kept_.push_back(ranked);
            return;
        }
        // Full: the heap's top is the last kept candidate in listing order, and a newcomer
        // replaces it only when it comes before it. A newcomer equal on all three keys comes
        // after it (it was offered later), so ties keep their walk order.
        if (!heap_) {
            std::make_heap(kept_.begin(), kept_.end(), before);
            heap_ = true;
        }
        if (before(ranked, kept_.front())) {
            std::pop_heap(kept_.begin(), kept_.end(), before);
            kept_.back() = ranked;
            std::push_heap(kept_.begin(), kept_.end(), before);
        }
    }

    /// The kept candidates in listing order; the listing is left empty.
    std::vector<Ranked> sorted() {
        std::sort(kept_.begin(), kept_.end(), before);
        heap_ = false;
        return std::move(kept_);
    }

    /// The kept candidates in listing order, their `sequence` counted from 0 at the first
    /// offered; the listing is left empty.
    std::vector<Ranked> take_ranked() {
        std::sort(kept_.begin(), kept_.end(), before);
        heap_ = false;
        std::vector<Ranked> kept;
        kept.swap(kept_);
        return kept;
    }

    /// How many candidates were offered.
    std::uint64_t offered() const { return offered_; }

    // Longest first, then physical tile, then offset, then walk order.
    static bool before(const Ranked& left, const Ranked& right) {
        if (left.duration != right.duration) {
            return left.duration > right.duration;
        }
        if (left.tile != right.tile) {
            return left.tile < right.tile;
        }
        if (left.offset != right.offset) {
            return left.offset < right.offset;
        }
        return left.sequence < right.sequence;
    }

private:
    std::uint64_t limit_;
    std::uint64_t offered_ = 0;
    bool heap_ = false;
    std::vector<Ranked> kept_;
};

}  // namespace vorn_profile::detail

// Sample listing: candidate order, the bounded selection and the owned records.
#include "listing.hpp"

#include <algorithm>

namespace vorn_profile {
namespace detail {

bool SampleListing::before(const Ranked& left, const Ranked& right) {
    const auto order = compare_candidates(left.candidate, right.candidate);
    return order != 0 ? order < 0 : left.sequence < right.sequence;
}

void SampleListing::offer(const Candidate& candidate) {
    if (limit_ == 0) {
        return;
    }
    const Ranked ranked{candidate, offered_++};
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

std::vector<SampleRecord> SampleListing::records() {
    std::sort(kept_.begin(), kept_.end(), before);
    std::vector<SampleRecord> records;
    records.reserve(kept_.size());
    for (const Ranked& ranked : kept_) {
        records.push_back(sample_record(ranked.candidate));
    }
    return records;
}

}  // namespace detail

std::strong_ordering compare_candidates(const Candidate& left, const Candidate& right) {
    if (const auto by_length = right.duration <=> left.duration; by_length != 0) {
        return by_length;
    }
    if (const auto by_tile = left.tile <=> right.tile; by_tile != 0) {
        return by_tile;
    }
    return left.offset <=> right.offset;
}

SampleRecord sample_record(const Candidate& candidate) {
    const vorn_package::ProfileStep& step = candidate.sample->step;
    SampleRecord record;
    record.physical_tile = candidate.tile;
    record.offset = candidate.offset;
    record.duration = candidate.duration;
    record.phase = step.phase;
    record.epoch = step.epoch;
    record.kind = kind_name(*candidate.sample);
    record.operation = step.operation;
    record.kernel = step.kernel;
    record.metadata.reserve(step.metadata.size());
    for (const vorn_package::ProfileMetadata& entry : step.metadata) {
        record.metadata.push_back({entry.name, entry.value});
    }
    return record;
}

}  // namespace vorn_profile

// Union lengths of intervals, by sorting or by incremental merging.
#include "coverage.hpp"

#include <algorithm>

namespace vorn_profile {
namespace detail {

void CoverageSet::add_slow(std::uint64_t start, std::uint64_t end) {
    if (start == end) {
        return;  // covers nothing, and cannot join two runs that are apart
    }
    if (runs_.empty() && !collecting_) {
        // One run is kept without touching the heap: many occurrences never need more.
        if (!has_single_) {
            single_ = {start, end};
            has_single_ = true;
            return;
        }
        if (start <= single_.end && single_.start <= end) {
            single_ = {std::min(single_.start, start), std::max(single_.end, end)};
            return;
        }
        runs_.push_back(single_);
        has_single_ = false;
    }
    if (collecting_) {
        runs_.push_back({start, end});
        return;
    }
    // The first run that ends at or after `start` is the first that the interval can touch;
    // run ends increase because runs are disjoint and sorted.
    const auto first =
        std::lower_bound(runs_.begin(), runs_.end(), start,
                         [](const Interval& run, std::uint64_t value) { return run.end < value; });
    if (first == runs_.end() || first->start > end) {
        if (runs_.size() >= kMergeLimit) {
            collecting_ = true;
            runs_.push_back({start, end});
            return;
        }
        runs_.insert(first, {start, end});
        return;
    }
    // Merge every run from `first` up to the last that starts at or before `end`.
    auto last = first;
    while (last + 1 != runs_.end() && (last + 1)->start <= end) {
        ++last;
    }
    first->start = std::min(first->start, start);
    first->end = std::max(last->end, end);
    runs_.erase(first + 1, last + 1);
    if (runs_.size() == 1) {
        // The runs closed up (later tiles filled the gaps): back to the inline case.
        single_ = runs_.front();
        has_single_ = true;
        runs_.clear();
    }
}

std::uint64_t CoverageSet::length() {
    if (has_single_) {
        return single_.end - single_.start;
    }
    if (collecting_) {
        std::sort(runs_.begin(), runs_.end());
    }
    UnionCounter counter;
    for (const Interval& run : runs_) {
        counter.add(run.start, run.end);
    }
    return counter.total();
}

void CoverageSet::append_union_to(std::vector<Interval>& out) {
    if (has_single_) {
        out.push_back(single_);
        return;
    }
    if (collecting_) {
        std::sort(runs_.begin(), runs_.end());
    }
    const std::size_t first = out.size();
    for (const Interval& run : runs_) {
        if (out.size() > first && run.start <= out.back().end) {
            out.back().end = std::max(out.back().end, run.end);
        } else {
            out.push_back(run);
        }
    }
}

}  // namespace detail

std::uint64_t union_length(std::span<const Interval> intervals) {
    std::vector<Interval> sorted(intervals.begin(), intervals.end());
    std::sort(sorted.begin(), sorted.end());
    detail::UnionCounter counter;
    for (const Interval& interval : sorted) {
        counter.add(interval.start, interval.end);
    }
    return counter.total();
}

}  // namespace vorn_profile

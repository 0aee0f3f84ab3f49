// Coverage: lengths of unions of half-open cycle intervals.
#pragma once

#include <cstdint>
#include <vector>

#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// Length of the union of intervals fed in ascending (start, end) order.
class UnionCounter {
public:
    void add(std::uint64_t start, std::uint64_t end) {
        if (!open_) {
            open_ = true;
            start_ = start;
            end_ = end;
        } else if (start <= end_) {
            end_ = end > end_ ? end : end_;
        } else {
            total_ += end_ - start_;
            start_ = start;
            end_ = end;
        }
    }
    std::uint64_t total() const { return open_ ? total_ + (end_ - start_) : total_; }

private:
    bool open_ = false;
    std::uint64_t start_ = 0;
    std::uint64_t end_ = 0;
    std::uint64_t total_ = 0;
};

/// The union of intervals added in any order, kept as a sorted list of disjoint runs that do
/// not touch. Intervals that arrive near the runs already there (the usual case: steps of many
/// tiles over the same stretch of their time lines) cost a search and a merge, and memory stays
/// with the union, not with the number of intervals. When the runs become many, it stops
/// merging and only collects, sorting once at the end, so no order of input costs more than a
/// sort.
class CoverageSet {
public:
    void add(std::uint64_t start, std::uint64_t end) {
        // The common case inline: one run so far, and the interval touches or overlaps it.
        if (has_single_ && start <= single_.end && single_.start <= end) {
            single_.start = start < single_.start ? start : single_.start;
            single_.end = end > single_.end ? end : single_.end;
            return;
        }
        add_slow(start, end);
    }

    /// The union's one run, when it is a single run held without the heap; else null.
    const Interval* single_run() const { return has_single_ ? &single_ : nullptr; }

    /// The union's length; the set stays usable.
    std::uint64_t length();

    /// Appends the union to `out` as ascending runs, none empty and no two touching; the set
    /// stays usable.
    void append_union_to(std::vector<Interval>& out);

private:
    static constexpr std::size_t kMergeLimit = 64;

    void add_slow(std::uint64_t start, std::uint64_t end);

    Interval single_;  // the only run while `runs_` is empty and `has_single_` is set
    bool has_single_ = false;
    bool collecting_ = false;
    std::vector<Interval> runs_;
};

}  // namespace vorn_profile::detail

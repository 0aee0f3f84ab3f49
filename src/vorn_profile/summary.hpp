// Building blocks of a group summary, shared by `group_summary` and the query pipeline.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

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

/// What a summary needs of a finished group, however it was accumulated.
struct GroupTotals {
    std::uint64_t tile_count = 0;
    std::uint64_t phase_count = 0;
    std::uint64_t phase_cycles = 0;
    std::uint64_t work_cycles = 0;
    std::uint64_t first_offset = 0;
    std::uint64_t last_offset = 0;
};

/// Fills a summary. `durations` is reordered: the percentiles are found by selection, which
/// gives the same values as reading them from the fully sorted list.
GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          std::span<std::uint32_t> durations, const GroupTotals& totals,
                          std::uint64_t clock_hz);

}  // namespace vorn_profile::detail

// Building blocks of a group summary, shared by `group_summary` and the query pipeline.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// What a summary needs of a finished group, however it was accumulated.
struct GroupTotals {
    std::uint64_t tile_count = 0;
    std::uint64_t phase_count = 0;
    std::uint64_t phase_cycles = 0;
    std::uint64_t work_cycles = 0;
    std::uint64_t first_offset = 0;
    std::uint64_t last_offset = 0;
};

/// Fills a summary. `durations` may be reordered: the percentiles are found by selection,
/// which gives the same values as reading them from the fully sorted list.
GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          std::span<std::uint32_t> durations, const GroupTotals& totals,
                          std::uint64_t clock_hz);

}  // namespace vorn_profile::detail

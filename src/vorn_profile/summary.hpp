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

/// What a summary needs of a group's durations.
struct DurationFigures {
    std::uint64_t count = 0;
    std::uint32_t p50 = 0;
    std::uint32_t p95 = 0;
    std::uint32_t maximum = 0;
};

/// The index of a percentile in an ascending list of `count` (at least 1) values.
inline std::uint64_t percentile_index(std::uint64_t count, std::uint64_t percentage) {
    return ((count - 1) * percentage) / 100;
}

/// Fills a summary from figures found by the caller.
GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          const DurationFigures& durations, const GroupTotals& totals,
                          std::uint64_t clock_hz);

/// Fills a summary. `durations` may be reordered: the percentiles are found by selection,
/// which gives the same values as reading them from the fully sorted list.
GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          std::span<std::uint32_t> durations, const GroupTotals& totals,
                          std::uint64_t clock_hz);

}  // namespace vorn_profile::detail

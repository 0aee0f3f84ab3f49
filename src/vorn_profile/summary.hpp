// Building blocks of a group summary, shared by `group_summary` and the query pipeline.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

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

__extension__ typedef unsigned __int128 Wide;  // exact sums of squared durations

/// What a summary needs of a group's durations.
struct DurationFigures {
    std::uint64_t count = 0;
    std::uint32_t p50 = 0;
    std::uint32_t p95 = 0;
    std::uint32_t maximum = 0;
    std::uint32_t minimum = 0;
    Wide sum_of_squares = 0;
    std::vector<std::uint32_t> percentiles;  ///< the query's further percentiles, in order
};

/// The index of a percentile in an ascending list of `count` (at least 1) values.
inline std::uint64_t percentile_index(std::uint64_t count, std::uint64_t percentage) {
    return ((count - 1) * percentage) / 100;
}

/// The same for a percentile in thousandths of a percent, exact: (count - 1) * P stays far
/// below 2^128.
inline std::uint64_t thousandths_index(std::uint64_t count, std::uint32_t thousandths) {
    return static_cast<std::uint64_t>((Wide{count - 1} * thousandths) / 100000);
}

/// The population standard deviation of `count` durations summing to `sum`, their squares to
/// `sum_of_squares`: sqrt(double(n·Σd² − (Σd)²) / double(n²)), each 128-bit integer rounded
/// to a double once, so that it never depends on the order the durations were met in.
double standard_deviation(std::uint64_t count, std::uint64_t sum, Wide sum_of_squares);

/// `part` over `whole` in doubles; 0.0 when `whole` is 0.
double share_of(std::uint64_t part, std::uint64_t whole);

/// The figures of a group's durations from its (value, count) entries, ascending by value
/// (a value may span several entries).
template <class Counted>
DurationFigures duration_figures(std::span<const Counted> runs,
                                 std::span<const std::uint32_t> percentiles) {
    DurationFigures figures;
    for (const Counted& run : runs) {
        figures.count += run.count;
        figures.sum_of_squares += Wide{std::uint64_t{run.value} * run.value} * run.count;
    }
    figures.percentiles.assign(percentiles.size(), 0);
    if (runs.empty()) {
        return figures;
    }
    figures.maximum = runs.back().value;
    figures.minimum = runs.front().value;
    // The value at each index sought, in one pass: the indexes in ascending order.
    std::vector<std::pair<std::uint64_t, std::uint32_t*>> sought;
    sought.reserve(percentiles.size() + 2);
    sought.emplace_back(percentile_index(figures.count, 50), &figures.p50);
    sought.emplace_back(percentile_index(figures.count, 95), &figures.p95);
    for (std::size_t p = 0; p < percentiles.size(); ++p) {
        sought.emplace_back(thousandths_index(figures.count, percentiles[p]),
                            &figures.percentiles[p]);
    }
    std::sort(sought.begin(), sought.end());
    std::size_t next = 0;
    std::uint64_t passed = 0;  // durations in the entries passed
    for (const Counted& run : runs) {
        passed += run.count;
        for (; next < sought.size() && sought[next].first < passed; ++next) {
            *sought[next].second = run.value;
        }
        if (next == sought.size()) {
            break;
        }
    }
    return figures;
}

/// The same from the durations themselves, which may be reordered: the percentiles are found
/// by selection, which gives the same values as reading them from the fully sorted list.
DurationFigures duration_figures(std::span<std::uint32_t> durations,
                                 std::span<const std::uint32_t> percentiles);

/// Fills a summary from figures found by the caller.
GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          const DurationFigures& durations, const GroupTotals& totals,
                          std::uint64_t clock_hz);

/// Fills a summary from the durations themselves (see `duration_figures`).
GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          std::span<std::uint32_t> durations, const GroupTotals& totals,
                          std::uint64_t clock_hz, std::span<const std::uint32_t> percentiles = {});

}  // namespace vorn_profile::detail

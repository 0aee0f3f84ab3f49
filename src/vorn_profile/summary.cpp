// Group statistics and the order of groups.
#include "summary.hpp"

#include <algorithm>
#include <vector>

namespace vorn_profile {
namespace detail {
namespace {

std::uint64_t percentile_index(std::uint64_t count, std::uint64_t percentage) {
    return ((count - 1) * percentage) / 100;
}

double ratio(std::uint64_t numerator, std::uint64_t denominator) {
    if (denominator == 0) {
        return 0.0;
    }
    return static_cast<double>(numerator) / static_cast<double>(denominator);
}

}  // namespace

GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          std::span<std::uint32_t> durations, const GroupTotals& totals,
                          std::uint64_t clock_hz) {
    GroupSummary summary;
    summary.name = std::move(name);
    summary.dimensions = std::move(dimensions);
    summary.sample_count = durations.size();
    summary.tile_count = totals.tile_count;
    summary.phase_count = totals.phase_count;
    summary.phase_cycles = totals.phase_cycles;
    summary.phase_ms = cycles_to_ms(totals.phase_cycles, clock_hz);
    summary.work_cycles = totals.work_cycles;
    summary.average_active_tiles = ratio(totals.work_cycles, totals.phase_cycles);
    summary.mean_cycles = ratio(totals.work_cycles, durations.size());
    summary.first_offset = totals.first_offset;
    summary.last_offset = totals.last_offset;
    if (!durations.empty()) {
        // Selecting the 95th-percentile element first leaves everything below it in front, so
        // the 50th is selected within that prefix and the maximum within the rest.
        const auto p95 =
            durations.begin() + static_cast<std::ptrdiff_t>(percentile_index(durations.size(), 95));
        const auto p50 =
            durations.begin() + static_cast<std::ptrdiff_t>(percentile_index(durations.size(), 50));
        std::nth_element(durations.begin(), p95, durations.end());
        std::nth_element(durations.begin(), p50, p95);
        summary.p95_cycles = *p95;
        summary.p50_cycles = *p50;
        summary.maximum_cycles = *std::max_element(p95, durations.end());
    }
    return summary;
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

std::uint32_t percentile(std::span<const std::uint32_t> sorted, std::uint64_t percentage) {
    if (sorted.empty()) {
        return 0;
    }
    return sorted[detail::percentile_index(sorted.size(), percentage)];
}

double cycles_to_ms(std::uint64_t cycles, std::uint64_t clock_hz) {
    if (clock_hz == 0) {
        return 0.0;
    }
    return (static_cast<double>(cycles) * 1000.0) / static_cast<double>(clock_hz);
}

GroupSummary group_summary(std::string name, Accumulator accumulator, std::uint64_t clock_hz) {
    detail::GroupTotals totals;
    totals.tile_count = accumulator.tiles.size();
    totals.phase_count = accumulator.phases.size();
    for (const auto& [occurrence, intervals] : accumulator.phases) {
        totals.phase_cycles += union_length(intervals);
    }
    totals.work_cycles = accumulator.work_cycles;
    totals.first_offset = accumulator.first_offset;
    totals.last_offset = accumulator.last_offset;
    return detail::make_summary(std::move(name), std::move(accumulator.dimensions),
                                accumulator.durations, totals, clock_hz);
}

std::strong_ordering compare_groups(SortBy sort_by, const GroupSummary& left,
                                    const GroupSummary& right) {
    std::strong_ordering primary = std::strong_ordering::equal;
    switch (sort_by) {
        case SortBy::PhaseCycles:
            primary = right.phase_cycles <=> left.phase_cycles;
            break;
        case SortBy::WorkCycles:
            primary = right.work_cycles <=> left.work_cycles;
            break;
        case SortBy::MaximumCycles:
            primary = right.maximum_cycles <=> left.maximum_cycles;
            break;
        case SortBy::Samples:
            primary = right.sample_count <=> left.sample_count;
            break;
        case SortBy::Name:
            primary = left.name.compare(right.name) <=> 0;
            break;
    }
    if (primary != 0) {
        return primary;
    }
    if (const auto by_start = left.first_offset <=> right.first_offset; by_start != 0) {
        return by_start;
    }
    return left.name.compare(right.name) <=> 0;
}

}  // namespace vorn_profile

// Group statistics and the order of groups.
#include "summary.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <vector>

namespace vorn_profile {
namespace detail {
namespace {

double ratio(std::uint64_t numerator, std::uint64_t denominator) {
    if (denominator == 0) {
        return 0.0;
    }
    return static_cast<double>(numerator) / static_cast<double>(denominator);
}

constexpr std::size_t kBucketBits = 11;
/// Lists up to this long are partitioned around the rank selected: the values before it are
/// at most, those after it at least the value selected.
constexpr std::size_t kPartitioned = std::size_t{4} << kBucketBits;

/// The value at `rank` of `values` in ascending order, all of them at most `maximum`. Small
/// lists are partitioned in place; large ones are bucketed by their high bits first, so that
/// only the values of one bucket need partitioning.

std::uint32_t select(std::span<std::uint32_t> values, std::uint64_t rank, std::uint32_t maximum) {
    if (values.size() <= kPartitioned) {
        const auto at = values.begin() + static_cast<std::ptrdiff_t>(rank);
        std::nth_element(values.begin(), at, values.end());
        return *at;
    }
    const int width = std::bit_width(maximum);
    const int shift =
        width > static_cast<int>(kBucketBits) ? width - static_cast<int>(kBucketBits) : 0;
    std::array<std::uint64_t, std::size_t{1} << kBucketBits> counts{};
    for (const std::uint32_t value : values) {
        ++counts[value >> shift];
    }
    std::size_t bucket = 0;
    while (rank >= counts[bucket]) {
        rank -= counts[bucket];
        ++bucket;
    }
    std::vector<std::uint32_t> members;
    members.reserve(counts[bucket]);
    for (const std::uint32_t value : values) {
        if ((value >> shift) == bucket) {
            members.push_back(value);
        }
    }
    const auto at = members.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(members.begin(), at, members.end());
    return *at;
}

}  // namespace

double standard_deviation(std::uint64_t count, std::uint64_t sum, Wide sum_of_squares) {
    if (count == 0) {
        return 0.0;
    }
    const Wide n = count;
    const Wide spread = n * sum_of_squares - Wide{sum} * sum;
    return std::sqrt(static_cast<double>(spread) / static_cast<double>(n * n));
}

double share_of(std::uint64_t part, std::uint64_t whole) { return ratio(part, whole); }

GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          const DurationFigures& durations, const GroupTotals& totals,
                          std::uint64_t clock_hz) {
    GroupSummary summary;
    summary.name = std::move(name);
    summary.dimensions = std::move(dimensions);
    summary.sample_count = durations.count;
    summary.tile_count = totals.tile_count;
    summary.phase_count = totals.phase_count;
    summary.phase_cycles = totals.phase_cycles;
    summary.phase_ms = cycles_to_ms(totals.phase_cycles, clock_hz);
    summary.work_cycles = totals.work_cycles;
    summary.average_active_tiles = ratio(totals.work_cycles, totals.phase_cycles);
    summary.mean_cycles = ratio(totals.work_cycles, durations.count);
    summary.first_offset = totals.first_offset;
    summary.last_offset = totals.last_offset;
    summary.maximum_cycles = durations.maximum;
    summary.p50_cycles = durations.p50;
    summary.p95_cycles = durations.p95;
    summary.minimum_cycles = durations.minimum;
    summary.stddev_cycles =
        standard_deviation(durations.count, totals.work_cycles, durations.sum_of_squares);
    summary.percentile_cycles = durations.percentiles;
    return summary;
}

DurationFigures duration_figures(std::span<std::uint32_t> durations,
                                 std::span<const std::uint32_t> percentiles) {
    DurationFigures figures;
    figures.count = durations.size();
    figures.percentiles.assign(percentiles.size(), 0);
    if (durations.empty()) {
        return figures;
    }
    std::uint32_t maximum = 0;
    std::uint32_t minimum = UINT32_MAX;
    Wide squares = 0;
    for (const std::uint32_t value : durations) {
        maximum = std::max(maximum, value);
        minimum = std::min(minimum, value);
        squares += std::uint64_t{value} * value;
    }
    figures.maximum = maximum;
    figures.minimum = minimum;
    figures.sum_of_squares = squares;
    // The ranks sought in ascending order: once a partition has put the value at one rank in
    // place, every value after it is at least as large, so the next is selected among those.
    std::vector<std::pair<std::uint64_t, std::uint32_t*>> sought;
    sought.reserve(percentiles.size() + 2);
    sought.emplace_back(percentile_index(durations.size(), 50), &figures.p50);
    sought.emplace_back(percentile_index(durations.size(), 95), &figures.p95);
    for (std::size_t p = 0; p < percentiles.size(); ++p) {
        sought.emplace_back(thousandths_index(durations.size(), percentiles[p]),
                            &figures.percentiles[p]);
    }
    std::sort(sought.begin(), sought.end());
    std::uint64_t from = 0;  // the values before it are in place
    std::uint32_t found = 0;
    for (const auto& [rank, value] : sought) {
        if (rank >= from) {
            const std::span<std::uint32_t> rest = durations.subspan(from);
            found = select(rest, rank - from, maximum);
            if (rest.size() <= kPartitioned) {
                from = rank + 1;
            }
        }
        *value = found;
    }
    return figures;
}

GroupSummary make_summary(std::string name, std::map<std::string, std::string> dimensions,
                          std::span<std::uint32_t> durations, const GroupTotals& totals,
                          std::uint64_t clock_hz, std::span<const std::uint32_t> percentiles) {
    return make_summary(std::move(name), std::move(dimensions),
                        duration_figures(durations, percentiles), totals, clock_hz);
}

}  // namespace detail

std::uint32_t percentile(std::span<const std::uint32_t> sorted, std::uint64_t percentage) {
    if (sorted.empty()) {
        return 0;
    }
    return sorted[detail::percentile_index(sorted.size(), percentage)];
}

std::string percentile_name(std::uint32_t thousandths) {
    std::string name = "p" + std::to_string(thousandths / 1000);
    std::uint32_t fraction = thousandths % 1000;
    if (fraction != 0) {
        std::string digits = std::to_string(1000 + fraction).substr(1);
        digits.erase(digits.find_last_not_of('0') + 1);
        name += "." + digits;
    }
    return name;
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

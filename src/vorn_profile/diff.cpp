// Two reports of one query compared group by group.
#include <algorithm>
#include <map>
#include <string_view>
#include <utility>

#include "vorn_profile/analyses.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_profile {
namespace {

/// new - base in signed 64 bits; the unsigned difference wraps, and its conversion keeps the
/// sign for every pair of counts inside the data model.
std::int64_t signed_delta(std::uint64_t base, std::uint64_t next) {
    return static_cast<std::int64_t>(next - base);
}

std::uint64_t absolute_delta(std::uint64_t base, std::uint64_t next) {
    return next >= base ? next - base : base - next;
}

DiffFigures figures_of(const GroupSummary* group) {
    if (group == nullptr) {
        return {};
    }
    return {group->sample_count,         group->tile_count,  group->phase_count,
            group->phase_cycles,         group->phase_ms,    group->work_cycles,
            group->average_active_tiles, group->mean_cycles, group->p95_cycles,
            group->maximum_cycles};
}

DiffDelta delta_of(const DiffFigures& base, const DiffFigures& next) {
    return {signed_delta(base.sample_count, next.sample_count),
            signed_delta(base.tile_count, next.tile_count),
            signed_delta(base.phase_count, next.phase_count),
            signed_delta(base.phase_cycles, next.phase_cycles),
            next.phase_ms - base.phase_ms,
            signed_delta(base.work_cycles, next.work_cycles),
            next.average_active_tiles - base.average_active_tiles,
            next.mean_cycles - base.mean_cycles,
            signed_delta(base.p95_cycles, next.p95_cycles),
            signed_delta(base.maximum_cycles, next.maximum_cycles)};
}

DiffTotals totals_of(const QueryReport& report) {
    return {report.sample_count, report.matched_sample_count, report.profile_span_cycles,
            report.profile_span_ms};
}

/// The unsigned size of a row's change in the field `sort_by` names.
std::uint64_t change_of(SortBy sort_by, const DiffRow& row) {
    switch (sort_by) {
        case SortBy::PhaseCycles:
            return absolute_delta(row.base.phase_cycles, row.next.phase_cycles);
        case SortBy::WorkCycles:
            return absolute_delta(row.base.work_cycles, row.next.work_cycles);
        case SortBy::MaximumCycles:
            return absolute_delta(row.base.maximum_cycles, row.next.maximum_cycles);
        case SortBy::Samples:
            return absolute_delta(row.base.sample_count, row.next.sample_count);
        case SortBy::Name:
            break;
    }
    return 0;
}

}  // namespace

DiffReport diff(const QueryReport& base, const QueryReport& next, SortBy sort_by,
                std::optional<std::uint64_t> limit) {
    DiffReport result;
    result.base = totals_of(base);
    result.next = totals_of(next);
    result.delta = {signed_delta(base.sample_count, next.sample_count),
                    signed_delta(base.matched_sample_count, next.matched_sample_count),
                    signed_delta(base.profile_span_cycles, next.profile_span_cycles),
                    next.profile_span_ms - base.profile_span_ms};

    // Group names are unique within a report; an ordered map makes the pairing independent of
    // either report's order.
    std::map<std::string_view, std::pair<const GroupSummary*, const GroupSummary*>> names;
    for (const GroupSummary& group : base.groups) {
        names[group.name].first = &group;
    }
    for (const GroupSummary& group : next.groups) {
        names[group.name].second = &group;
    }
    result.rows.reserve(names.size());
    for (const auto& [name, sides] : names) {
        DiffRow& row = result.rows.emplace_back();
        row.name = name;
        row.status = sides.first == nullptr    ? DiffStatus::Added
                     : sides.second == nullptr ? DiffStatus::Removed
                                               : DiffStatus::Both;
        row.base = figures_of(sides.first);
        row.next = figures_of(sides.second);
        row.delta = delta_of(row.base, row.next);
        if (row.base.phase_cycles > 0) {
            row.phase_cycles_ratio = static_cast<double>(row.next.phase_cycles) /
                                     static_cast<double>(row.base.phase_cycles);
        }
    }
    // The rows are in name order already; a stable sort by the change keeps it among equals.
    std::stable_sort(result.rows.begin(), result.rows.end(),
                     [&](const DiffRow& left, const DiffRow& right) {
                         return change_of(sort_by, left) > change_of(sort_by, right);
                     });
    if (limit && *limit < result.rows.size()) {
        result.rows.resize(static_cast<std::size_t>(*limit));
    }
    return result;
}

namespace {

/// The query that a diff runs on each profile: every group, no listing.
Query every_group_of(const Query& query) {
    Query every_group = query;
    every_group.limit.reset();
    every_group.sample_limit = 0;
    return every_group;
}

template <class Profile>
DiffReport diff_profiles(const Profile& base, const Profile& next, const Query& query,
                         const TimeWindow& window) {
    const Query every_group = every_group_of(query);
    return diff(query_window(base, every_group, window).report,
                query_window(next, every_group, window).report, query.sort_by, query.limit);
}

}  // namespace

DiffReport diff(const vorn_package::ProfileReport& base, const vorn_package::ProfileReport& next,
                const Query& query, const TimeWindow& window) {
    return diff_profiles(base, next, query, window);
}

DiffReport diff(const vorn_package::ProfileColumns& base, const vorn_package::ProfileColumns& next,
                const Query& query, const TimeWindow& window) {
    return diff_profiles(base, next, query, window);
}

DiffReport diff(const vorn_package::ProfileColumns& base, const vorn_package::ProfileColumns& next,
                const Query& query, const TimeWindow& window, std::size_t threads) {
    const Query every_group = every_group_of(query);
    return diff(query_window(base, every_group, window, threads).report,
                query_window(next, every_group, window, threads).report, query.sort_by,
                query.limit);
}

}  // namespace vorn_profile

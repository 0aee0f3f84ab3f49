// The query pipeline: one walk over the profile, filtering, grouping and accumulating, then the
// ordered summaries and the listing. The same pipeline serves profiles held as records and as
// columns; only the source of a sample's fields differs.
#include <algorithm>
#include <utility>
#include <vector>

#include "column_source.hpp"
#include "group_table.hpp"
#include "grouping.hpp"
#include "listing.hpp"
#include "record_source.hpp"
#include "summary.hpp"
#include "walk.hpp"

namespace vorn_profile {
namespace {

using detail::GroupState;
using detail::GroupTable;

template <class Source>
QueryReport run_query(Source& source, GroupTable& groups, const Query& query,
                      std::uint64_t clock_hz) {
    QueryReport result;
    result.clock_hz = clock_hz;
    result.tile_count = source.tile_count();
    result.at_offset = query.at_offset;

    detail::SampleListing<typename Source::Ref> listing(query.sample_limit);
    const detail::WalkTotals totals = detail::walk_samples(
        source, nullptr, [&](std::uint64_t i, std::uint64_t offset, std::uint32_t sample_duration) {
            result.matched_sample_count += 1;
            const std::uint32_t tile = source.physical_tile();
            const std::uint32_t group = source.group(groups, i, offset);
            groups.states()[group].add(tile, source.occurrence(i), offset, sample_duration);
            if (query.sample_limit > 0) {
                listing.offer(tile, offset, sample_duration, source.ref(i));
            }
        });
    result.sample_count = totals.sample_count;
    result.profile_span_cycles = totals.profile_span_cycles;
    result.profile_span_ms = cycles_to_ms(result.profile_span_cycles, clock_hz);

    const std::string_view metadata_key = detail::metadata_key_of(query);
    result.groups.reserve(groups.states().size());
    for (GroupState& state : groups.states()) {
        const detail::GroupTotals group_totals = state.totals();
        result.groups.push_back(detail::make_summary(
            detail::group_name(query.group_by, state.identity),
            detail::group_dimensions(query.group_by, metadata_key, state.identity), state.durations,
            group_totals, clock_hz));
        // Release the group's working lists as soon as its summary is built.
        state = GroupState{};
    }
    std::stable_sort(result.groups.begin(), result.groups.end(),
                     [&](const GroupSummary& left, const GroupSummary& right) {
                         return compare_groups(query.sort_by, left, right) < 0;
                     });
    if (query.limit && *query.limit < result.groups.size()) {
        result.groups.resize(static_cast<std::size_t>(*query.limit));
    }
    result.samples = listing.records([&](const auto& ranked) {
        return source.record(ranked.tile, ranked.offset, ranked.duration, ranked.sample);
    });
    return result;
}

}  // namespace

std::uint32_t duration(const vorn_package::CycleSample& sample) {
    // Unsigned subtraction wraps modulo 2^32: a step during which the counter wrapped still
    // gets its true length.
    return sample.end_cycle - sample.start_cycle;
}

QueryReport query(const vorn_package::ProfileReport& report, const Query& query) {
    GroupTable groups;
    detail::RecordSource source(report, query);
    return run_query(source, groups, query, report.clock_hz);
}

QueryReport query(const vorn_package::ProfileColumns& columns, const Query& query) {
    GroupTable groups;
    detail::ColumnSource source(columns, query, groups);
    return run_query(source, groups, query, columns.clock_hz);
}

}  // namespace vorn_profile

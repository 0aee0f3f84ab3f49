// The query pipeline, generic over the source of samples: the walk feeds the groups and the
// listing, then the summaries are built, ordered and cut.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "group_table.hpp"
#include "grouping.hpp"
#include "listing.hpp"
#include "summary.hpp"
#include "vorn_profile/query.hpp"
#include "walk.hpp"

namespace vorn_profile::detail {

/// One query over any source of samples; with a window, every step counts only with its part
/// inside the window (see `clip_to_window`).
template <class Source>
QueryReport run_query(Source& source, GroupTable& groups, const Query& query,
                      std::uint64_t clock_hz, const Window* window = nullptr) {
    QueryReport result;
    result.clock_hz = clock_hz;
    result.tile_count = source.tile_count();
    result.at_offset = query.at_offset;

    SampleListing<typename Source::Ref> listing(query.sample_limit);
    const WalkTotals totals = walk_samples(
        source, window, [&](std::uint64_t i, std::uint64_t offset, std::uint32_t sample_duration) {
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

    const std::string_view metadata_key = metadata_key_of(query);
    result.groups.reserve(groups.states().size());
    for (GroupState& state : groups.states()) {
        const GroupTotals group_totals = state.totals();
        result.groups.push_back(
            make_summary(group_name(query.group_by, state.identity),
                         group_dimensions(query.group_by, metadata_key, state.identity),
                         state.durations, group_totals, clock_hz));
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

}  // namespace vorn_profile::detail

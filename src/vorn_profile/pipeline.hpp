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

/// How many samples ahead the walk asks for a group's index bucket.
constexpr std::uint64_t kGroupLookahead = 8;

/// Whether a walk may close a record's groups when it leaves the record: the tile is a key of
/// the grouping, over tiles that no two records share, so that a group is met in one record
/// only.
inline bool groups_close_in_turn(const Query& query, const TileNumbers& tiles) {
    return tiles.unique && (query.group_by == GroupBy::Tile ||
                            std::find(query.then_group_by.begin(), query.then_group_by.end(),
                                      GroupBy::Tile) != query.then_group_by.end());
}

/// Whether a walk may go in rounds (see `walk_samples_in_rounds`): its order then matters to
/// nothing it counts. The listing breaks ties in walk order, closing groups needs each record
/// walked whole, and a tile met again after others is told apart from a new one only when no
/// two records share a tile. The group table must then count tiles as runs, which costs memory
/// a group, so rounds are walked only when some tile is longer than one.
inline bool walks_in_rounds(const Query& query, const TileNumbers& tiles, bool closing) {
    return query.sample_limit == 0 && !closing && tiles.unique;
}

/// The most samples a tile of `span` holds.
template <class Source>
std::uint64_t longest_tile(Source& source, TileSpan span) {
    std::uint64_t longest = 0;
    for (std::uint64_t t = span.first; t < span.last; ++t) {
        longest = std::max(longest, source.enter_tile(t));
    }
    return longest;
}

/// What a walk into groups counted.
struct GroupWalk {
    WalkTotals totals;
    std::uint64_t matched_sample_count = 0;
};

/// Walks the tiles of `span` into `groups` and `listing`; with a window, every step counts
/// only with its part inside the window (see `clip_to_window`). `tiles` describes the physical
/// tile numbers of the whole profile.
template <class Source>
GroupWalk walk_groups(Source& source, GroupTable& groups,
                      SampleListing<typename Source::Ref>& listing, const Query& query,
                      const TileNumbers& tiles, TileSpan span, const Window* window) {
    GroupWalk walk;
    // Grouped by tile, with the usual small tile numbers: a tile's group is found by its
    // number, without hashing.
    const bool tiles_numbered =
        query.group_by == GroupBy::Tile && !several_keys(query) && tiles.dense;
    if (tiles_numbered) {
        groups.number_groups(std::size_t{tiles.largest} + 1);
    }
    std::uint64_t open_tile = UINT64_MAX;  // of the groups not yet closed
    const auto on_match = [&](std::uint64_t i, std::uint64_t offset,
                              std::uint32_t sample_duration) {
        walk.matched_sample_count += 1;
        const std::uint32_t tile = source.physical_tile();
        if (groups.closes_groups() && tile != open_tile) {
            groups.close_open_groups();
            open_tile = tile;
        }
        if (!tiles_numbered && groups.index_is_large()) {
            // Many groups: the bucket of a sample a few ahead is fetched while this one is
            // counted, instead of each look-up waiting on memory.
            source.prefetch_group(groups, i + kGroupLookahead);
        }
        const std::uint32_t group = tiles_numbered
                                        ? groups.find_or_add_numbered(tile, {{}, tile}, offset)
                                        : source.group(groups, i, offset);
        groups.add(group, tile, source.occurrence(i), offset, sample_duration);
        if (query.sample_limit > 0) {
            listing.offer(tile, offset, sample_duration, source.ref(i));
        }
    };
    if (walks_in_rounds(query, tiles, groups.closes_groups()) &&
        longest_tile(source, span) > kRoundSamples) {
        groups.count_tiles_as_runs();
        walk.totals = walk_samples_in_rounds(source, span, window, on_match);
    } else {
        walk.totals = walk_samples(source, span, window, on_match);
    }
    return walk;
}

/// A report without its listing's records, and the listing's candidates in listing order.
template <class Source>
struct ListedAnswer {
    QueryReport report;
    std::vector<typename SampleListing<typename Source::Ref>::Ranked> listed;
};

template <class Source>
ListedAnswer<Source> answer_query(Source& source, GroupTable& groups, const Query& query,
                                  std::uint64_t clock_hz, const Window* window = nullptr) {
    ListedAnswer<Source> answer;
    QueryReport& result = answer.report;
    result.clock_hz = clock_hz;
    result.tile_count = source.tile_count();
    result.at_offset = query.at_offset;
    result.percentiles = query.percentiles;

    // Address space for every sample; only what the matches use is ever touched.
    groups.reserve(source.sample_count());
    const TileNumbers tiles = source.tile_numbers();
    groups.set_unique_tiles(tiles.unique);
    groups.close_groups_record_by_record(groups_close_in_turn(query, tiles));
    SampleListing<typename Source::Ref> listing(query.sample_limit);
    const GroupWalk walk = walk_groups(source, groups, listing, query, tiles,
                                       TileSpan{0, source.tile_count()}, window);
    result.matched_sample_count = walk.matched_sample_count;
    result.sample_count = walk.totals.sample_count;
    result.profile_span_cycles = walk.totals.profile_span_cycles;
    result.profile_span_ms = cycles_to_ms(result.profile_span_cycles, clock_hz);

    result.groups = groups.summaries(query, source.naming(), clock_hz);
    answer.listed = listing.sorted();
    return answer;
}

/// The whole report, the listing's records made from its candidates.
template <class Source>
QueryReport run_query(Source& source, GroupTable& groups, const Query& query,
                      std::uint64_t clock_hz, const Window* window = nullptr) {
    ListedAnswer<Source> answer = answer_query(source, groups, query, clock_hz, window);
    std::vector<SampleRecord>& records = answer.report.samples;
    records.reserve(answer.listed.size());
    for (const auto& ranked : answer.listed) {
        records.push_back(
            source.record(ranked.tile, ranked.offset, ranked.duration, ranked.sample));
    }
    return std::move(answer.report);
}

/// The report with the listing as references, from a source whose `Ref` is a sample's number.
template <class Source>
ListedReport listed_report(ListedAnswer<Source> answer) {
    ListedReport listed{std::move(answer.report), {}};
    listed.listed.reserve(answer.listed.size());
    for (const auto& ranked : answer.listed) {
        listed.listed.push_back({ranked.tile, ranked.duration, ranked.offset, ranked.sample});
    }
    return listed;
}

}  // namespace vorn_profile::detail

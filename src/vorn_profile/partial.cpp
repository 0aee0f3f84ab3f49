// Partial reports: the walk of a range of tiles kept as exact, mergeable state, their merge, and
// the report finished from them.
#include "vorn_profile/partial.hpp"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "column_source.hpp"
#include "group_order.hpp"
#include "group_table.hpp"
#include "listing.hpp"
#include "partial_groups.hpp"
#include "partial_state.hpp"
#include "pipeline.hpp"
#include "summary.hpp"
#include "tile_ranges.hpp"
#include "window.hpp"

namespace vorn_profile {

using detail::PartialAccess;
using detail::RankedSample;

QueryPartial::QueryPartial(std::unique_ptr<State> state) : state_(std::move(state)) {}
QueryPartial::QueryPartial(QueryPartial&&) noexcept = default;
QueryPartial& QueryPartial::operator=(QueryPartial&&) noexcept = default;
QueryPartial::~QueryPartial() = default;

namespace {

/// Whether two sets of columns are the same (copies share their storage and arrays).
bool same_columns(const vorn_package::ProfileColumns& a, const vorn_package::ProfileColumns& b) {
    return a.storage == b.storage && a.start_cycle.data() == b.start_cycle.data() &&
           a.text_bytes.data() == b.text_bytes.data();
}

/// Gives the partial records of its own for its candidates, in place of references into its
/// columns.
void own_records(QueryPartial::State& state) {
    if (!state.columns) {
        return;
    }
    state.records.clear();
    state.records.reserve(state.listing.size());
    for (RankedSample& ranked : state.listing) {
        state.records.push_back(sample_record(
            *state.columns, {ranked.tile, ranked.duration, ranked.offset, ranked.sample}));
        ranked.sample = state.records.size() - 1;
    }
    state.columns.reset();
}

/// The listing of both into `a`: `b`'s candidates come after all of `a`'s in walk order, so on
/// a tie of every key `a`'s stay ahead.
void merge_listings(QueryPartial::State& a, QueryPartial::State& b) {
    const bool shared = a.columns && b.columns && same_columns(*a.columns, *b.columns);
    if (!shared) {
        own_records(a);
        own_records(b);
    }
    const std::uint64_t base = a.records.size();
    for (RankedSample& candidate : b.listing) {
        candidate.sequence += a.offered;
        candidate.sample += shared ? 0 : base;
    }
    std::vector<RankedSample> listing;
    listing.reserve(a.listing.size() + b.listing.size());
    std::merge(a.listing.begin(), a.listing.end(), b.listing.begin(), b.listing.end(),
               std::back_inserter(listing), detail::SampleListing<std::uint64_t>::before);
    if (listing.size() > a.query.sample_limit) {
        listing.resize(static_cast<std::size_t>(a.query.sample_limit));
    }
    if (!shared) {
        // The kept candidates' records, in listing order.
        std::move(b.records.begin(), b.records.end(), std::back_inserter(a.records));
        std::vector<SampleRecord> records;
        records.reserve(listing.size());
        for (RankedSample& candidate : listing) {
            records.push_back(std::move(a.records[candidate.sample]));
            candidate.sample = records.size() - 1;
        }
        a.records = std::move(records);
    }
    a.listing = std::move(listing);
    a.offered += b.offered;
}

}  // namespace

QueryPartial partial(const vorn_package::ProfileColumns& columns, const Query& query,
                     TileRange tiles, const std::optional<TimeWindow>& window) {
    return detail::range_partial(columns, query, tiles, window, false);
}

QueryPartial closed_partial(const vorn_package::ProfileColumns& columns, const Query& query,
                            TileRange tiles, const std::optional<TimeWindow>& window) {
    // Grouped by tile alone, a group's number is its tile, which `merge_conflict` looks for.
    const bool by_tile = query.group_by == GroupBy::Tile && query.then_group_by.empty();
    return detail::range_partial(columns, query, tiles, window, by_tile);
}

QueryPartial detail::range_partial(const vorn_package::ProfileColumns& columns, const Query& query,
                                   TileRange tiles, const std::optional<TimeWindow>& window,
                                   bool closing) {
    auto state = std::make_unique<QueryPartial::State>();
    state->columns = columns;
    state->owners.push_back(columns.storage);
    state->query = query;
    state->window = window;
    state->clock_hz = columns.clock_hz;
    const std::uint64_t last = std::min(tiles.last, columns.tile_count());
    const detail::TileSpan span{std::min(tiles.first, last), last};
    state->tile_count = span.last - span.first;
    if (span.first < span.last) {
        state->pieces.push_back({detail::profile_source(columns), span.first, span.last});
    }

    detail::GroupTable groups;
    detail::ColumnSource source(*state->columns, state->query, groups);
    groups.reserve(columns.tile_sample_begin.empty() ? 0
                                                     : columns.tile_sample_begin[span.last] -
                                                           columns.tile_sample_begin[span.first]);
    // Every tile a group is met on is noted, since the other ranges may hold the same tiles.
    groups.set_unique_tiles(false);
    const detail::TileNumbers tiles_met = source.tile_numbers();
    groups.close_groups_record_by_record(closing &&
                                         detail::groups_close_in_turn(state->query, tiles_met));
    detail::SampleListing<std::uint64_t> listing(query.sample_limit);
    detail::Window storage;
    const detail::GroupWalk walk =
        detail::walk_groups(source, groups, listing, state->query, tiles_met, span,
                            detail::walk_window(window.value_or(TimeWindow{}), storage));
    state->sample_count = walk.totals.sample_count;
    state->profile_span_cycles = walk.totals.profile_span_cycles;
    state->matched_sample_count = walk.matched_sample_count;
    state->groups = groups.take_partial();
    state->offered = listing.offered();
    state->listing = listing.take_ranked();
    return PartialAccess::make(std::move(state));
}

QueryPartial merge(QueryPartial first, QueryPartial second) {
    QueryPartial::State& a = PartialAccess::state(first);
    QueryPartial::State& b = PartialAccess::state(second);
    a.tile_count += b.tile_count;
    a.sample_count += b.sample_count;
    a.matched_sample_count += b.matched_sample_count;
    a.profile_span_cycles = std::max(a.profile_span_cycles, b.profile_span_cycles);
    a.groups = detail::merge_groups(a.groups, b.groups);
    for (std::shared_ptr<const void>& owner : b.owners) {
        if (std::find(a.owners.begin(), a.owners.end(), owner) == a.owners.end()) {
            a.owners.push_back(std::move(owner));
        }
    }
    for (const detail::PartialPiece& piece : b.pieces) {
        if (!a.pieces.empty() && a.pieces.back().source == piece.source &&
            a.pieces.back().last == piece.first) {
            a.pieces.back().last = piece.last;
        } else {
            a.pieces.push_back(piece);
        }
    }
    merge_listings(a, b);
    return first;
}

namespace {

/// Durations below which a report's figures are found on one thread.
constexpr std::size_t kFiguresOnThreads = std::size_t{1} << 16;

/// The figures of group `g`'s durations. Uncounted ones are summed up by selection, with the
/// counted ones when those hardly repeat; otherwise all are counted into runs first.
detail::DurationFigures group_figures(detail::PartialGroups& groups, std::size_t g,
                                      std::span<const std::uint32_t> percentiles,
                                      std::vector<std::uint32_t>& scratch) {
    const std::span<const detail::DurationRun> runs = groups.durations[g];
    const std::uint64_t first = groups.uncounted.begin[g];
    const std::uint64_t last = groups.uncounted.begin[g + 1];
    if (first == last) {
        return detail::duration_figures(runs, percentiles);
    }
    if (runs.empty()) {
        return detail::duration_figures(
            std::span(groups.uncounted.items).subspan(first, last - first), percentiles);
    }
    if (detail::hardly_repeat(runs)) {
        scratch.assign(groups.uncounted.items.begin() + static_cast<std::ptrdiff_t>(first),
                       groups.uncounted.items.begin() + static_cast<std::ptrdiff_t>(last));
        for (const detail::DurationRun& run : runs) {
            scratch.insert(scratch.end(), run.count, run.value);
        }
        return detail::duration_figures(std::span(scratch), percentiles);
    }
    const std::vector<detail::DurationRun> all = detail::counted_runs(groups, g);
    return detail::duration_figures(std::span<const detail::DurationRun>(all), percentiles);
}

}  // namespace

ListedReport detail::finish_listed(QueryPartial partial, std::size_t threads) {
    QueryPartial::State& state = PartialAccess::state(partial);
    const Query& query = state.query;
    const std::uint64_t clock_hz = state.clock_hz;
    ListedReport listed;
    QueryReport& result = listed.report;
    result.clock_hz = clock_hz;
    result.tile_count = state.tile_count;
    result.sample_count = state.sample_count;
    result.matched_sample_count = state.matched_sample_count;
    result.profile_span_cycles = state.profile_span_cycles;
    result.profile_span_ms = cycles_to_ms(state.profile_span_cycles, clock_hz);
    result.at_offset = query.at_offset;
    result.percentiles = query.percentiles;

    detail::PartialGroups& groups = state.groups;
    const std::size_t count = groups.groups.size();
    std::vector<std::uint64_t> phase_cycles(count, 0);
    for (std::size_t g = 0; g < count; ++g) {
        phase_cycles[g] = groups.groups[g].closed_phase_cycles;
        for (std::uint64_t o = groups.occurrences.begin[g]; o < groups.occurrences.begin[g + 1];
             ++o) {
            for (const Interval& run : groups.coverage[o]) {
                phase_cycles[g] += run.end - run.start;
            }
        }
    }
    // With several keys a group's identity names a step of these columns; such partials are only
    // made and merged within one profile, which keeps them (see `merge_conflict`).
    const detail::GroupNaming naming(query, state.columns ? &*state.columns : nullptr);
    std::uint64_t matched_work = 0;
    for (const detail::PartialGroup& group : groups.groups) {
        matched_work += group.work_cycles;
    }
    const std::vector<std::uint32_t> order = detail::order_groups(
        query, naming, count,
        [&](std::uint32_t g) {
            const detail::PartialGroup& group = groups.groups[g];
            return detail::GroupOrderKey{phase_cycles[g], group.work_cycles, group.sample_count,
                                         group.first_offset, group.maximum};
        },
        [&](std::uint32_t g) -> const detail::GroupIdentity& { return groups.groups[g].identity; });

    // The figures of the groups kept, on threads when their durations are many: each thread
    // takes a run of them, and selection reorders only each group's own uncounted durations.
    std::vector<detail::DurationFigures> figures(order.size());
    const std::size_t durations = groups.durations.items.size() + groups.uncounted.items.size();
    const std::size_t parts =
        durations < kFiguresOnThreads ? 1 : std::clamp<std::size_t>(threads, 1, order.size());
    detail::run_ranges(parts, [&](std::size_t part) {
        std::vector<std::uint32_t> scratch;
        for (std::size_t i = order.size() * part / parts; i < order.size() * (part + 1) / parts;
             ++i) {
            figures[i] = group_figures(groups, order[i], query.percentiles, scratch);
        }
    });
    result.groups.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::uint32_t g = order[i];
        const detail::PartialGroup& group = groups.groups[g];
        detail::GroupTotals totals;
        totals.tile_count = groups.tiles[g].size();
        totals.phase_count = groups.occurrences[g].size() + group.closed_phase_count;
        totals.phase_cycles = phase_cycles[g];
        totals.work_cycles = group.work_cycles;
        totals.first_offset = group.first_offset;
        totals.last_offset = group.last_offset;
        GroupSummary& summary = result.groups.emplace_back(
            detail::make_summary(naming.name(group.identity), naming.dimensions(group.identity),
                                 figures[i], totals, clock_hz));
        summary.share = detail::share_of(group.work_cycles, matched_work);
        summary.keys = naming.keys(group.identity);
    }

    if (!state.columns) {
        result.samples = std::move(state.records);
        return listed;
    }
    listed.listed.reserve(state.listing.size());
    for (const RankedSample& ranked : state.listing) {
        listed.listed.push_back({ranked.tile, ranked.duration, ranked.offset, ranked.sample});
    }
    return listed;
}

ListedReport finish_listed(QueryPartial partial) {
    return detail::finish_listed(std::move(partial), 1);
}

QueryReport detail::finish(QueryPartial partial, std::size_t threads) {
    // The records are made from the partial's own copy of the columns, before it goes.
    const std::optional<vorn_package::ProfileColumns> columns =
        PartialAccess::state(partial).columns;
    ListedReport listed = detail::finish_listed(std::move(partial), threads);
    listed.report.samples.reserve(listed.report.samples.size() + listed.listed.size());
    for (const ListedSample& sample : listed.listed) {
        listed.report.samples.push_back(sample_record(*columns, sample));
    }
    return std::move(listed.report);
}

QueryReport finish(QueryPartial partial) { return detail::finish(std::move(partial), 1); }

const Query& partial_query(const QueryPartial& partial) {
    return PartialAccess::state(partial).query;
}

std::optional<TimeWindow> partial_window(const QueryPartial& partial) {
    return PartialAccess::state(partial).window;
}

std::uint64_t partial_clock_hz(const QueryPartial& partial) {
    return PartialAccess::state(partial).clock_hz;
}

QueryPartial with_limit(QueryPartial partial, std::optional<std::uint64_t> limit) {
    PartialAccess::state(partial).query.limit = limit;
    return partial;
}

}  // namespace vorn_profile

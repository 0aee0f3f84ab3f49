// Supersteps: one walk over the matched samples gathers, per phase occurrence, each tile's busy
// cycles, the synchronization cycles and the occurrence's extent; the rows follow from those.
//
// A tile's busy cycles in an occurrence are summed while the walk is on the tile, and folded
// into the occurrence's figures (tiles, total, maximum and straggler, minimum) when the walk
// moves on to another physical tile. Only when a physical tile comes back after another one
// (its samples held in tile records apart) are its contributions kept per occurrence, merged
// by tile and folded after the walk.
#include <algorithm>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "column_source.hpp"
#include "flat_index.hpp"
#include "record_source.hpp"
#include "tile_ranges.hpp"
#include "vorn_profile/analyses.hpp"
#include "window.hpp"

namespace vorn_profile {
namespace {

/// One tile's busy cycles in one occurrence.
struct TileBusy {
    std::uint32_t tile = 0;
    std::uint32_t state = 0;  // the tile's position in the list of tiles
    std::uint64_t busy = 0;
};

struct OccurrenceState {
    std::uint64_t key = 0;  // epoch << 32 | phase
    std::uint64_t start = UINT64_MAX;
    std::uint64_t end = 0;
    std::uint64_t sync = 0;
    std::uint64_t tiles = 0;
    std::uint64_t busy = 0;
    std::uint64_t max_busy = 0;
    std::uint64_t min_busy = 0;
    std::uint32_t straggler = 0;
    std::uint32_t straggler_state = 0;
    std::vector<TileBusy> pending;  // only for physical tiles held in separate tile records

    void fold(const TileBusy& entry) {
        tiles += 1;
        busy += entry.busy;
        if (tiles == 1 || entry.busy > max_busy ||
            (entry.busy == max_busy && entry.tile < straggler)) {
            max_busy = entry.busy;
            straggler = entry.tile;
            straggler_state = entry.state;
        }
        min_busy = tiles == 1 ? entry.busy : std::min(min_busy, entry.busy);
    }

    /// Adds the folded figures of `other`, whose tiles are none of this occurrence's;
    /// `state_of` gives the position in this walk's list of tiles of one in `other`'s.
    template <class StateOf>
    void fold(const OccurrenceState& other, StateOf state_of) {
        if (other.tiles == 0) {
            return;
        }
        if (tiles == 0 || other.max_busy > max_busy ||
            (other.max_busy == max_busy && other.straggler < straggler)) {
            max_busy = other.max_busy;
            straggler = other.straggler;
            straggler_state = state_of(other.straggler_state);
        }
        min_busy = tiles == 0 ? other.min_busy : std::min(min_busy, other.min_busy);
        tiles += other.tiles;
        busy += other.busy;
    }
};

struct TileState {
    std::uint32_t tile = 0;
    std::uint64_t busy = 0;
    std::uint64_t straggler_count = 0;
    std::uint64_t lost = 0;
};

/// Positions of keys in a list the caller keeps, remembering the last key asked for: the walk
/// meets the same occurrence and the same tile many times in a row.
class KeyIndex {
public:
    template <class Add>
    std::uint32_t find_or_add(std::uint64_t key, std::uint32_t next,
                              const std::vector<std::uint64_t>& keys, Add add) {
        if (has_last_ && key == last_key_) {
            return last_;
        }
        const auto [position, added] = index_.find_or_add(
            detail::FlatIndex::mix(key), next, [&](std::uint32_t at) { return keys[at] == key; });
        if (added) {
            add();
        }
        has_last_ = true;
        last_key_ = key;
        last_ = position;
        return position;
    }

private:
    detail::FlatIndex index_;
    bool has_last_ = false;
    std::uint64_t last_key_ = 0;
    std::uint32_t last_ = 0;
};

/// Sorts an occurrence's pending entries by tile and merges the entries of each tile into one.
void merge_by_tile(std::vector<TileBusy>& tiles) {
    std::stable_sort(tiles.begin(), tiles.end(),
                     [](const TileBusy& l, const TileBusy& r) { return l.tile < r.tile; });
    std::size_t kept = 0;
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        if (kept > 0 && tiles[kept - 1].tile == tiles[i].tile) {
            tiles[kept - 1].busy += tiles[i].busy;
        } else {
            tiles[kept++] = tiles[i];
        }
    }
    tiles.resize(kept);
}

/// Whether some physical tile is held in tile records with another tile's records between.
template <class Source>
bool tiles_come_back(Source& source) {
    std::unordered_set<std::uint32_t> seen;
    bool has_previous = false;
    std::uint32_t previous = 0;
    for (std::uint64_t t = 0; t < source.tile_count(); ++t) {
        if (source.enter_tile(t) == 0) {
            continue;
        }
        const std::uint32_t physical = source.physical_tile();
        if (has_previous && physical == previous) {
            continue;
        }
        if (!seen.insert(physical).second) {
            return true;
        }
        has_previous = true;
        previous = physical;
    }
    return false;
}

/// What a walk over a span of tile records gathers: enough to merge with the walk of the next
/// span and to make the rows from. With `pending`, every tile's busy cycles in an occurrence
/// are kept apart (as the walk of a span must, since other spans may hold the same tile) and
/// folded when the rows are made.
struct SuperstepPart {
    std::uint64_t matched_sample_count = 0;
    detail::WalkTotals totals;
    std::vector<OccurrenceState> occurrences;
    std::vector<TileState> tiles;
    bool pending = false;
};

/// The walk of the tile records `span`, for any source. `kind(i)` is the profile's step kind of
/// the entered tile's sample `i`.
template <class Source, class Kind>
SuperstepPart walk_part(Source& source, Kind kind, const TimeWindow& window, detail::TileSpan span,
                        bool keep_pending) {
    SuperstepPart part;
    part.pending = keep_pending;
    std::vector<OccurrenceState>& occurrences = part.occurrences;
    std::vector<std::uint64_t> occurrence_keys;
    std::vector<TileState>& tiles = part.tiles;
    std::vector<std::uint64_t> tile_keys;
    KeyIndex occurrence_index;
    KeyIndex tile_index;

    // The busy cycles of the physical tile the walk is on, per occurrence it met: `current`
    // in the order met, `slot` and `slot_round` to find an occurrence's entry in it.
    std::vector<TileBusy> current;
    std::vector<std::uint32_t> current_occurrence;
    std::vector<std::uint32_t> slot;
    std::vector<std::uint64_t> slot_round;
    std::uint64_t round = 1;
    std::uint32_t current_state = UINT32_MAX;
    const auto flush = [&] {
        for (std::size_t k = 0; k < current.size(); ++k) {
            OccurrenceState& occurrence = occurrences[current_occurrence[k]];
            if (keep_pending) {
                occurrence.pending.push_back(current[k]);
            } else {
                occurrence.fold(current[k]);
            }
        }
        current.clear();
        current_occurrence.clear();
        round += 1;
    };

    detail::Window storage;
    part.totals = walk_samples(
        source, span, detail::walk_window(window, storage),
        [&](std::uint64_t i, std::uint64_t offset, std::uint32_t sample_duration) {
            part.matched_sample_count += 1;
            const std::uint32_t physical = source.physical_tile();
            const std::uint32_t t = tile_index.find_or_add(
                physical, static_cast<std::uint32_t>(tiles.size()), tile_keys, [&] {
                    tiles.push_back({physical, 0, 0, 0});
                    tile_keys.push_back(physical);
                });
            if (t != current_state) {
                flush();
                current_state = t;
            }
            const std::uint64_t key = source.occurrence(i);
            const std::uint32_t o = occurrence_index.find_or_add(
                key, static_cast<std::uint32_t>(occurrences.size()), occurrence_keys, [&] {
                    occurrences.emplace_back().key = key;
                    occurrence_keys.push_back(key);
                    slot.push_back(0);
                    slot_round.push_back(0);
                });
            OccurrenceState& occurrence = occurrences[o];
            occurrence.start = std::min(occurrence.start, offset);
            occurrence.end = std::max(occurrence.end, offset + sample_duration);
            if (slot_round[o] != round) {
                slot_round[o] = round;
                slot[o] = static_cast<std::uint32_t>(current.size());
                current.push_back({physical, t, 0});
                current_occurrence.push_back(o);
            }
            switch (kind(i)) {
                case vorn_package::ProfileStepKind::Exchange:
                case vorn_package::ProfileStepKind::Compute:
                    current[slot[o]].busy += sample_duration;
                    tiles[t].busy += sample_duration;
                    break;
                case vorn_package::ProfileStepKind::Synchronization:
                    occurrence.sync += sample_duration;
                    break;
                case vorn_package::ProfileStepKind::Idle:
                    break;
            }
        });
    flush();
    return part;
}

/// The part of `first`'s span followed by `second`'s; both keep their busy cycles pending, or
/// neither does and no physical tile is in both.
SuperstepPart merge_parts(SuperstepPart first, SuperstepPart second) {
    first.matched_sample_count += second.matched_sample_count;
    first.totals.sample_count += second.totals.sample_count;
    first.totals.profile_span_cycles =
        std::max(first.totals.profile_span_cycles, second.totals.profile_span_cycles);
    std::unordered_map<std::uint32_t, std::uint32_t> tile_at;
    for (std::size_t t = 0; t < first.tiles.size(); ++t) {
        tile_at.emplace(first.tiles[t].tile, static_cast<std::uint32_t>(t));
    }
    std::vector<std::uint32_t> tile_state(second.tiles.size());
    for (std::size_t t = 0; t < second.tiles.size(); ++t) {
        const TileState& tile = second.tiles[t];
        const auto [at, added] =
            tile_at.emplace(tile.tile, static_cast<std::uint32_t>(first.tiles.size()));
        if (added) {
            first.tiles.push_back({tile.tile, 0, 0, 0});
        }
        first.tiles[at->second].busy += tile.busy;
        tile_state[t] = at->second;
    }
    std::unordered_map<std::uint64_t, std::uint32_t> occurrence_at;
    for (std::size_t o = 0; o < first.occurrences.size(); ++o) {
        occurrence_at.emplace(first.occurrences[o].key, static_cast<std::uint32_t>(o));
    }
    for (OccurrenceState& occurrence : second.occurrences) {
        const auto [at, added] = occurrence_at.emplace(
            occurrence.key, static_cast<std::uint32_t>(first.occurrences.size()));
        if (added) {
            first.occurrences.emplace_back().key = occurrence.key;
        }
        OccurrenceState& into = first.occurrences[at->second];
        into.start = std::min(into.start, occurrence.start);
        into.end = std::max(into.end, occurrence.end);
        into.sync += occurrence.sync;
        if (!first.pending) {
            into.fold(occurrence, [&](std::uint32_t state) { return tile_state[state]; });
        }
        for (TileBusy entry : occurrence.pending) {
            entry.state = tile_state[entry.state];
            into.pending.push_back(entry);
        }
    }
    return first;
}

/// The rows of a walk over every tile record.
SuperstepReport finish_part(SuperstepPart part, std::uint64_t tile_count, std::uint64_t clock_hz,
                            const TimeWindow& window) {
    SuperstepReport result;
    result.clock_hz = clock_hz;
    result.tile_count = tile_count;
    result.from = window.from;
    result.to = window.to;
    result.matched_sample_count = part.matched_sample_count;
    const bool keep_pending = part.pending;
    std::vector<OccurrenceState>& occurrences = part.occurrences;
    std::vector<TileState>& tiles = part.tiles;
    const detail::WalkTotals& totals = part.totals;
    result.sample_count = totals.sample_count;
    result.profile_span_cycles = totals.profile_span_cycles;
    result.profile_span_ms = cycles_to_ms(totals.profile_span_cycles, clock_hz);

    result.occurrences.reserve(occurrences.size());
    for (OccurrenceState& occurrence : occurrences) {
        if (keep_pending) {
            merge_by_tile(occurrence.pending);
            for (const TileBusy& entry : occurrence.pending) {
                occurrence.fold(entry);
            }
            occurrence.pending = {};
        }
        SuperstepRow& row = result.occurrences.emplace_back();
        row.epoch = static_cast<std::uint32_t>(occurrence.key >> 32);
        row.phase = static_cast<std::uint32_t>(occurrence.key);
        row.tiles = occurrence.tiles;
        row.start = occurrence.start;
        row.end = occurrence.end;
        row.span_cycles = occurrence.end - occurrence.start;
        row.span_ms = cycles_to_ms(row.span_cycles, clock_hz);
        row.busy_cycles = occurrence.busy;
        row.max_busy = occurrence.max_busy;
        row.max_busy_ms = cycles_to_ms(row.max_busy, clock_hz);
        row.min_busy = occurrence.min_busy;
        row.min_busy_ms = cycles_to_ms(row.min_busy, clock_hz);
        row.mean_busy = row.tiles == 0
                            ? 0.0
                            : static_cast<double>(row.busy_cycles) / static_cast<double>(row.tiles);
        row.imbalance =
            row.busy_cycles == 0 ? 0.0 : static_cast<double>(row.max_busy) / row.mean_busy;
        row.straggler = occurrence.straggler;
        row.lost_cycles = row.tiles * row.max_busy - row.busy_cycles;
        row.lost_ms = cycles_to_ms(row.lost_cycles, clock_hz);
        row.sync_cycles = occurrence.sync;
        row.sync_ms = cycles_to_ms(row.sync_cycles, clock_hz);
        TileState& straggler = tiles[occurrence.straggler_state];
        straggler.straggler_count += 1;
        straggler.lost += row.lost_cycles;
    }
    std::sort(result.occurrences.begin(), result.occurrences.end(),
              [](const SuperstepRow& l, const SuperstepRow& r) {
                  if (l.lost_cycles != r.lost_cycles) {
                      return l.lost_cycles > r.lost_cycles;
                  }
                  return l.epoch != r.epoch ? l.epoch < r.epoch : l.phase < r.phase;
              });

    result.tiles.reserve(tiles.size());
    for (const TileState& tile : tiles) {
        result.tiles.push_back({tile.tile, tile.straggler_count, tile.busy,
                                cycles_to_ms(tile.busy, clock_hz), tile.lost,
                                cycles_to_ms(tile.lost, clock_hz)});
    }
    std::sort(result.tiles.begin(), result.tiles.end(),
              [](const StragglerTile& l, const StragglerTile& r) {
                  if (l.lost_cycles_caused != r.lost_cycles_caused) {
                      return l.lost_cycles_caused > r.lost_cycles_caused;
                  }
                  return l.physical_tile < r.physical_tile;
              });
    return result;
}

/// The walk and the rows over every tile record of `source`, on this thread.
template <class Source, class Kind>
SuperstepReport run_supersteps(Source& source, Kind kind, std::uint64_t clock_hz,
                               const TimeWindow& window) {
    const bool keep_pending = tiles_come_back(source);
    return finish_part(walk_part(source, kind, window, {0, source.tile_count()}, keep_pending),
                       source.tile_count(), clock_hz, window);
}

/// The query's filters alone: grouping by tile needs no work per step before the walk.
Query filters_of(const Query& query) {
    Query filters = query;
    filters.group_by = GroupBy::Tile;
    filters.then_group_by.clear();
    filters.percentiles.clear();
    filters.metadata_key.reset();
    filters.limit.reset();
    filters.sample_limit = 0;
    return filters;
}

/// The walk of the tile records `span` of `columns`, its busy cycles kept pending when another
/// span may hold the same tiles.
SuperstepPart columns_part(const vorn_package::ProfileColumns& columns, const Query& filters,
                           const TimeWindow& window, detail::TileSpan span, bool keep_pending) {
    detail::GroupTable unused;
    detail::ColumnSource source(columns, filters, unused);
    return walk_part(
        source, [&](std::uint64_t i) { return columns.step_kind[columns.step[source.ref(i)]]; },
        window, span, keep_pending);
}

/// Whether two of `ranges` may hold samples of one physical tile: a tile comes back after
/// another, or the records of one tile on either side of a cut (empty records passed over).
bool ranges_share_tiles(const vorn_package::ProfileColumns& columns, const Query& filters,
                        const std::vector<TileRange>& ranges) {
    detail::GroupTable unused;
    detail::ColumnSource source(columns, filters, unused);
    if (tiles_come_back(source)) {
        return true;
    }
    const auto empty = [&](std::uint64_t t) {
        return columns.tile_sample_begin[t] == columns.tile_sample_begin[t + 1];
    };
    for (std::size_t at = 1; at < ranges.size(); ++at) {
        std::uint64_t before = ranges[at].first;
        while (before > 0 && empty(before - 1)) {
            --before;
        }
        std::uint64_t after = ranges[at].first;
        while (after < columns.tile_count() && empty(after)) {
            ++after;
        }
        if (before > 0 && after < columns.tile_count() &&
            columns.tile_physical[before - 1] == columns.tile_physical[after]) {
            return true;
        }
    }
    return false;
}

}  // namespace

SuperstepReport supersteps(const vorn_package::ProfileReport& report, const Query& query,
                           const TimeWindow& window) {
    const Query filters = filters_of(query);
    detail::RecordSource source(report, filters);
    return run_supersteps(
        source, [&](std::uint64_t i) { return source.ref(i)->step.kind; }, report.clock_hz, window);
}

SuperstepReport supersteps(const vorn_package::ProfileColumns& columns, const Query& query,
                           const TimeWindow& window) {
    const Query filters = filters_of(query);
    detail::GroupTable unused;
    detail::ColumnSource source(columns, filters, unused);
    return run_supersteps(
        source, [&](std::uint64_t i) { return columns.step_kind[columns.step[source.ref(i)]]; },
        columns.clock_hz, window);
}

SuperstepReport supersteps(const vorn_package::ProfileColumns& columns, const Query& query,
                           const TimeWindow& window, std::size_t threads) {
    const std::vector<TileRange> ranges = detail::tile_ranges(columns, threads);
    if (ranges.size() <= 1) {
        return supersteps(columns, query, window);
    }
    const Query filters = filters_of(query);
    // Each tile in one range only: every range folds its tiles' busy cycles as it goes, and
    // the ranges' figures add up, instead of every (tile, occurrence) being kept to the end.
    const bool keep_pending = ranges_share_tiles(columns, filters, ranges);
    std::vector<std::optional<SuperstepPart>> parts(ranges.size());
    detail::run_ranges(ranges.size(), [&](std::size_t at) {
        parts[at].emplace(columns_part(columns, filters, window,
                                       {ranges[at].first, ranges[at].last}, keep_pending));
    });
    SuperstepPart merged = *std::move(parts[0]);
    for (std::size_t at = 1; at < parts.size(); ++at) {
        merged = merge_parts(std::move(merged), *std::move(parts[at]));
    }
    return finish_part(std::move(merged), columns.tile_count(), columns.clock_hz, window);
}

}  // namespace vorn_profile

// The walk over a profile's samples, shared by every question the engine answers. It is
// generic over where a sample's fields come from (records or columns: see record_source.hpp and
// column_source.hpp), so that each answer is computed by one pipeline whatever holds the profile.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace vorn_profile::detail {

/// A half-open range [from, to) of every tile's normalised time line.
struct Window {
    std::uint64_t from = 0;
    std::uint64_t to = UINT64_MAX;
};

/// The tile records [first, last) of a profile, in stored order.
struct TileSpan {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

/// What the walk measures over every sample, matched or not.
struct WalkTotals {
    std::uint64_t sample_count = 0;
    std::uint64_t profile_span_cycles = 0;
};

/// What the walk needs to know of the physical tile numbers of a profile's tile records.
struct TileNumbers {
    bool unique = true;  ///< no two tile records name the same physical tile
    /// The numbers are small for their count (the usual 0 .. n-1), so that a table by number
    /// costs at most a few bytes a tile record.
    bool dense = false;
    std::uint32_t largest = 0;
};

inline TileNumbers survey_tiles(std::vector<std::uint32_t> tiles) {
    TileNumbers numbers;
    if (tiles.empty()) {
        return numbers;
    }
    numbers.largest = *std::max_element(tiles.begin(), tiles.end());
    numbers.dense = numbers.largest < 2 * tiles.size() + 1024;
    if (numbers.dense) {
        std::vector<bool> seen(std::size_t{numbers.largest} + 1);
        for (const std::uint32_t tile : tiles) {
            if (seen[tile]) {
                numbers.unique = false;
                break;
            }
            seen[tile] = true;
        }
    } else {
        std::sort(tiles.begin(), tiles.end());
        numbers.unique = std::adjacent_find(tiles.begin(), tiles.end()) == tiles.end();
    }
    return numbers;
}

/// Whether a sample that passed the filter lies in `window`, and if so its part inside it: a
/// step of positive length must overlap the window, a step of length 0 must start inside it.
inline bool clip_to_window(const Window& window, std::uint64_t& offset,
                           std::uint32_t& sample_duration) {
    const std::uint64_t end = offset + sample_duration;
    if (sample_duration == 0) {
        return window.from <= offset && offset < window.to;
    }
    if (offset >= window.to || end <= window.from) {
        return false;
    }
    offset = std::max(offset, window.from);
    sample_duration = static_cast<std::uint32_t>(std::min(end, window.to) - offset);
    return true;
}

/// Walks the samples [from, to) of the entered tile: puts each on the tile's time line (offsets
/// and durations modulo 2^32, counted from `base`, the start of the tile's first sample), widens
/// `tile_end` to its end, and calls `on_match(sample, offset, duration)` for each sample the
/// source's filter admits, clipped to `window` when one is given.
template <class Source, class OnMatch>
void walk_stretch(Source& source, std::uint32_t base, std::uint64_t from, std::uint64_t to,
                  std::uint64_t& tile_end, const Window* window, OnMatch& on_match) {
    for (std::uint64_t i = from; i < to; ++i) {
        source.prefetch(i);
        // Offsets wrap modulo 2^32 like the counter; they are never reordered or signed.
        std::uint64_t offset = static_cast<std::uint32_t>(source.start(i) - base);
        std::uint32_t sample_duration = source.duration(i);
        tile_end = std::max(tile_end, offset + sample_duration);
        if (!source.matches(i, offset, sample_duration)) {
            continue;
        }
        if (window != nullptr && !clip_to_window(*window, offset, sample_duration)) {
            continue;
        }
        on_match(i, offset, sample_duration);
    }
}

/// Visits the tiles of `span` in stored order and each tile's samples in stored order (see
/// `walk_stretch`). The span counts every sample, filter or not.
///
/// A source has `tile_count()`, `enter_tile(t)` (returning the tile's sample count), and for
/// the entered tile `start(i)`, `duration(i)`, `prefetch(i)` and `matches(i, offset, duration)`.
template <class Source, class OnMatch>
WalkTotals walk_samples(Source& source, TileSpan span, const Window* window, OnMatch&& on_match) {
    WalkTotals totals;
    for (std::uint64_t t = span.first; t < span.last; ++t) {
        const std::uint64_t count = source.enter_tile(t);
        totals.sample_count += count;
        if (count == 0) {
            continue;
        }
        std::uint64_t tile_end = 0;
        walk_stretch(source, source.start(0), 0, count, tile_end, window, on_match);
        totals.profile_span_cycles = std::max(totals.profile_span_cycles, tile_end);
    }
    return totals;
}

/// Samples a tile gives each round of `walk_samples_in_rounds`.
constexpr std::uint64_t kRoundSamples = 1024;

/// The same samples as `walk_samples`, in another order: in rounds, each of which walks the
/// next `kRoundSamples` samples of every tile that has any left. Tiles run much the same schedule,
/// so a round meets only the phase occurrences of one stretch of time, and what is kept for them
/// stays in the caches while every tile passes through them, where a walk tile by tile meets
/// every occurrence of the profile once a tile.
template <class Source, class OnMatch>
WalkTotals walk_samples_in_rounds(Source& source, TileSpan span, const Window* window,
                                  OnMatch&& on_match) {
    struct Cursor {
        std::uint64_t tile = 0;
        std::uint64_t count = 0;
        std::uint64_t end = 0;  // of the tile's time line so far
        std::uint32_t base = 0;
    };
    WalkTotals totals;
    std::vector<Cursor> left;  // the tiles with samples still to walk, in stored order
    for (std::uint64_t t = span.first; t < span.last; ++t) {
        const std::uint64_t count = source.enter_tile(t);
        totals.sample_count += count;
        if (count > 0) {
            left.push_back({t, count, 0, source.start(0)});
        }
    }
    for (std::uint64_t from = 0; !left.empty(); from += kRoundSamples) {
        std::size_t kept = 0;
        for (Cursor& cursor : left) {
            source.enter_tile(cursor.tile);
            const std::uint64_t to = std::min(cursor.count, from + kRoundSamples);
            walk_stretch(source, cursor.base, from, to, cursor.end, window, on_match);
            if (to < cursor.count) {
                left[kept++] = cursor;
            } else {
                totals.profile_span_cycles = std::max(totals.profile_span_cycles, cursor.end);
            }
        }
        left.resize(kept);
    }
    return totals;
}

/// The same over every tile of the source.
template <class Source, class OnMatch>
WalkTotals walk_samples(Source& source, const Window* window, OnMatch&& on_match) {
    return walk_samples(source, TileSpan{0, source.tile_count()}, window,
                        std::forward<OnMatch>(on_match));
}

}  // namespace vorn_profile::detail

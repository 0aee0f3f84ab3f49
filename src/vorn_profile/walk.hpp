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

/// Visits the tiles of `span` in stored order and each tile's samples in stored order, puts them on
/// the tile's time line (offsets and durations modulo 2^32, the first sample at 0), and calls
/// `on_match(tile, sample, offset, duration)` for each sample the source's filter admits, clipped
/// to `window` when one is given. The span counts every sample, filter or not.
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
        const std::uint32_t base = source.start(0);
        std::uint64_t tile_end = 0;
        for (std::uint64_t i = 0; i < count; ++i) {
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
        totals.profile_span_cycles = std::max(totals.profile_span_cycles, tile_end);
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

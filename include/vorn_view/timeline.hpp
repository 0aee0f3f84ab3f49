// The pictures of a profile (the exported trace and the report page) share one view of it:
// the samples that pass the filter options, clipped to a time window, gathered per physical
// tile, laid out in lanes that never overlap, and counted over time in buckets.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_view {

/// The pictures take the window of the analyses: cycles [from, to) on every tile's own time
/// line, the whole of it by default.
using Window = vorn_profile::TimeWindow;

/// The filter part of a query, evaluated once per distinct step and then per sample, with
/// the same rules as the query engine.
class SampleFilter {
public:
    SampleFilter(const vorn_package::ProfileColumns& columns, const vorn_profile::Query& query);

    /// Whether a sample (unclipped offset and duration) passes every filter of the query.
    bool passes(std::uint64_t sample, std::uint32_t physical_tile, std::uint64_t offset,
                std::uint32_t duration) const;

    /// Whether the query keeps a physical tile at all (`--tile`).
    bool keeps_tile(std::uint32_t physical_tile) const;

private:
    const vorn_package::ProfileColumns* columns_;
    const vorn_profile::Query* query_;
    std::vector<bool> step_passes_;  // the criteria that depend on the step alone
};

/// One selected sample on its tile's time line, clipped to the window: [start, end) in cycles.
struct TimedSample {
    std::uint64_t sample = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

/// A physical tile and the tile records that hold its samples, in stored order.
struct PhysicalTile {
    std::uint32_t physical = 0;
    std::vector<std::uint32_t> records;
};

/// Every physical tile of the profile once, ordered by tile number.
std::vector<PhysicalTile> physical_tiles(const vorn_package::ProfileColumns& columns);

/// The longest normalised tile time line, over every sample (filters play no part).
std::uint64_t profile_span(const vorn_package::ProfileColumns& columns);

/// The samples of one physical tile that pass `filter` and the window, clipped to it, in
/// stored order. `out` is cleared first.
void select_samples(const vorn_package::ProfileColumns& columns, const SampleFilter& filter,
                    const Window& window, const PhysicalTile& tile, std::vector<TimedSample>& out);

/// Whether a sample at `offset` with `duration` cycles touches the window: a sample of positive
/// duration when it overlaps [from, to), one of duration 0 when from <= offset < to.
bool in_window(const Window& window, std::uint64_t offset, std::uint64_t duration);

/// Cycles on a tile's time line as nanoseconds by the clock, rounded to the nearest; with
/// `clock_hz` 0 one cycle is one nanosecond.
std::uint64_t cycles_to_ns(std::uint64_t cycles, std::uint64_t clock_hz);

/// One slice to draw, in nanoseconds, with the lane it goes to.
struct LaneSlice {
    std::uint64_t sample = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint32_t lane = 0;
};

/// Sorts `slices` by start, then end, then sample, and gives each the lowest lane it can share
/// without overlap. Slices in one lane follow each other strictly: a slice starts no earlier
/// than the previous one ends, and where one of the two is empty (zero length) strictly after,
/// so no viewer can nest one in the other. Returns the number of lanes used.
std::uint32_t assign_lanes(std::vector<LaneSlice>& slices);

/// The four step kinds, in the order every picture shows them.
constexpr std::size_t kKindCount = 4;
constexpr vorn_package::ProfileStepKind kKinds[kKindCount] = {
    vorn_package::ProfileStepKind::Compute, vorn_package::ProfileStepKind::Exchange,
    vorn_package::ProfileStepKind::Synchronization, vorn_package::ProfileStepKind::Idle};
/// "compute", "exchange", ...; the position of a kind in `kKinds`.
std::string_view kind_text(vorn_package::ProfileStepKind kind);
std::size_t kind_slot(vorn_package::ProfileStepKind kind);

/// Cycles one physical tile spent, as unions of its selected samples' intervals: overlapping
/// steps count once.
struct TileCycles {
    std::uint64_t kind[kKindCount] = {};
    std::uint64_t busy = 0;    ///< exchange or compute
    std::uint64_t active = 0;  ///< any step
    std::uint64_t samples = 0;
};

/// How the per-kind series count a tile that runs steps of several kinds at once.
enum class KindCounting {
    EveryKind,  ///< under each kind it runs: a series is the tiles running that kind
    FirstKind,  ///< once, under the first of them in `kKinds`: the series add up to the total
};

/// Tiles active at once over [begin, end) of the time lines, in equal buckets (the last may
/// be shorter): for each bucket, the tile-cycles covered in it, in total and per kind.
class ActivityBuckets {
public:
    /// At most `max_buckets` buckets; each at least one cycle wide.
    ActivityBuckets(std::uint64_t begin, std::uint64_t end, std::uint64_t max_buckets,
                    KindCounting counting);

    /// Adds one physical tile's selected samples and returns its cycles.
    TileCycles add_tile(const vorn_package::ProfileColumns& columns,
                        std::span<const TimedSample> samples);

    std::uint64_t begin() const { return begin_; }
    std::uint64_t end() const { return end_; }
    std::uint64_t width() const { return width_; }
    std::uint64_t count() const { return count_; }
    std::uint64_t bucket_start(std::uint64_t bucket) const { return begin_ + bucket * width_; }
    std::uint64_t bucket_length(std::uint64_t bucket) const;

    /// Turns the covered cycles into means; call once, after the last tile.
    void finish();

    /// Mean tiles active over a bucket (after `finish`): in total (`kind_index` = kKindCount)
    /// or of one kind.
    double mean_active(std::size_t kind_index, std::uint64_t bucket) const {
        return means_[kind_index][bucket];
    }

private:
    struct Series {
        std::vector<std::uint64_t> partial;  // cycles covered in buckets an interval only touches
        std::vector<std::int64_t> full;      // difference array of buckets covered whole
    };
    /// Merges `intervals` (sorted here) and covers the union in `series`; returns its length.
    std::uint64_t add_union(std::vector<std::pair<std::uint64_t, std::uint64_t>>& intervals,
                            Series* series);
    void cover(Series& series, std::uint64_t start, std::uint64_t end);
    /// Covers each cycle of the tile in the series of the first kind that has a step running.
    void cover_first_kind(
        const std::vector<std::pair<std::uint64_t, std::uint64_t>> (&by_kind)[kKindCount]);

    std::uint64_t begin_;
    std::uint64_t end_;
    KindCounting counting_;
    std::uint64_t width_ = 1;
    std::uint64_t count_ = 0;
    Series series_[kKindCount + 1];
    std::vector<double> means_[kKindCount + 1];
};

}  // namespace vorn_view

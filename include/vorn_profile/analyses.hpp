// vorn_profile/analyses.hpp
//
// Questions asked after the first query, each an exact function of a profile (or two) and a
// `Query`, with the arithmetic of the query: unsigned 64-bit sums, every double one division of
// two operands converted to double (0.0 for a zero denominator).
//
// - `query_window`: the query, counting only the part of each step inside a time window.
// - `diff`: two runs compared group by group, before and after a change.
// - `supersteps`: per phase occurrence, how unevenly the tiles were loaded and which tile the
//   others waited for.
//
//     vorn_profile::TimeWindow window{.from = 1'000'000, .to = 2'000'000};
//     vorn_profile::WindowReport part = vorn_profile::query_window(profile, query, window);
//     vorn_profile::SuperstepReport steps = vorn_profile::supersteps(profile, query);
//     // steps.occurrences[0]: the superstep that cost the device the most tile-cycles
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vorn_package/profile.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile {

/// The cycles [from, to) of every tile's normalised time line. A window with `from >= to`
/// holds nothing.
struct TimeWindow {
    std::uint64_t from = 0;
    std::uint64_t to = UINT64_MAX;

    friend bool operator==(const TimeWindow&, const TimeWindow&) = default;
};

// ---- Time window --------------------------------------------------------------------------

/// A query's report over a window, and the window.
struct WindowReport {
    std::uint64_t from = 0;
    std::uint64_t to = UINT64_MAX;
    /// The profile totals (tile, sample counts, span) are the whole profile's;
    /// `matched_sample_count` counts the samples that pass the filters and lie in the window.
    QueryReport report;

    friend bool operator==(const WindowReport&, const WindowReport&) = default;
};

/// The query over the part of each step inside `window`. A sample is first filtered exactly as
/// by `query` (its whole, unclipped extent); then a step of positive length passes when it
/// overlaps the window and a step of length 0 when it starts inside it. A passing step counts
/// with its clipped offset `max(offset, from)` and its clipped end `min(offset + duration, to)`
/// in every statistic, the listing and its order. With the whole time line as the window the
/// report equals `query(report, query)`.
WindowReport query_window(const vorn_package::ProfileReport& report, const Query& query,
                          const TimeWindow& window);
WindowReport query_window(const vorn_package::ProfileColumns& columns, const Query& query,
                          const TimeWindow& window);
/// `query_window(columns, query, window).report` with the listing left as references, as by
/// `query_listed`.
ListedReport query_window_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                                 const TimeWindow& window);

// ---- Difference of two profiles -----------------------------------------------------------

/// Whether a group is in both reports, only the new one, or only the base one.
enum class DiffStatus { Both, Added, Removed };

/// The figures of one group on one side; all 0 on a side the group is missing from.
struct DiffFigures {
    std::uint64_t sample_count = 0;
    std::uint64_t tile_count = 0;
    std::uint64_t phase_count = 0;
    std::uint64_t phase_cycles = 0;
    double phase_ms = 0.0;
    std::uint64_t work_cycles = 0;
    double average_active_tiles = 0.0;
    double mean_cycles = 0.0;
    std::uint64_t p95_cycles = 0;
    std::uint64_t maximum_cycles = 0;

    friend bool operator==(const DiffFigures&, const DiffFigures&) = default;
};

/// New minus base, field by field: integers as signed 64-bit, doubles as doubles.
struct DiffDelta {
    std::int64_t sample_count = 0;
    std::int64_t tile_count = 0;
    std::int64_t phase_count = 0;
    std::int64_t phase_cycles = 0;
    double phase_ms = 0.0;
    std::int64_t work_cycles = 0;
    double average_active_tiles = 0.0;
    double mean_cycles = 0.0;
    std::int64_t p95_cycles = 0;
    std::int64_t maximum_cycles = 0;

    friend bool operator==(const DiffDelta&, const DiffDelta&) = default;
};

/// One group name present in either report.
struct DiffRow {
    std::string name;
    DiffStatus status = DiffStatus::Both;
    DiffFigures base;
    DiffFigures next;  ///< the new profile's figures ("new" in the tool's output)
    DiffDelta delta;
    /// next.phase_cycles / base.phase_cycles, present when base.phase_cycles > 0.
    std::optional<double> phase_cycles_ratio;

    friend bool operator==(const DiffRow&, const DiffRow&) = default;
};

/// The totals of one profile's report.
struct DiffTotals {
    std::uint64_t sample_count = 0;
    std::uint64_t matched_sample_count = 0;
    std::uint64_t profile_span_cycles = 0;
    double profile_span_ms = 0.0;

    friend bool operator==(const DiffTotals&, const DiffTotals&) = default;
};

struct DiffTotalsDelta {
    std::int64_t sample_count = 0;
    std::int64_t matched_sample_count = 0;
    std::int64_t profile_span_cycles = 0;
    double profile_span_ms = 0.0;

    friend bool operator==(const DiffTotalsDelta&, const DiffTotalsDelta&) = default;
};

struct DiffReport {
    DiffTotals base;
    DiffTotals next;
    DiffTotalsDelta delta;
    /// By the absolute delta of the sort field, largest first, then by name (for
    /// `SortBy::Name`, by name alone).
    std::vector<DiffRow> rows;

    friend bool operator==(const DiffReport&, const DiffReport&) = default;
};

/// Two reports of the same query compared group by group, matched by name; `sort_by` orders
/// the rows and `limit` keeps the first rows. Both reports should hold every group (a query
/// without `limit`).
DiffReport diff(const QueryReport& base, const QueryReport& next, SortBy sort_by,
                std::optional<std::uint64_t> limit);

/// Runs `query` over `window` on both profiles (without its `limit` and listing) and compares
/// the reports, ordered by `query.sort_by` and cut to `query.limit`.
DiffReport diff(const vorn_package::ProfileReport& base, const vorn_package::ProfileReport& next,
                const Query& query, const TimeWindow& window = {});
DiffReport diff(const vorn_package::ProfileColumns& base, const vorn_package::ProfileColumns& next,
                const Query& query, const TimeWindow& window = {});
/// The same, each profile's query walked on `threads` threads; the report is the same for every
/// number of threads.
DiffReport diff(const vorn_package::ProfileColumns& base, const vorn_package::ProfileColumns& next,
                const Query& query, const TimeWindow& window, std::size_t threads);

// ---- Supersteps ---------------------------------------------------------------------------

/// One phase occurrence (epoch, phase) over the matched samples. A tile's busy cycles are the
/// lengths of its exchange and compute steps; a physical tile held in several tile records
/// counts once, with all its samples.
struct SuperstepRow {
    std::uint32_t epoch = 0;
    std::uint32_t phase = 0;
    std::uint64_t tiles = 0;        ///< tiles with a matched sample in the occurrence
    std::uint64_t start = 0;        ///< smallest offset
    std::uint64_t end = 0;          ///< largest offset + duration
    std::uint64_t span_cycles = 0;  ///< end - start
    double span_ms = 0.0;
    std::uint64_t busy_cycles = 0;  ///< all tiles together
    std::uint64_t max_busy = 0;
    double max_busy_ms = 0.0;
    std::uint64_t min_busy = 0;
    double min_busy_ms = 0.0;
    double mean_busy = 0.0;         ///< busy_cycles / tiles
    double imbalance = 0.0;         ///< max_busy / mean_busy; 0.0 when nothing was busy
    std::uint32_t straggler = 0;    ///< the busiest tile, the lowest on a tie
    std::uint64_t lost_cycles = 0;  ///< tiles * max_busy - busy_cycles
    double lost_ms = 0.0;
    std::uint64_t sync_cycles = 0;  ///< lengths of the synchronization steps
    double sync_ms = 0.0;

    friend bool operator==(const SuperstepRow&, const SuperstepRow&) = default;
};

/// One physical tile over all occurrences.
struct StragglerTile {
    std::uint32_t physical_tile = 0;
    std::uint64_t straggler_count = 0;  ///< occurrences this tile was the straggler of
    std::uint64_t busy_cycles = 0;
    double busy_ms = 0.0;
    std::uint64_t lost_cycles_caused = 0;  ///< their lost cycles together
    double lost_ms = 0.0;

    friend bool operator==(const StragglerTile&, const StragglerTile&) = default;
};

struct SuperstepReport {
    std::uint64_t clock_hz = 0;
    std::uint64_t tile_count = 0;
    std::uint64_t sample_count = 0;
    std::uint64_t matched_sample_count = 0;
    std::uint64_t profile_span_cycles = 0;
    double profile_span_ms = 0.0;
    std::uint64_t from = 0;
    std::uint64_t to = UINT64_MAX;
    /// By lost cycles, largest first, then epoch, then phase.
    std::vector<SuperstepRow> occurrences;
    /// Every tile with a matched sample, by lost cycles caused, largest first, then tile.
    std::vector<StragglerTile> tiles;

    friend bool operator==(const SuperstepReport&, const SuperstepReport&) = default;
};

/// The supersteps of the samples that pass the query's filters and lie in `window` (clipped as
/// by `query_window`). The query's grouping, order, limits and listing play no part.
SuperstepReport supersteps(const vorn_package::ProfileReport& report, const Query& query,
                           const TimeWindow& window = {});
SuperstepReport supersteps(const vorn_package::ProfileColumns& columns, const Query& query,
                           const TimeWindow& window = {});
/// The same on `threads` threads (at most one a tile record): each walks a range of tile
/// records keeping every tile's busy cycles per occurrence, and the ranges are merged in tile
/// order. The report is the same for every number of threads.
SuperstepReport supersteps(const vorn_package::ProfileColumns& columns, const Query& query,
                           const TimeWindow& window, std::size_t threads);

}  // namespace vorn_profile

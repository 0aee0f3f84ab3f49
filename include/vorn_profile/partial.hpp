// vorn_profile/partial.hpp
//
// Partial reports: a query's exact state over a range of a profile's tile records. The partial
// of one range merges with the partial of the next into the partial of both, and a finished
// partial of every tile is, field for field and bit for bit, the report `query` gives. On them
// the query runs on several threads, each walking its own range of tiles.
//
//     const std::uint64_t half = columns.tile_count() / 2;
//     vorn_profile::QueryPartial left = vorn_profile::partial(columns, q, {0, half});
//     vorn_profile::QueryPartial right = vorn_profile::partial(columns, q, {half});
//     vorn_profile::QueryReport report =
//         vorn_profile::finish(vorn_profile::merge(std::move(left), std::move(right)));
//     // report == vorn_profile::query(columns, q) == vorn_profile::query(columns, q, 4)
//
// A partial keeps per group its counts, work cycles, first and last offsets, maximum, the set of
// its physical tiles, its covered runs per phase occurrence and its durations as (value, count)
// runs; per query the totals, the span and the `sample_limit` longest candidates. It shares the
// columns' storage, so it stays valid whatever becomes of the caller's copy of the columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile {

/// The tile records [first, last) of a profile, in stored order; `last` past the profile's
/// tiles stands for its last, and a range with `first >= last` holds no tile.
struct TileRange {
    std::uint64_t first = 0;
    std::uint64_t last = UINT64_MAX;
};

class QueryPartial;
namespace detail {
struct PartialAccess;
}

/// The partial of `query` over the tiles `tiles` of `columns`, counting each step only with its
/// part inside `window` as `query_window` does (without one, the whole time line). The window,
/// like the query and the clock, is recorded in the partial.
QueryPartial partial(const vorn_package::ProfileColumns& columns, const Query& query,
                     TileRange tiles = {}, const std::optional<TimeWindow>& window = std::nullopt);

/// `partial(columns, query, tiles, window)` in which a group that no later tile record of
/// `columns` can meet (grouped by tile alone, over columns whose physical tiles are each on
/// one record) keeps its phase occurrences summed up rather than listed, so that it grows with
/// the groups, not with the phase occurrences; for other queries it is `partial` itself. It
/// merges with the partials of other profiles (the other shards of one profile) as long as
/// these do not meet one of its summed-up groups again: `merge_conflict` names such a group.
QueryPartial closed_partial(const vorn_package::ProfileColumns& columns, const Query& query,
                            TileRange tiles = {},
                            const std::optional<TimeWindow>& window = std::nullopt);

/// `partial(columns, query, {}, window)` on `threads` threads, as `query` below: the same
/// partial for every number of threads.
QueryPartial threaded_partial(const vorn_package::ProfileColumns& columns, const Query& query,
                              std::size_t threads,
                              const std::optional<TimeWindow>& window = std::nullopt);

/// The partial of the tiles of `first` followed by those of `second`. Both must have been made
/// with the same query, window and clock, and `second`'s tiles must follow `first`'s in the
/// whole profile (see `merge_conflict`); then merging is associative, so that partials of
/// consecutive ranges may be merged in any tree that keeps their order. The partials may come
/// from different columns (the shards of one profile) or from bytes (`partial_from_bytes`).
QueryPartial merge(QueryPartial first, QueryPartial second);

/// Why `first` and `second` cannot be merged, or nothing when they can: made with different
/// clocks, queries or windows, or covering tiles of one profile out of order, overlapping or
/// with tiles left out between them. Order can only be checked between ranges of one profile:
/// the shards of a profile are different profiles to a partial. Nor may a group whose phase
/// occurrences one of them keeps summed up (`closed_partial`) be met by the other.
std::optional<std::string> merge_conflict(const QueryPartial& first, const QueryPartial& second);

/// The report of a partial: ordered, cut to the query's limit, the listing made. For the
/// partial of every tile, the report `query(columns, query)` gives.
QueryReport finish(QueryPartial partial);

/// `finish` with the listing left as references into the partial's columns, as by
/// `query_listed`: `sample_record(columns, listed.listed[i])` is `finish(...).samples[i]`.
/// A partial whose candidates are not all of one columns' (merged from several, or read from
/// bytes) has records of its own instead: they are in `report.samples`, and `listed` is empty.
ListedReport finish_listed(QueryPartial partial);

/// What a partial was made with: its query, its window (if any) and its profile's clock.
const Query& partial_query(const QueryPartial& partial);
std::optional<TimeWindow> partial_window(const QueryPartial& partial);
std::uint64_t partial_clock_hz(const QueryPartial& partial);

/// The partial with its query's group `limit` set to `limit`: a partial keeps every group, so
/// the cut may be chosen when it is finished.
QueryPartial with_limit(QueryPartial partial, std::optional<std::uint64_t> limit);

/// A query's exact, mergeable state over a range of tiles; made by `partial`, combined by
/// `merge`, turned into a report by `finish`. Moved, never copied.
class QueryPartial {
public:
    QueryPartial(QueryPartial&&) noexcept;
    QueryPartial& operator=(QueryPartial&&) noexcept;
    ~QueryPartial();

    struct State;  ///< the content, private to the engine

private:
    explicit QueryPartial(std::unique_ptr<State> state);

    std::unique_ptr<State> state_;

    friend struct detail::PartialAccess;
};

/// `query(columns, query)` on `threads` threads (at most one a tile record; 0 counts as 1):
/// the tiles are cut into ranges of about equal samples, their partials made at once and merged
/// in order. The report is the same for every number of threads.
QueryReport query(const vorn_package::ProfileColumns& columns, const Query& query,
                  std::size_t threads);

/// `query_window(columns, query, window)` on `threads` threads, as `query` above.
WindowReport query_window(const vorn_package::ProfileColumns& columns, const Query& query,
                          const TimeWindow& window, std::size_t threads);

/// `query_listed` and `query_window_listed` on `threads` threads, as `query` above.
ListedReport query_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                          std::size_t threads);
ListedReport query_window_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                                 const TimeWindow& window, std::size_t threads);

}  // namespace vorn_profile

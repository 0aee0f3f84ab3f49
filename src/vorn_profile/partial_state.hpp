// What a partial report holds, shared by the files that make, merge, finish, write and read
// partials.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "listing.hpp"
#include "partial_groups.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_profile {

namespace detail {

using RankedSample = SampleListing<std::uint64_t>::Ranked;

/// Consecutive tile records [first, last) (first < last) of the profile `source` identifies.
struct PartialPiece {
    std::uint64_t source = 0;
    std::uint64_t first = 0;
    std::uint64_t last = 0;

    friend bool operator==(const PartialPiece&, const PartialPiece&) = default;
};

/// `partial(columns, query, tiles, window)`; with `closing`, for the query on threads over
/// ranges of these columns alone, the groups that no other range can meet (grouped by tile
/// among other keys or alone, tiles unique) keep their phase occurrences summed up rather than
/// listed. Such a partial merges only with the other ranges' of these columns and is never written
/// as bytes.
QueryPartial range_partial(const vorn_package::ProfileColumns& columns, const Query& query,
                           TileRange tiles, const std::optional<TimeWindow>& window, bool closing);

/// `finish_listed(partial)` and `finish(partial)`, the groups' figures found on as many as
/// `threads` threads.
ListedReport finish_listed(QueryPartial partial, std::size_t threads);
QueryReport finish(QueryPartial partial, std::size_t threads);

/// A fingerprint of a profile: equal for the same profile, and different, but for a 64-bit
/// hash collision, for profiles whose tiles or first samples differ.
std::uint64_t profile_source(const vorn_package::ProfileColumns& columns);

}  // namespace detail

struct QueryPartial::State {
    // Where the listed candidates' records come from: the columns the partial was made from,
    // while every candidate is theirs (`RankedSample::sample` is then a sample number of
    // theirs); otherwise `records`, one per candidate (`sample` is then its index there).
    std::optional<vorn_package::ProfileColumns> columns;
    std::vector<SampleRecord> records;
    // What the groups' texts view into: the columns' storage, the bytes a partial was read from.
    std::vector<std::shared_ptr<const void>> owners;

    Query query;
    std::optional<TimeWindow> window;
    std::uint64_t clock_hz = 0;
    // The tiles walked, in order; consecutive ranges of one profile are joined into one piece.
    std::vector<detail::PartialPiece> pieces;

    std::uint64_t tile_count = 0;
    std::uint64_t sample_count = 0;
    std::uint64_t matched_sample_count = 0;
    std::uint64_t profile_span_cycles = 0;
    detail::PartialGroups groups;
    // The `sample_limit` first candidates in listing order; `sequence` counts matched samples
    // from the first of the range, `offered` is how many there were.
    std::vector<detail::RankedSample> listing;
    std::uint64_t offered = 0;
};

namespace detail {

/// The engine's way into a partial's state.
struct PartialAccess {
    static QueryPartial make(std::unique_ptr<QueryPartial::State> state) {
        return QueryPartial(std::move(state));
    }
    static const QueryPartial::State& state(const QueryPartial& partial) { return *partial.state_; }
    static QueryPartial::State& state(QueryPartial& partial) { return *partial.state_; }
};

}  // namespace detail
}  // namespace vorn_profile

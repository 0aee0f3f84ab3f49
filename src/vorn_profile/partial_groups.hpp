// The groups of a partial report: what every group of a query holds over a range of tile
// records, exact and in a form that merges with the next range's. Memory grows with the
// distinct values (tiles, phase occurrences, covered runs, durations), not with the samples.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "grouping.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// Lists of items, one after another: list `i` is items[begin[i], begin[i + 1]).
template <class T>
struct ListOfLists {
    std::vector<std::uint64_t> begin{0};
    std::vector<T> items;

    std::size_t size() const { return begin.size() - 1; }
    std::span<const T> operator[](std::size_t list) const {
        return std::span<const T>(items).subspan(begin[list], begin[list + 1] - begin[list]);
    }
    /// Ends the list that the items appended since the last call make up.
    void close() { begin.push_back(items.size()); }
};

/// `count` durations of one value.
struct DurationRun {
    std::uint32_t value = 0;
    std::uint64_t count = 0;
};

/// The same in half the room, for the counts a walk keeps: a count past 2^32 - 1 goes on in
/// the next entry, of the same value.
struct CountedDuration {
    std::uint32_t value = 0;
    std::uint32_t count = 0;
};

/// Whether the durations `counted` (`CountedDuration` or `DurationRun`) hardly repeat, so that
/// handing them on one by one costs about what counting more into them would.
template <class Counted>
bool hardly_repeat(std::span<const Counted> counted) {
    std::uint64_t total = 0;
    for (const Counted& entry : counted) {
        total += entry.count;
    }
    return total <= 2 * std::uint64_t{counted.size()};
}

/// The figures of one group that add up.
struct PartialGroup {
    GroupIdentity identity;
    std::uint64_t sample_count = 0;
    std::uint64_t work_cycles = 0;
    std::uint64_t first_offset = 0;
    std::uint64_t last_offset = 0;
    std::uint32_t maximum = 0;
    // Phase occurrences summed up when no other range could meet the group again (see
    // `GroupTable::close_groups_record_by_record`): their number and covered cycles, beside
    // those listed in `occurrences`. Only the query on threads makes them, never bytes.
    std::uint64_t closed_phase_count = 0;
    std::uint64_t closed_phase_cycles = 0;
};

/// Group `g` was met on the physical tiles `tiles[g]` (ascending) in the phase occurrences
/// `occurrences[g]` (ascending, each as epoch << 32 | phase); the occurrence at position `o` of
/// `occurrences.items` covered the runs `coverage[o]` (ascending, none empty, no two touching);
/// its durations are `durations[g]`, ascending by value, together with `uncounted[g]`, in no
/// order. A walk leaves uncounted the durations of a group that hardly repeat, which as runs
/// would take four times the room; bytes hold runs alone.
struct PartialGroups {
    std::vector<PartialGroup> groups;
    ListOfLists<std::uint32_t> tiles;
    ListOfLists<std::uint64_t> occurrences;
    ListOfLists<Interval> coverage;
    ListOfLists<DurationRun> durations;
    ListOfLists<std::uint32_t> uncounted;
};

/// Group `g`'s durations as runs alone, ascending by value.
std::vector<DurationRun> counted_runs(const PartialGroups& groups, std::size_t g);

/// Counts `values` (all at most `maximum`; reordered; `scratch` is working room) together with
/// `counted` (ascending by value) into `out`, ascending by value.
void count_durations(std::span<const CountedDuration> counted, std::span<std::uint32_t> values,
                     std::uint32_t maximum, std::vector<std::uint32_t>& scratch,
                     std::vector<CountedDuration>& out);

/// Appends `counted` (ascending by value) to `out` as runs, one a value.
void append_duration_runs(std::span<const CountedDuration> counted, std::vector<DurationRun>& out);

/// The groups of two consecutive ranges, `first` before `second`, as one range's: a group of
/// both takes `first`'s place, the groups only in `second` follow in its order.
PartialGroups merge_groups(const PartialGroups& first, const PartialGroups& second);

}  // namespace vorn_profile::detail

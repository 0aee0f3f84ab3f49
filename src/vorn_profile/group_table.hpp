// The groups of one query while the walk goes on: their running totals, how a sample finds its
// group, and the ordered summaries at the end.
//
// A group costs a few dozen bytes however many there are: no per-group list, set or index.
// Durations and tile changes go to arrays shared by all groups, a group's coverage of each
// phase occurrence is a slot in one shared table, and only a group that has met more than one
// occurrence gets an index of its slots. The durations' array is bounded: when it fills, its
// values are counted into each group's list of (value, count) pairs, so that memory grows with
// the distinct durations rather than with the samples. Summaries are built only for the groups
// that the ordering and the limit keep.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "block_list.hpp"
#include "coverage.hpp"
#include "flat_index.hpp"
#include "grouping.hpp"
#include "partial_groups.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// The coverage of one (group, phase occurrence) pair. Most hold a single run, kept inline; a
/// union of several runs moves to a `CoverageSet` of its own.
struct CoverageSlot {
    Interval run;
    std::uint64_t occurrence = 0;
    std::uint32_t group = 0;
    std::uint32_t overflow = FlatIndex::kNone;
    // The slot the group moved to from this one the last time: tiles run the same schedule, so
    // a group tends to pass through its occurrences in the same order on every tile.
    std::uint32_t next = FlatIndex::kNone;
    // The group's slot made before this one, for filling its index late.
    std::uint32_t previous = FlatIndex::kNone;
};

/// The slots of a group that has met several occurrences. Time on a tile runs forward through
/// the occurrences, so a group's first pass over a tile meets each occurrence later than every
/// one before it: such a slot is new without a look-up. The index of the slots by occurrence
/// is filled only when an occurrence comes back, from the slots made since it was last filled.
struct OccurrenceIndex {
    FlatIndex slots;
    std::uint64_t latest_occurrence = 0;            // the largest the group has met
    std::uint32_t newest = FlatIndex::kNone;        // the group's last slot made
    std::uint32_t newest_filed = FlatIndex::kNone;  // the last slot made that `slots` holds
};

/// Running totals of one group.
struct GroupState {
    std::uint64_t sample_count = 0;
    std::uint64_t work_cycles = 0;
    std::uint64_t first_offset = 0;
    std::uint64_t last_offset = 0;
    std::uint64_t last_occurrence = 0;          // of the coverage slot below
    std::uint32_t coverage = FlatIndex::kNone;  // slot of the latest phase occurrence
    // The slot the group moved to from `coverage` the last time (see `CoverageSlot::next`).
    std::uint32_t guess = FlatIndex::kNone;
    std::uint32_t phase_count = 0;
    std::uint32_t last_tile = 0;
    std::uint32_t tile_changes = 0;  // entries in the shared tile list, or changes when unique
    std::uint32_t maximum = 0;
    std::uint32_t occurrences = FlatIndex::kNone;  // the group's index of its coverage slots
};

class GroupTable {
public:
    /// Room for about this many matched samples: address space for all their durations, of
    /// which only what is kept between two counts is ever touched, and which never moves.
    void reserve(std::uint64_t samples) { durations_.reserve(static_cast<std::size_t>(samples)); }

    /// Says that no two tile records of the profile share a physical tile, so that counting a
    /// group's tile changes counts its tiles.
    void set_unique_tiles(bool unique) { unique_tiles_ = unique; }

    /// Says that the walk may meet a group's tile again after other tiles (as a walk in rounds
    /// does), over tiles that no two records share: each group then keeps the numbers of its
    /// tiles as runs, which the usual tile numbering keeps to one.
    void count_tiles_as_runs() { tile_runs_on_ = true; }

    /// Says that every group is finished when the walk leaves its tile record, as when the tile
    /// is a key of the grouping over tiles that no two records share: the walk then calls
    /// `close_open_groups` before the first sample of each record. A finished group's coverage
    /// is summed up and its slots reused, so that memory holds one record's occurrences rather
    /// than the profile's.
    void close_groups_record_by_record(bool closing) { closing_ = closing; }
    bool closes_groups() const { return closing_; }

    /// Finishes every group made since the last call (see `close_groups_record_by_record`).
    void close_open_groups();

    /// The group of `identity`, created with `offset` as its first offset when it is new.
    std::uint32_t find_or_add(const GroupIdentity& identity, std::uint64_t offset) {
        // Consecutive matched samples often share a group.
        if (last_ < identities_.size() && identities_[last_] == identity) {
            return last_;
        }
        const auto [position, added] =
            index_.find_or_add(identity_hash(identity), static_cast<std::uint32_t>(states_.size()),
                               [&](std::uint32_t at) { return identities_[at] == identity; });
        if (added) {
            add_group(identity, offset);
        }
        return last_ = position;
    }

    /// Whether the index of the groups has outgrown the caches, so that asking for a sample's
    /// bucket some samples ahead pays for hashing its identity twice.
    bool index_is_large() const { return index_.size() >= kLargeIndex; }

    /// Brings the index bucket of `identity` into the cache ahead of `find_or_add`.
    void prefetch(const GroupIdentity& identity) const { index_.prefetch(identity_hash(identity)); }

    /// Makes room for groups numbered 0 .. `count` - 1 by the caller, for `find_or_add_numbered`.
    void number_groups(std::size_t count) { numbered_.assign(count, FlatIndex::kNone); }

    /// The group the caller numbered `number`, whose identity is `identity`.
    std::uint32_t find_or_add_numbered(std::uint32_t number, const GroupIdentity& identity,
                                       std::uint64_t offset) {
        std::uint32_t& position = numbered_[number];
        if (position == FlatIndex::kNone) {
            position = static_cast<std::uint32_t>(states_.size());
            add_group(identity, offset);
        }
        return position;
    }

    /// Adds one matched sample to `group`.
    void add(std::uint32_t group, std::uint32_t tile, std::uint64_t occurrence,
             std::uint64_t offset, std::uint32_t sample_duration) {
        GroupState& state = states_[group];
        if (state.coverage == FlatIndex::kNone || state.last_occurrence != occurrence) {
            std::uint32_t slot = 0;
            if (state.guess != FlatIndex::kNone && slots_[state.guess].occurrence == occurrence) {
                slot = state.guess;
            } else {
                slot = coverage_slot(group, state, occurrence);
                if (state.coverage != FlatIndex::kNone) {
                    slots_[state.coverage].next = slot;
                }
            }
            state.coverage = slot;
            state.last_occurrence = occurrence;
            // The guess for the group's next occurrence, read now, while this sample is
            // counted, rather than when the next one waits on it.
            state.guess = slots_[slot].next;
        }
        cover(slots_[state.coverage], offset, offset + sample_duration);
        if (state.sample_count == 0 || state.last_tile != tile) {
            note_tile(group, state, tile);
        }
        durations_.push_back({group, sample_duration});
        state.sample_count += 1;
        state.work_cycles += sample_duration;
        state.first_offset = std::min(state.first_offset, offset);
        state.last_offset = std::max(state.last_offset, offset + sample_duration);
        state.maximum = std::max(state.maximum, sample_duration);
        // Counting reads every group's samples and maximum: this one is among them.
        if (durations_.size() >= fold_at_) {
            count_durations();
        }
    }

    /// The groups' summaries in the query's order, cut to its limit.
    std::vector<GroupSummary> summaries(const Query& query, const GroupNaming& naming,
                                        std::uint64_t clock_hz);

    /// Every group as a partial report keeps it, in the order the groups were met; the table
    /// is spent. The walk must have counted tiles as runs or without `set_unique_tiles(true)`, so
    /// that every change of a group's tile was noted.
    PartialGroups take_partial();

private:
    static constexpr std::size_t kLargeIndex = std::size_t{1} << 15;
    // Durations kept in walk order before they are counted: 2 MB.
    static constexpr std::size_t kFoldAt = std::size_t{1} << 18;

    struct GroupDuration {
        std::uint32_t group;
        std::uint32_t duration;
    };

    void add_group(const GroupIdentity& identity, std::uint64_t offset) {
        identities_.push_back(identity);
        if (tile_runs_on_) {
            tile_runs_.emplace_back();
        }
        GroupState state;
        state.first_offset = offset;
        states_.push_back(state);
    }

    std::uint32_t coverage_slot(std::uint32_t group, GroupState& state, std::uint64_t occurrence);
    std::uint32_t new_slot(std::uint32_t group, GroupState& state, std::uint64_t occurrence,
                           std::uint32_t previous);
    void file_new_slots(OccurrenceIndex& index);

    void cover(CoverageSlot& slot, std::uint64_t start, std::uint64_t end) {
        if (slot.overflow == FlatIndex::kNone && start <= slot.run.end && slot.run.start <= end) {
            slot.run = {std::min(slot.run.start, start), std::max(slot.run.end, end)};
            return;
        }
        cover_slow(slot, start, end);
    }
    void cover_slow(CoverageSlot& slot, std::uint64_t start, std::uint64_t end);
    void note_tile(std::uint32_t group, GroupState& state, std::uint32_t tile);
    /// The durations kept since the last count, each group's together: group `g`'s are
    /// values[begin[g], begin[g + 1]). Empties the kept list; `last` frees its room too.
    struct ScatteredDurations {
        std::vector<std::uint64_t> begin;
        std::vector<std::uint32_t> values;

        std::span<std::uint32_t> of(std::uint32_t group) {
            return std::span(values).subspan(begin[group], begin[group + 1] - begin[group]);
        }
    };
    ScatteredDurations scatter_durations(bool last);
    /// Counts the durations kept so far into each group's pairs.
    void count_durations();
    /// Counts them for the last time and hands each group's pairs, ascending by value, to
    /// `visit(group, pairs)` in group order, skipping the groups `wanted` leaves out when it is
    /// given; the pairs are freed group by group. A group none of whose durations were counted
    /// yet goes to `visit_kept(group, durations)` instead when that is given, the durations in
    /// no order and not counted: a summary's figures are found faster from them.
    void finish_durations(
        const std::vector<bool>* wanted,
        const std::function<void(std::uint32_t, std::span<const CountedDuration>)>& visit,
        const std::function<void(std::uint32_t, std::span<std::uint32_t>)>& visit_kept = {});

    // In fixed blocks: a million groups are never copied to a larger array.
    BlockList<GroupIdentity> identities_;
    BlockList<GroupState> states_;
    FlatIndex index_;
    std::vector<std::uint32_t> numbered_;
    std::uint32_t last_ = 0;

    // Coverage of (group, phase occurrence) pairs.
    BlockList<CoverageSlot> slots_;
    std::vector<CoverageSet> overflow_;
    std::vector<std::uint32_t> free_overflow_;  // sets no slot uses, for the next to need one
    // Made only for a group that has met several occurrences.
    std::vector<OccurrenceIndex> occurrence_indexes_;

    std::vector<GroupDuration> durations_;          // walk order, since they were last counted
    std::vector<std::uint64_t> scattered_samples_;  // by group: its samples at the last count
    // Each group's durations counted so far, ascending by value; made at the first count.
    std::vector<std::vector<CountedDuration>> counted_;
    std::uint64_t counted_total_ = 0;  // entries in `counted_`
    std::uint64_t logged_total_ = 0;   // durations counted into them
    // Counting costs a pass over the counted entries too, so the array may grow to their
    // number before the next count: each sample's share of the work stays constant.
    std::size_t fold_at_ = kFoldAt;
    // (group, tile) each time a group's tile changed after its first; a group that stays on one
    // tile never appears here.
    std::vector<std::uint64_t> tile_changes_;
    bool unique_tiles_ = false;
    bool tile_runs_on_ = false;
    std::vector<CoverageSet> tile_runs_;  // by group, when counting tiles as runs
    bool closing_ = false;
    std::uint32_t open_from_ = 0;  // the first group not yet closed
    // By group, once the first is closed: the covered cycles of its closed occurrences.
    std::vector<std::uint64_t> closed_cycles_;
};

}  // namespace vorn_profile::detail

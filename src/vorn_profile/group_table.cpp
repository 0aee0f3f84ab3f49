#include "group_table.hpp"

#include <algorithm>
#include <iterator>

#include "group_order.hpp"
#include "summary.hpp"

namespace vorn_profile::detail {

std::uint32_t GroupTable::coverage_slot(std::uint32_t group, GroupState& state,
                                        std::uint64_t occurrence) {
    if (state.coverage == FlatIndex::kNone) {
        return new_slot(group, state, occurrence, FlatIndex::kNone);
    }
    if (state.occurrences == FlatIndex::kNone) {
        // The group leaves its first occurrence.
        state.occurrences = static_cast<std::uint32_t>(occurrence_indexes_.size());
        OccurrenceIndex& index = occurrence_indexes_.emplace_back();
        index.latest_occurrence = slots_[state.coverage].occurrence;
        index.newest = state.coverage;
    }
    OccurrenceIndex& index = occurrence_indexes_[state.occurrences];
    if (occurrence > index.latest_occurrence) {
        index.latest_occurrence = occurrence;
        return index.newest = new_slot(group, state, occurrence, index.newest);
    }
    file_new_slots(index);
    const auto [position, added] = index.slots.find_or_add(
        FlatIndex::mix(occurrence), static_cast<std::uint32_t>(slots_.size()),
        [&](std::uint32_t at) { return slots_[at].occurrence == occurrence; });
    if (!added) {
        return position;
    }
    index.newest = index.newest_filed = new_slot(group, state, occurrence, index.newest);
    return position;
}

std::uint32_t GroupTable::new_slot(std::uint32_t group, GroupState& state, std::uint64_t occurrence,
                                   std::uint32_t previous) {
    // A new slot holds the empty run [0, 0), which the first interval replaces.
    slots_.push_back({{}, occurrence, group, FlatIndex::kNone, FlatIndex::kNone, previous});
    state.phase_count += 1;
    return static_cast<std::uint32_t>(slots_.size() - 1);
}

void GroupTable::file_new_slots(OccurrenceIndex& index) {
    // Every slot a group made has its own occurrence, so each is simply added.
    for (std::uint32_t at = index.newest; at != index.newest_filed && at != FlatIndex::kNone;
         at = slots_[at].previous) {
        const std::uint64_t occurrence = slots_[at].occurrence;
        index.slots.find_or_add(FlatIndex::mix(occurrence), at,
                                [](std::uint32_t) { return false; });
    }
    index.newest_filed = index.newest;
}

void GroupTable::cover_slow(CoverageSlot& slot, std::uint64_t start, std::uint64_t end) {
    if (slot.overflow != FlatIndex::kNone) {
        CoverageSet& set = overflow_[slot.overflow];
        set.add(start, end);
        if (const Interval* run = set.single_run()) {
            // Its runs closed up: the slot holds the run again, and the set waits for reuse.
            slot.run = *run;
            set = CoverageSet();
            free_overflow_.push_back(slot.overflow);
            slot.overflow = FlatIndex::kNone;
        }
    } else if (slot.run.start == slot.run.end) {
        slot.run = {start, end};  // an empty run covers nothing and gives way
    } else if (start != end) {
        // A second run apart from the first.
        if (free_overflow_.empty()) {
            slot.overflow = static_cast<std::uint32_t>(overflow_.size());
            overflow_.emplace_back();
        } else {
            slot.overflow = free_overflow_.back();
            free_overflow_.pop_back();
        }
        CoverageSet& set = overflow_[slot.overflow];
        set.add(slot.run.start, slot.run.end);
        set.add(start, end);
    }
}

void GroupTable::note_tile(std::uint32_t group, GroupState& state, std::uint32_t tile) {
    if (tile_runs_on_) {
        tile_runs_[group].add(tile, std::uint64_t{tile} + 1);
    } else if (state.sample_count > 0 && unique_tiles_) {
        // A group's tile changes only between tile records, and no two records share a tile.
        state.tile_changes += 1;
    } else if (state.sample_count > 0) {
        if (state.tile_changes == 0) {
            tile_changes_.push_back(std::uint64_t{group} << 32 | state.last_tile);
            state.tile_changes = 1;
        }
        tile_changes_.push_back(std::uint64_t{group} << 32 | tile);
        state.tile_changes += 1;
    }
    state.last_tile = tile;
}

void GroupTable::close_open_groups() {
    if (open_from_ == states_.size()) {
        return;
    }
    // Every slot is an open group's: the groups before them were closed.
    closed_cycles_.resize(states_.size(), 0);
    for (std::uint32_t at = 0; at < slots_.size(); ++at) {
        const CoverageSlot& slot = slots_[at];
        closed_cycles_[slot.group] += slot.overflow == FlatIndex::kNone
                                          ? slot.run.end - slot.run.start
                                          : overflow_[slot.overflow].length();
    }
    slots_.forget();
    overflow_.clear();
    free_overflow_.clear();
    occurrence_indexes_.clear();
    for (std::uint32_t group = open_from_; group < states_.size(); ++group) {
        states_[group].coverage = FlatIndex::kNone;
        states_[group].guess = FlatIndex::kNone;
        states_[group].occurrences = FlatIndex::kNone;
    }
    open_from_ = states_.size();
}

GroupTable::ScatteredDurations GroupTable::scatter_durations(bool last) {
    const std::uint32_t count = states_.size();
    counted_.resize(count);
    // The durations each group's together, in walk order.
    ScatteredDurations scattered;
    scattered.begin.assign(std::size_t{count} + 1, 0);
    std::vector<std::uint64_t>& begin = scattered.begin;
    // Every sample added kept one duration: a group kept as many as it gained samples since.
    scattered_samples_.resize(count, 0);
    for (std::uint32_t group = 0; group < count; ++group) {
        const std::uint64_t samples = states_[group].sample_count;
        begin[group + 1] = begin[group] + (samples - scattered_samples_[group]);
        scattered_samples_[group] = samples;
    }
    scattered.values.resize(durations_.size());
    {
        std::vector<std::uint64_t> cursor(begin.begin(), begin.end() - 1);
        for (const GroupDuration& entry : durations_) {
            scattered.values[cursor[entry.group]++] = entry.duration;
        }
    }
    if (last) {
        durations_ = {};
    } else {
        durations_.clear();
    }
    return scattered;
}

void GroupTable::count_durations() {
    ScatteredDurations scattered = scatter_durations(false);
    std::vector<std::uint32_t> scratch;
    std::vector<CountedDuration> merged;
    for (std::uint32_t group = 0; group < counted_.size(); ++group) {
        const std::span<std::uint32_t> values = scattered.of(group);
        if (values.empty()) {
            continue;
        }
        std::vector<CountedDuration>& counted = counted_[group];
        merged.clear();
        detail::count_durations(counted, values, states_[group].maximum, scratch, merged);
        counted_total_ += merged.size() - counted.size();
        counted = merged;
    }
    // Counting pays while durations repeat within their groups. When they hardly do (many
    // small groups), the rest are kept as they come and counted once at the end.
    logged_total_ += scattered.values.size();
    if (counted_total_ * 2 > logged_total_) {
        fold_at_ = SIZE_MAX;
    } else {
        fold_at_ = static_cast<std::size_t>(std::max<std::uint64_t>(kFoldAt, counted_total_));
    }
}

void GroupTable::finish_durations(
    const std::vector<bool>* wanted,
    const std::function<void(std::uint32_t, std::span<const CountedDuration>)>& visit,
    const std::function<void(std::uint32_t, std::span<std::uint32_t>)>& visit_kept) {
    ScatteredDurations scattered = scatter_durations(true);
    std::vector<std::uint32_t> scratch;
    std::vector<CountedDuration> merged;
    for (std::uint32_t group = 0; group < counted_.size(); ++group) {
        std::vector<CountedDuration>& counted = counted_[group];
        if (wanted == nullptr || (*wanted)[group]) {
            const std::span<std::uint32_t> values = scattered.of(group);
            if (values.empty()) {
                visit(group, counted);
            } else if (visit_kept && counted.empty()) {
                visit_kept(group, values);
            } else if (visit_kept && hardly_repeat(std::span<const CountedDuration>(counted))) {
                scratch.assign(values.begin(), values.end());
                for (const CountedDuration& entry : counted) {
                    scratch.insert(scratch.end(), entry.count, entry.value);
                }
                visit_kept(group, scratch);
            } else {
                merged.clear();
                detail::count_durations(counted, values, states_[group].maximum, scratch, merged);
                visit(group, merged);
            }
        }
        // Each group's pairs go as soon as they are handed on, so that all of them are never
        // held at once beside what they are handed to.
        counted = {};
    }
    counted_ = {};
}

std::vector<GroupSummary> GroupTable::summaries(const Query& query, const GroupNaming& naming,
                                                std::uint64_t clock_hz) {
    const std::size_t count = states_.size();
    std::uint64_t matched_work = 0;
    for (std::size_t group = 0; group < count; ++group) {
        matched_work += states_[group].work_cycles;
    }

    std::vector<std::uint64_t> phase_cycles(count, 0);
    std::copy(closed_cycles_.begin(), closed_cycles_.end(), phase_cycles.begin());
    for (std::uint32_t at = 0; at < slots_.size(); ++at) {
        const CoverageSlot& slot = slots_[at];
        phase_cycles[slot.group] += slot.overflow == FlatIndex::kNone
                                        ? slot.run.end - slot.run.start
                                        : overflow_[slot.overflow].length();
    }
    slots_.clear();
    overflow_ = {};
    free_overflow_ = {};
    occurrence_indexes_ = {};

    std::vector<std::uint32_t> tile_count(count, 1);
    if (tile_runs_on_) {
        for (std::size_t group = 0; group < count; ++group) {
            tile_count[group] = static_cast<std::uint32_t>(tile_runs_[group].length());
        }
        tile_runs_ = {};
    } else if (unique_tiles_) {
        for (std::size_t group = 0; group < count; ++group) {
            tile_count[group] += states_[group].tile_changes;
        }
    }
    std::sort(tile_changes_.begin(), tile_changes_.end());
    for (std::size_t at = 0; at < tile_changes_.size(); ++at) {
        const auto group = static_cast<std::uint32_t>(tile_changes_[at] >> 32);
        if (at == 0 || (tile_changes_[at - 1] >> 32) != group) {
            tile_count[group] = 1;
        } else if (tile_changes_[at - 1] != tile_changes_[at]) {
            tile_count[group] += 1;
        }
    }
    tile_changes_ = {};

    const std::vector<std::uint32_t> order = order_groups(
        query, naming, count,
        [&](std::uint32_t group) {
            const GroupState& state = states_[group];
            return GroupOrderKey{phase_cycles[group], state.work_cycles, state.sample_count,
                                 state.first_offset, state.maximum};
        },
        [&](std::uint32_t group) -> const GroupIdentity& { return identities_[group]; });
    const std::size_t kept = order.size();

    // Only the kept groups' durations are wanted now.
    std::vector<bool> wanted(count, false);
    std::vector<std::uint32_t> place(count, 0);  // of a kept group in the order
    for (std::size_t i = 0; i < kept; ++i) {
        wanted[order[i]] = true;
        place[order[i]] = static_cast<std::uint32_t>(i);
    }
    std::vector<DurationFigures> figures(kept);
    finish_durations(
        &wanted,
        [&](std::uint32_t group, std::span<const CountedDuration> counted) {
            figures[place[group]] = duration_figures(counted, query.percentiles);
        },
        [&](std::uint32_t group, std::span<std::uint32_t> kept) {
            figures[place[group]] = duration_figures(kept, query.percentiles);
        });
    std::vector<GroupSummary> summaries;
    summaries.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) {
        const std::uint32_t group = order[i];
        const GroupState& state = states_[group];
        GroupTotals totals;
        totals.tile_count = tile_count[group];
        totals.phase_count = state.phase_count;
        totals.phase_cycles = phase_cycles[group];
        totals.work_cycles = state.work_cycles;
        totals.first_offset = state.first_offset;
        totals.last_offset = state.last_offset;
        GroupSummary& summary = summaries.emplace_back(
            make_summary(naming.name(identities_[group]), naming.dimensions(identities_[group]),
                         figures[i], totals, clock_hz));
        summary.share = share_of(state.work_cycles, matched_work);
        summary.keys = naming.keys(identities_[group]);
    }
    return summaries;
}

PartialGroups GroupTable::take_partial() {
    const std::uint32_t count = states_.size();
    PartialGroups partial;
    partial.groups.reserve(count);
    for (std::uint32_t group = 0; group < count; ++group) {
        const GroupState& state = states_[group];
        PartialGroup& kept = partial.groups.emplace_back(
            PartialGroup{identities_[group], state.sample_count, state.work_cycles,
                         state.first_offset, state.last_offset, state.maximum});
        if (group < closed_cycles_.size()) {
            kept.closed_phase_count = state.phase_count;
            kept.closed_phase_cycles = closed_cycles_[group];
        }
    }

    // Tiles: a group whose tile never changed was on its last tile alone; the others have
    // every tile they were on among the changes, which are put together group by group in walk
    // order (usually ascending already: tile records tend to come in tile order).
    std::vector<std::uint64_t> change_begin(std::size_t{count} + 1, 0);
    for (const std::uint64_t change : tile_changes_) {
        ++change_begin[(change >> 32) + 1];
    }
    for (std::uint32_t group = 0; group < count; ++group) {
        change_begin[group + 1] += change_begin[group];
    }
    std::vector<std::uint32_t> changed_tiles(tile_changes_.size());
    {
        std::vector<std::uint64_t> cursor(change_begin.begin(), change_begin.end() - 1);
        for (const std::uint64_t change : tile_changes_) {
            changed_tiles[cursor[change >> 32]++] = static_cast<std::uint32_t>(change);
        }
    }
    tile_changes_ = {};
    partial.tiles.begin.reserve(std::size_t{count} + 1);
    partial.tiles.items.reserve(changed_tiles.size() + count);
    std::vector<Interval> runs;
    for (std::uint32_t group = 0; group < count; ++group) {
        if (tile_runs_on_) {
            runs.clear();
            tile_runs_[group].append_union_to(runs);
            for (const Interval& run : runs) {
                for (std::uint64_t tile = run.start; tile < run.end; ++tile) {
                    partial.tiles.items.push_back(static_cast<std::uint32_t>(tile));
                }
            }
            partial.tiles.close();
            continue;
        }
        const auto first = changed_tiles.begin() + static_cast<std::ptrdiff_t>(change_begin[group]);
        const auto last =
            changed_tiles.begin() + static_cast<std::ptrdiff_t>(change_begin[group + 1]);
        if (first == last) {
            partial.tiles.items.push_back(states_[group].last_tile);
        } else {
            if (!std::is_sorted(first, last)) {
                std::sort(first, last);
            }
            std::unique_copy(first, last, std::back_inserter(partial.tiles.items));
        }
        partial.tiles.close();
    }
    tile_runs_ = {};

    // Coverage: each group's slots in ascending order of their occurrences.
    std::vector<std::uint32_t> slot_begin(std::size_t{count} + 1, 0);
    for (std::uint32_t at = 0; at < slots_.size(); ++at) {
        ++slot_begin[slots_[at].group + 1];
    }
    for (std::uint32_t group = 0; group < count; ++group) {
        slot_begin[group + 1] += slot_begin[group];
    }
    std::vector<std::uint32_t> by_group(slots_.size());
    {
        std::vector<std::uint32_t> cursor(slot_begin.begin(), slot_begin.end() - 1);
        for (std::uint32_t at = 0; at < slots_.size(); ++at) {
            by_group[cursor[slots_[at].group]++] = at;
        }
    }
    for (std::uint32_t group = 0; group < count; ++group) {
        const auto first = by_group.begin() + slot_begin[group];
        const auto last = by_group.begin() + slot_begin[group + 1];
        const auto by_occurrence = [&](std::uint32_t left, std::uint32_t right) {
            return slots_[left].occurrence < slots_[right].occurrence;
        };
        if (!std::is_sorted(first, last, by_occurrence)) {
            std::sort(first, last, by_occurrence);
        }
        for (auto at = first; at != last; ++at) {
            const CoverageSlot& slot = slots_[*at];
            partial.occurrences.items.push_back(slot.occurrence);
            if (slot.overflow != FlatIndex::kNone) {
                overflow_[slot.overflow].append_union_to(partial.coverage.items);
            } else if (slot.run.start != slot.run.end) {
                partial.coverage.items.push_back(slot.run);
            }
            partial.coverage.close();
        }
        partial.occurrences.close();
    }
    slots_.clear();
    overflow_ = {};
    free_overflow_ = {};
    occurrence_indexes_ = {};

    // Durations: a group's counted pairs as runs, and the values kept since the last count as
    // they are once counting has shown that durations hardly repeat, overall and in the group;
    // otherwise, or before any count, they are counted into the runs. The values left uncounted
    // move to the front of the scattered array in place, which the partial then keeps, so that
    // the durations of groups that hardly repeat are never copied.
    const bool hardly_repeating = logged_total_ > 0 && fold_at_ == SIZE_MAX;
    ScatteredDurations scattered = scatter_durations(true);
    partial.durations.begin.reserve(std::size_t{count} + 1);
    partial.durations.items.reserve(counted_total_ + scattered.values.size());
    partial.uncounted.begin.reserve(std::size_t{count} + 1);
    std::vector<std::uint32_t> scratch;
    std::vector<CountedDuration> merged;
    std::uint64_t kept = 0;  // the values left uncounted so far
    for (std::uint32_t group = 0; group < count; ++group) {
        std::vector<CountedDuration>& counted = counted_[group];
        const std::span<std::uint32_t> values = scattered.of(group);
        if (hardly_repeating && hardly_repeat(std::span<const CountedDuration>(counted))) {
            append_duration_runs(counted, partial.durations.items);
            if (kept != scattered.begin[group]) {
                std::copy(values.begin(), values.end(),
                          scattered.values.begin() + static_cast<std::ptrdiff_t>(kept));
            }
            kept += values.size();
        } else {
            merged.clear();
            detail::count_durations(counted, values, states_[group].maximum, scratch, merged);
            append_duration_runs(merged, partial.durations.items);
        }
        partial.durations.close();
        partial.uncounted.begin.push_back(kept);  // the items come at the end
        counted = {};
    }
    counted_ = {};
    scattered.values.resize(kept);
    partial.uncounted.items = std::move(scattered.values);
    return partial;
}

}  // namespace vorn_profile::detail

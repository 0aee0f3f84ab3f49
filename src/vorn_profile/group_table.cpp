#include "group_table.hpp"

#include <algorithm>
#include <numeric>

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
        overflow_[slot.overflow].add(start, end);
    } else if (slot.run.start == slot.run.end) {
        slot.run = {start, end};  // an empty run covers nothing and gives way
    } else if (start != end) {
        // A second run apart from the first.
        slot.overflow = static_cast<std::uint32_t>(overflow_.size());
        CoverageSet& set = overflow_.emplace_back();
        set.add(slot.run.start, slot.run.end);
        set.add(start, end);
    }
}

void GroupTable::note_tile(std::uint32_t group, GroupState& state, std::uint32_t tile) {
    if (state.sample_count > 0 && unique_tiles_) {
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

std::vector<GroupSummary> GroupTable::summaries(const Query& query, std::uint64_t clock_hz) {
    const std::size_t count = states_.size();

    std::vector<std::uint64_t> phase_cycles(count, 0);
    for (std::uint32_t at = 0; at < slots_.size(); ++at) {
        const CoverageSlot& slot = slots_[at];
        phase_cycles[slot.group] += slot.overflow == FlatIndex::kNone
                                        ? slot.run.end - slot.run.start
                                        : overflow_[slot.overflow].length();
    }
    slots_.clear();
    overflow_ = {};
    occurrence_indexes_ = {};

    std::vector<std::uint32_t> tile_count(count, 1);
    if (unique_tiles_) {
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

    // Order group numbers, not summaries; names are made only for ties and name orderings.
    const auto name_of = [&](std::uint32_t group, NameBuffer& buffer) {
        return name_view(query.group_by, identities_[group], buffer);
    };
    const auto before = [&](std::uint32_t left, std::uint32_t right) {
        const GroupState& a = states_[left];
        const GroupState& b = states_[right];
        NameBuffer left_buffer;
        NameBuffer right_buffer;
        switch (query.sort_by) {
            case SortBy::PhaseCycles:
                if (phase_cycles[left] != phase_cycles[right]) {
                    return phase_cycles[left] > phase_cycles[right];
                }
                break;
            case SortBy::WorkCycles:
                if (a.work_cycles != b.work_cycles) {
                    return a.work_cycles > b.work_cycles;
                }
                break;
            case SortBy::MaximumCycles:
                if (a.maximum != b.maximum) {
                    return a.maximum > b.maximum;
                }
                break;
            case SortBy::Samples:
                if (a.sample_count != b.sample_count) {
                    return a.sample_count > b.sample_count;
                }
                break;
            case SortBy::Name: {
                const int order = name_of(left, left_buffer).compare(name_of(right, right_buffer));
                if (order != 0) {
                    return order < 0;
                }
                break;
            }
        }
        if (a.first_offset != b.first_offset) {
            return a.first_offset < b.first_offset;
        }
        return name_of(left, left_buffer).compare(name_of(right, right_buffer)) < 0;
    };
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0U);
    const std::size_t kept =
        query.limit && *query.limit < count ? static_cast<std::size_t>(*query.limit) : count;
    // Names are unique, so the order is total and any sort gives the one result. A heap keeps
    // a few groups cheaply; for many, selecting them and sorting those is faster.
    const auto cut = order.begin() + static_cast<std::ptrdiff_t>(kept);
    if (kept <= count / 16) {
        std::partial_sort(order.begin(), cut, order.end(), before);
    } else {
        std::nth_element(order.begin(), cut, order.end(), before);
        std::sort(order.begin(), cut, before);
    }
    order.resize(kept);

    // The durations of the kept groups, each group's together, in walk order.
    std::vector<std::uint32_t> rank(count, FlatIndex::kNone);
    std::vector<std::uint64_t> begin(kept + 1, 0);
    for (std::size_t i = 0; i < kept; ++i) {
        rank[order[i]] = static_cast<std::uint32_t>(i);
        begin[i + 1] = begin[i] + states_[order[i]].sample_count;
    }
    std::vector<std::uint32_t> durations(begin[kept]);
    std::vector<std::uint64_t> cursor(begin.begin(), begin.end() - 1);
    for (const GroupDuration& entry : durations_) {
        const std::uint32_t at = rank[entry.group];
        if (at != FlatIndex::kNone) {
            durations[cursor[at]++] = entry.duration;
        }
    }
    durations_ = {};

    const std::string_view metadata_key = metadata_key_of(query);
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
        summaries.push_back(make_summary(
            group_name(query.group_by, identities_[group]),
            group_dimensions(query.group_by, metadata_key, identities_[group]),
            std::span(durations).subspan(begin[i], begin[i + 1] - begin[i]), totals, clock_hz));
    }
    return summaries;
}

}  // namespace vorn_profile::detail

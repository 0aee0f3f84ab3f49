#include "group_table.hpp"

#include <algorithm>
#include <numeric>

#include "summary.hpp"

namespace vorn_profile::detail {
namespace {}  // namespace

std::uint32_t GroupTable::coverage_slot(std::uint32_t group, GroupState& state,
                                        std::uint64_t occurrence) {
    if (state.coverage != FlatIndex::kNone) {
        // A group's own index of its occurrences, made when it leaves its first one. It stays
        // small and close at hand while the walk is on the group's samples.
        if (state.occurrences == FlatIndex::kNone) {
            state.occurrences = static_cast<std::uint32_t>(occurrence_indexes_.size());
            occurrence_indexes_.emplace_back().find_or_add(slots_[state.coverage].occurrence,
                                                           state.coverage, slots_);
        }
        const auto [position, added] = occurrence_indexes_[state.occurrences].find_or_add(
            occurrence, static_cast<std::uint32_t>(slots_.size()), slots_);
        if (!added) {
            return position;
        }
    }
    // A new slot holds the empty run [0, 0), which the first interval replaces.
    slots_.push_back({{}, occurrence, group, FlatIndex::kNone, FlatIndex::kNone});
    state.phase_count += 1;
    return static_cast<std::uint32_t>(slots_.size() - 1);
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
    // Names are unique, so the order is total and any sort gives the one result.
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(kept), order.end(),
                      before);
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

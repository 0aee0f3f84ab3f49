// The walk's view of a profile held as columns. What depends only on a sample's step (the kind,
// kernel, operation and metadata criteria, and the group of a kind, kernel, operation or
// metadata grouping) is worked out once per distinct step before the walk, so that the walk
// itself reads a few numbers per sample.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "group_table.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/query.hpp"
#include "walk.hpp"

namespace vorn_profile::detail {

class ColumnSource {
public:
    using Ref = std::uint64_t;  // the sample's number in the columns

    ColumnSource(const vorn_package::ProfileColumns& columns, const Query& query,
                 GroupTable& groups);

    std::uint64_t tile_count() const { return columns_.tile_count(); }
    std::uint64_t sample_count() const { return columns_.sample_count(); }
    TileNumbers tile_numbers() const {
        return survey_tiles({columns_.tile_physical.begin(), columns_.tile_physical.end()});
    }
    std::uint64_t enter_tile(std::uint64_t t) {
        begin_ = columns_.tile_sample_begin[t];
        physical_ = columns_.tile_physical[t];
        tile_admitted_ = query_.tiles.empty() || query_.tiles.contains(physical_);
        tile_group_ = kNoGroup;
        for (const std::uint32_t number : record_numbers_) {
            record_groups_[number] = kNoGroup;
        }
        record_numbers_.clear();
        end_ = columns_.tile_sample_begin[t + 1];
        return end_ - begin_;
    }

    std::uint32_t physical_tile() const { return physical_; }
    std::uint32_t start(std::uint64_t i) const { return columns_.start_cycle[begin_ + i]; }
    std::uint32_t duration(std::uint64_t i) const {
        return columns_.end_cycle[begin_ + i] - columns_.start_cycle[begin_ + i];
    }
    void prefetch(std::uint64_t) const {}
    bool matches(std::uint64_t i, std::uint64_t offset, std::uint32_t sample_duration) const {
        if (!filtering_) {
            return true;
        }
        // The point in time first: it leaves out nearly every sample, from what is read already.
        if (query_.at_offset) {
            const std::uint64_t point = *query_.at_offset;
            // Saturating, as the record filter does.
            const std::uint64_t end =
                offset > UINT64_MAX - sample_duration ? UINT64_MAX : offset + sample_duration;
            if (point < offset || end <= point) {
                return false;
            }
        }
        const std::uint64_t at = begin_ + i;
        if (!tile_admitted_ || step_admitted_[columns_.step[at]] == 0) {
            return false;
        }
        if ((!phase_bits_.empty() || !phase_list_.empty()) && !phase_admitted(columns_.phase[at])) {
            return false;
        }
        return epoch_list_.empty() ||
               std::binary_search(epoch_list_.begin(), epoch_list_.end(), columns_.epoch[at]);
    }

    /// Phase and epoch as one number: epoch << 32 | phase.
    std::uint64_t occurrence(std::uint64_t i) const {
        const std::uint64_t at = begin_ + i;
        return (std::uint64_t{columns_.epoch[at]} << 32) | columns_.phase[at];
    }
    std::uint32_t group(GroupTable& groups, std::uint64_t i, std::uint64_t offset) {
        const std::uint64_t at = begin_ + i;
        switch (grouping_) {
            case Grouping::Phase: {
                const std::uint64_t key = phase_key(at);
                PhaseGroup& known = phase_groups_[phase_slot(key)];
                if (known.group == kNoGroup || known.key != key) {
                    known = {key, groups.find_or_add({{}, key}, offset)};
                }
                return known.group;
            }
            case Grouping::Tile:
                if (tile_group_ == kNoGroup) {
                    tile_group_ = groups.find_or_add({{}, physical_}, offset);
                }
                return tile_group_;
            case Grouping::Step: {
                const std::uint32_t number = step_group_[columns_.step[at]];
                return groups.find_or_add_numbered(number, group_identities_[number], offset);
            }
            case Grouping::Several:
                if (!record_groups_.empty()) {
                    const std::uint32_t number = step_group_[columns_.step[at]];
                    std::uint32_t& group = record_groups_[number];
                    if (group == kNoGroup) {
                        group = groups.find_or_add(several_identity(at), offset);
                        record_numbers_.push_back(number);
                    }
                    return group;
                }
                return groups.find_or_add(several_identity(at), offset);
        }
        return 0;
    }
    /// Asks for what finds sample `i`'s group, when the tile has it. Only phase groups are
    /// looked up by hash; the others are numbered.
    void prefetch_group(const GroupTable&, std::uint64_t i) const {
        const std::uint64_t at = begin_ + i;
        if (grouping_ == Grouping::Phase && at < end_) {
            __builtin_prefetch(&phase_groups_[phase_slot(phase_key(at))]);
        }
    }
    Ref ref(std::uint64_t i) const { return begin_ + i; }
    GroupNaming naming() const { return GroupNaming(query_, &columns_); }

    SampleRecord record(std::uint32_t tile, std::uint64_t offset, std::uint32_t sample_duration,
                        Ref sample) const;

private:
    static constexpr std::uint32_t kNoGroup = UINT32_MAX;

    /// How a sample finds its group: by phase occurrence, by tile, by a number its step was
    /// given before the walk, or by several keys at once.
    enum class Grouping { Phase, Tile, Step, Several };

    /// A group by phase occurrence, as the last sample with its key found it.
    struct PhaseGroup {
        std::uint64_t key = 0;
        std::uint32_t group = kNoGroup;
    };
    // Phase groups remembered, by epoch and phase (see `phase_slot`): a few thousand
    // occurrences are in reach at any point of the walk, of many thousands in a long profile,
    // so most samples find their group here without hashing their identity into the group
    // index. At most 256 KiB, and no more entries than the profile has samples.
    static constexpr unsigned kPhaseGroupBits = 14;

    std::uint64_t phase_key(std::uint64_t at) const {
        return (std::uint64_t{columns_.phase[at]} << 32) | columns_.epoch[at];
    }
    /// Where a phase group is remembered: epochs in turn, room for 16 phases each. The
    /// occurrences a stretch of the walk meets are the phases of a few consecutive epochs,
    /// which so lie together in a few lines of the table.
    std::size_t phase_slot(std::uint64_t key) const {
        const auto phase = static_cast<std::uint32_t>(key >> 32);
        const auto epoch = static_cast<std::uint32_t>(key);
        return ((std::size_t{epoch} << 4) + phase) & phase_mask_;
    }

    GroupIdentity several_identity(std::uint64_t at) const {
        const std::uint64_t occurrence =
            by_phase_ ? (std::uint64_t{columns_.phase[at]} << 32) | columns_.epoch[at] : 0;
        const std::uint64_t step = step_group_.empty() ? 0 : step_group_[columns_.step[at]];
        return {{}, occurrence, (step << 32) | (by_tile_ ? physical_ : 0)};
    }

    bool phase_admitted(std::uint32_t phase) const;
    void group_several(const vorn_package::ProfileColumns& columns, const Query& query);

    const vorn_package::ProfileColumns& columns_;
    const Query& query_;
    bool filtering_ = false;
    std::vector<std::uint8_t> step_admitted_;  // by step number: passes the step's criteria
    std::vector<std::uint64_t> phase_bits_;    // the phase set as bits, when its numbers are small
    std::vector<std::uint32_t> phase_list_;    // otherwise as a sorted list
    std::vector<std::uint32_t> epoch_list_;    // the epoch set, sorted
    Grouping grouping_ = Grouping::Step;
    bool by_phase_ = false;  // several keys: phase is one of them
    bool by_tile_ = false;   // several keys: tile is one of them
    // By step number: the group's number, or with several keys the representative step of
    // the step's names under the keys that depend on the step alone.
    std::vector<std::uint32_t> step_group_;
    std::vector<GroupIdentity> group_identities_;
    std::vector<PhaseGroup> phase_groups_;  // when grouping by phase alone
    std::size_t phase_mask_ = 0;            // their number - 1
    // Several keys, the tile among them and the phase not: within one tile record a group
    // follows from the step's number alone, so the record's groups are kept by that number
    // (emptied again at the next record), and the groups' index is asked once a record each.
    std::vector<std::uint32_t> record_groups_;
    std::vector<std::uint32_t> record_numbers_;  // the numbers given a group in this record
    std::uint64_t begin_ = 0;
    std::uint64_t end_ = 0;
    std::uint32_t physical_ = 0;
    bool tile_admitted_ = true;
    std::uint32_t tile_group_ = kNoGroup;
};

}  // namespace vorn_profile::detail

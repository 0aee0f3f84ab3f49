// The groups of one query while the walk goes on: their running totals, and how a sample
// finds its group.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "coverage.hpp"
#include "flat_index.hpp"
#include "grouping.hpp"
#include "summary.hpp"

namespace vorn_profile::detail {

/// One group's coverage per phase occurrence. Each group has its own index, which stays small
/// and close at hand while the walk is on the group's samples.
class OccurrenceCoverage {
public:
    CoverageSet& find_or_add(std::uint64_t occurrence) {
        const auto [position, added] = index_.find_or_add(
            FlatIndex::mix(occurrence), static_cast<std::uint32_t>(coverages_.size()),
            [](std::uint32_t) { return true; });
        if (added) {
            coverages_.emplace_back();
        }
        return coverages_[position];
    }

    std::vector<CoverageSet>& coverages() { return coverages_; }

private:
    FlatIndex index_;
    std::vector<CoverageSet> coverages_;
};

/// Running totals of one group. Unlike `Accumulator` it keeps no sets or maps: tiles are
/// appended and sorted once at the end, and the intervals go straight into the coverage of
/// their phase occurrence.
struct GroupState {
    GroupIdentity identity;
    std::vector<std::uint32_t> durations;
    std::vector<std::uint32_t> tiles;
    std::uint64_t work_cycles = 0;
    std::uint64_t first_offset = 0;
    std::uint64_t last_offset = 0;
    OccurrenceCoverage occurrences;
    // The coverage of this group's previous sample: consecutive samples often share it.
    CoverageSet* last_coverage = nullptr;
    std::uint64_t last_occurrence = 0;

    void add(std::uint32_t tile, std::uint64_t occurrence, std::uint64_t offset,
             std::uint32_t sample_duration) {
        if (last_coverage == nullptr || last_occurrence != occurrence) {
            last_coverage = &occurrences.find_or_add(occurrence);
            last_occurrence = occurrence;
        }
        last_coverage->add(offset, offset + sample_duration);
        durations.push_back(sample_duration);
        if (tiles.empty() || tiles.back() != tile) {
            tiles.push_back(tile);
        }
        work_cycles += sample_duration;
        first_offset = std::min(first_offset, offset);
        last_offset = std::max(last_offset, offset + sample_duration);
    }

    GroupTotals totals() {
        std::sort(tiles.begin(), tiles.end());
        tiles.erase(std::unique(tiles.begin(), tiles.end()), tiles.end());
        GroupTotals result;
        result.tile_count = tiles.size();
        result.phase_count = occurrences.coverages().size();
        for (CoverageSet& coverage : occurrences.coverages()) {
            result.phase_cycles += coverage.length();
        }
        result.work_cycles = work_cycles;
        result.first_offset = first_offset;
        result.last_offset = last_offset;
        return result;
    }
};

/// The groups met so far, in order of first appearance. A sample finds its group by identity
/// (hashed), or, where a source has numbered the possible groups beforehand, by that number.
class GroupTable {
public:
    /// The group of `identity`, created with `offset` as its first offset when it is new.
    std::uint32_t find_or_add(const GroupIdentity& identity, std::uint64_t offset) {
        // Consecutive matched samples often share a group.
        if (last_ < states_.size() && states_[last_].identity == identity) {
            return last_;
        }
        // FNV-1a: group texts are short, and an inline loop beats a library call here.
        std::uint64_t hash = identity.number ^ 0xcbf29ce484222325ULL;
        for (const char byte : identity.text) {
            hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ULL;
        }
        const auto [position, added] =
            index_.find_or_add(FlatIndex::mix(hash), static_cast<std::uint32_t>(states_.size()),
                               [&](std::uint32_t at) { return states_[at].identity == identity; });
        if (added) {
            add_state(identity, offset);
        }
        return last_ = position;
    }

    /// Makes room for groups numbered 0 .. `count` - 1 by the caller, for `find_or_add_numbered`.
    void number_groups(std::size_t count) { numbered_.assign(count, FlatIndex::kNone); }

    /// The group the caller numbered `number`, whose identity is `identity`.
    std::uint32_t find_or_add_numbered(std::uint32_t number, const GroupIdentity& identity,
                                       std::uint64_t offset) {
        std::uint32_t& position = numbered_[number];
        if (position == FlatIndex::kNone) {
            position = static_cast<std::uint32_t>(states_.size());
            add_state(identity, offset);
        }
        return position;
    }

    std::vector<GroupState>& states() { return states_; }

private:
    void add_state(const GroupIdentity& identity, std::uint64_t offset) {
        GroupState& state = states_.emplace_back();
        state.identity = identity;
        state.first_offset = offset;
    }

    FlatIndex index_;
    std::vector<GroupState> states_;
    std::vector<std::uint32_t> numbered_;
    std::uint32_t last_ = 0;
};

}  // namespace vorn_profile::detail

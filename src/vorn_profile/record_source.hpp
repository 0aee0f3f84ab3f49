// The walk's view of a profile held as records.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "group_table.hpp"
#include "grouping.hpp"
#include "patterns.hpp"
#include "vorn_profile/query.hpp"
#include "walk.hpp"

namespace vorn_profile::detail {

class RecordSource {
public:
    using Ref = const vorn_package::CycleSample*;

    RecordSource(const vorn_package::ProfileReport& report, const Query& query)
        : report_(report),
          query_(query),
          metadata_key_(metadata_key_of(query)),
          filtering_(filters_samples(query)),
          patterns_(query),
          reads_metadata_(!query.metadata.empty() || query.group_by == GroupBy::Metadata) {}

    std::uint64_t tile_count() const { return report_.tiles.size(); }
    std::uint64_t sample_count() const {
        std::uint64_t count = 0;
        for (const vorn_package::TileProfile& tile : report_.tiles) {
            count += tile.samples.size();
        }
        return count;
    }
    TileNumbers tile_numbers() const {
        std::vector<std::uint32_t> tiles;
        tiles.reserve(report_.tiles.size());
        for (const vorn_package::TileProfile& tile : report_.tiles) {
            tiles.push_back(tile.physical_tile);
        }
        return survey_tiles(std::move(tiles));
    }
    std::uint64_t enter_tile(std::uint64_t t) {
        const vorn_package::TileProfile& tile = report_.tiles[t];
        physical_ = tile.physical_tile;
        samples_ = tile.samples.data();
        count_ = tile.samples.size();
        return count_;
    }

    std::uint32_t physical_tile() const { return physical_; }
    std::uint32_t start(std::uint64_t i) const { return samples_[i].start_cycle; }
    std::uint32_t duration(std::uint64_t i) const { return vorn_profile::duration(samples_[i]); }
    void prefetch(std::uint64_t i) const {
        // Each step's metadata lives in its own heap block; ask for it ahead of time so that
        // the walk does not stall on it.
        if (reads_metadata_ && i + kPrefetchDistance < count_) {
            __builtin_prefetch(samples_[i + kPrefetchDistance].step.metadata.data());
        }
    }
    bool matches(std::uint64_t i, std::uint64_t offset, std::uint32_t sample_duration) const {
        return !filtering_ || detail::matches_query(query_, patterns_, physical_, samples_[i],
                                                    offset, sample_duration);
    }

    /// Phase and epoch as one number: epoch << 32 | phase.
    std::uint64_t occurrence(std::uint64_t i) const {
        const vorn_package::ProfileStep& step = samples_[i].step;
        return (std::uint64_t{step.epoch} << 32) | step.phase;
    }
    std::uint32_t group(GroupTable& groups, std::uint64_t i, std::uint64_t offset) const {
        return groups.find_or_add(
            group_identity(query_.group_by, metadata_key_, physical_, samples_[i]), offset);
    }
    /// Asks for the index bucket of sample `i`'s group, when the tile has one.
    void prefetch_group(const GroupTable& groups, std::uint64_t i) const {
        if (i < count_) {
            groups.prefetch(group_identity(query_.group_by, metadata_key_, physical_, samples_[i]));
        }
    }
    Ref ref(std::uint64_t i) const { return &samples_[i]; }
    /// Grouped by one key only: several keys are answered over columns.
    GroupNaming naming() const { return GroupNaming(query_, nullptr); }

    SampleRecord record(std::uint32_t tile, std::uint64_t offset, std::uint32_t sample_duration,
                        Ref sample) const {
        return sample_record(Candidate{tile, offset, sample_duration, sample});
    }

private:
    static constexpr std::uint64_t kPrefetchDistance = 8;

    const vorn_package::ProfileReport& report_;
    const Query& query_;
    std::string_view metadata_key_;
    bool filtering_;
    StepPatterns patterns_;
    bool reads_metadata_;
    std::uint32_t physical_ = 0;
    const vorn_package::CycleSample* samples_ = nullptr;
    std::uint64_t count_ = 0;
};

}  // namespace vorn_profile::detail

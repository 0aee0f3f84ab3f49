// The query pipeline: one walk over the profile, filtering, grouping and accumulating, then the
// ordered summaries and the listing.
#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "coverage.hpp"
#include "flat_index.hpp"
#include "grouping.hpp"
#include "listing.hpp"
#include "summary.hpp"

namespace vorn_profile {
namespace {

using detail::CoverageSet;
using detail::GroupIdentity;

/// One group's coverage per phase occurrence. Each group has its own index, which stays small
/// and close at hand while the walk is on the group's samples.
class OccurrenceCoverage {
public:
    CoverageSet& find_or_add(std::uint64_t occurrence) {
        const auto [position, added] = index_.find_or_add(
            detail::FlatIndex::mix(occurrence), static_cast<std::uint32_t>(coverages_.size()),
            [](std::uint32_t) { return true; });
        if (added) {
            coverages_.emplace_back();
        }
        return coverages_[position];
    }

    std::vector<CoverageSet>& coverages() { return coverages_; }

private:
    detail::FlatIndex index_;
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

    detail::GroupTotals totals() {
        std::sort(tiles.begin(), tiles.end());
        tiles.erase(std::unique(tiles.begin(), tiles.end()), tiles.end());
        detail::GroupTotals result;
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

/// The groups met so far, in order of first appearance. Consecutive matched samples often
/// share a group, so the last one found is tried before the index.
class GroupTable {
public:
    std::uint32_t find_or_add(const GroupIdentity& identity, std::uint64_t offset) {
        if (last_ < states_.size() && states_[last_].identity == identity) {
            return last_;
        }
        // FNV-1a: group texts are short, and an inline loop beats a library call here.
        std::uint64_t hash = identity.number ^ 0xcbf29ce484222325ULL;
        for (const char byte : identity.text) {
            hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ULL;
        }
        const auto [position, added] = index_.find_or_add(
            detail::FlatIndex::mix(hash), static_cast<std::uint32_t>(states_.size()),
            [&](std::uint32_t at) { return states_[at].identity == identity; });
        if (added) {
            GroupState& state = states_.emplace_back();
            state.identity = identity;
            state.first_offset = offset;
        }
        return last_ = position;
    }

    std::vector<GroupState>& states() { return states_; }

private:
    detail::FlatIndex index_;
    std::vector<GroupState> states_;
    std::uint32_t last_ = 0;
};

constexpr std::size_t kPrefetchDistance = 8;

bool filters_anything(const Query& query) {
    return query.kind || query.kernel || query.operation_contains || !query.tiles.empty() ||
           !query.phases.empty() || query.at_offset || !query.metadata.empty();
}

std::uint64_t phase_occurrence_key(const vorn_package::ProfileStep& step) {
    return (std::uint64_t{step.epoch} << 32) | step.phase;
}

}  // namespace

std::uint32_t duration(const vorn_package::CycleSample& sample) {
    // Unsigned subtraction wraps modulo 2^32: a step during which the counter wrapped still
    // gets its true length.
    return sample.end_cycle - sample.start_cycle;
}

QueryReport query(const vorn_package::ProfileReport& report, const Query& query) {
    QueryReport result;
    result.clock_hz = report.clock_hz;
    result.tile_count = report.tiles.size();
    result.at_offset = query.at_offset;

    const std::string_view metadata_key = detail::metadata_key_of(query);
    GroupTable groups;
    detail::SampleListing listing(query.sample_limit);
    const bool filtering = filters_anything(query);
    const bool reads_metadata = !query.metadata.empty() || query.group_by == GroupBy::Metadata;

    // The span over all samples and the filtered walk share one pass: the span ignores the
    // filter, the walk feeds the groups.
    for (const vorn_package::TileProfile& tile : report.tiles) {
        result.sample_count += tile.samples.size();
        if (tile.samples.empty()) {
            continue;
        }
        const std::uint32_t base = tile.samples.front().start_cycle;
        std::uint64_t tile_end = 0;
        const std::size_t count = tile.samples.size();
        for (std::size_t i = 0; i < count; ++i) {
            const vorn_package::CycleSample& sample = tile.samples[i];
            if (reads_metadata && i + kPrefetchDistance < count) {
                // Each step's metadata lives in its own heap block; ask for it ahead of time so
                // that the walk does not stall on it.
                __builtin_prefetch(tile.samples[i + kPrefetchDistance].step.metadata.data());
            }
            // Offsets wrap modulo 2^32 like the counter; they are never reordered or signed.
            const std::uint64_t offset = static_cast<std::uint32_t>(sample.start_cycle - base);
            const std::uint32_t sample_duration = duration(sample);
            tile_end = std::max(tile_end, offset + sample_duration);
            if (filtering &&
                !matches_query(query, tile.physical_tile, sample, offset, sample_duration)) {
                continue;
            }
            result.matched_sample_count += 1;
            const GroupIdentity identity =
                detail::group_identity(query.group_by, metadata_key, tile.physical_tile, sample);
            const std::uint32_t group = groups.find_or_add(identity, offset);
            groups.states()[group].add(tile.physical_tile, phase_occurrence_key(sample.step),
                                       offset, sample_duration);
            if (query.sample_limit > 0) {
                listing.offer({tile.physical_tile, offset, sample_duration, &sample});
            }
        }
        result.profile_span_cycles = std::max(result.profile_span_cycles, tile_end);
    }
    result.profile_span_ms = cycles_to_ms(result.profile_span_cycles, report.clock_hz);

    result.groups.reserve(groups.states().size());
    for (GroupState& state : groups.states()) {
        const detail::GroupTotals totals = state.totals();
        result.groups.push_back(detail::make_summary(
            detail::group_name(query.group_by, state.identity),
            detail::group_dimensions(query.group_by, metadata_key, state.identity), state.durations,
            totals, report.clock_hz));
        // Release the group's working lists as soon as its summary is built.
        state = GroupState{};
    }
    std::stable_sort(result.groups.begin(), result.groups.end(),
                     [&](const GroupSummary& left, const GroupSummary& right) {
                         return compare_groups(query.sort_by, left, right) < 0;
                     });
    if (query.limit && *query.limit < result.groups.size()) {
        result.groups.resize(static_cast<std::size_t>(*query.limit));
    }
    result.samples = listing.records();
    return result;
}

}  // namespace vorn_profile

namespace vorn_profile {

QueryReport query(const vorn_package::ProfileColumns& columns, const Query& query_) {
    return query(vorn_package::to_report(columns), query_);
}

}  // namespace vorn_profile

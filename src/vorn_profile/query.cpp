// The query pipeline: one walk over the profile, filtering, grouping and accumulating, then the
// ordered summaries and the listing.
#include <algorithm>
#include <functional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "grouping.hpp"
#include "listing.hpp"
#include "summary.hpp"

namespace vorn_profile {
namespace {

using detail::GroupIdentity;

/// One sample's interval, tagged with its phase occurrence packed as epoch << 32 | phase.
/// Sorting by that key brings each occurrence's intervals together; the packing puts the
/// epoch first so that a tile walked in time order usually yields its spans already sorted.
struct Span {
    std::uint64_t occurrence = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;

    friend auto operator<=>(const Span&, const Span&) = default;
};

/// Running totals of one group. Unlike `Accumulator` it keeps no sets or maps: tiles and spans
/// are appended and sorted once at the end, and back-to-back spans are merged on arrival.
struct GroupState {
    GroupIdentity identity;
    std::vector<std::uint32_t> durations;
    std::vector<std::uint32_t> tiles;
    std::vector<Span> spans;
    std::uint64_t work_cycles = 0;
    std::uint64_t first_offset = 0;
    std::uint64_t last_offset = 0;

    void add(std::uint32_t tile, std::uint64_t occurrence, std::uint64_t offset,
             std::uint32_t sample_duration) {
        const std::uint64_t end = offset + sample_duration;
        durations.push_back(sample_duration);
        if (tiles.empty() || tiles.back() != tile) {
            tiles.push_back(tile);
        }
        // Replacing [a, b) and a following [c, d) with a <= c <= b by [a, max(b, d)) leaves the
        // union unchanged, so steps that run back to back cost one span instead of many.
        if (!spans.empty() && spans.back().occurrence == occurrence &&
            spans.back().start <= offset && offset <= spans.back().end) {
            spans.back().end = std::max(spans.back().end, end);
        } else {
            spans.push_back({occurrence, offset, end});
        }
        work_cycles += sample_duration;
        first_offset = std::min(first_offset, offset);
        last_offset = std::max(last_offset, end);
    }

    detail::GroupTotals finish() {
        std::sort(tiles.begin(), tiles.end());
        tiles.erase(std::unique(tiles.begin(), tiles.end()), tiles.end());
        if (!std::is_sorted(spans.begin(), spans.end())) {
            std::sort(spans.begin(), spans.end());
        }
        detail::GroupTotals totals;
        totals.tile_count = tiles.size();
        totals.work_cycles = work_cycles;
        totals.first_offset = first_offset;
        totals.last_offset = last_offset;
        for (auto run = spans.begin(); run != spans.end();) {
            detail::UnionCounter counter;
            auto next = run;
            for (; next != spans.end() && next->occurrence == run->occurrence; ++next) {
                counter.add(next->start, next->end);
            }
            totals.phase_count += 1;
            totals.phase_cycles += counter.total();
            run = next;
        }
        return totals;
    }
};

struct IdentityHash {
    std::size_t operator()(const GroupIdentity& identity) const noexcept {
        const std::size_t text = std::hash<std::string_view>{}(identity.text);
        return text ^ (std::hash<std::uint64_t>{}(identity.number) + 0x9e3779b97f4a7c15ULL +
                       (text << 6) + (text >> 2));
    }
};

/// The groups met so far, in order of first appearance. Consecutive matched samples usually
/// fall into the same group, so the last group found is tried before the hash map.
class GroupTable {
public:
    GroupState& find_or_add(const GroupIdentity& identity, std::uint64_t offset) {
        if (last_ < states_.size() && states_[last_].identity == identity) {
            return states_[last_];
        }
        const auto [entry, inserted] = index_.try_emplace(identity, states_.size());
        if (inserted) {
            GroupState& state = states_.emplace_back();
            state.identity = identity;
            state.first_offset = offset;
        }
        last_ = entry->second;
        return states_[last_];
    }

    std::vector<GroupState>& states() { return states_; }

private:
    std::unordered_map<GroupIdentity, std::size_t, IdentityHash> index_;
    std::vector<GroupState> states_;
    std::size_t last_ = 0;
};

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

    // The span over all samples and the filtered walk share one pass: the span ignores the
    // filter, the walk feeds the groups.
    for (const vorn_package::TileProfile& tile : report.tiles) {
        result.sample_count += tile.samples.size();
        if (tile.samples.empty()) {
            continue;
        }
        const std::uint32_t base = tile.samples.front().start_cycle;
        std::uint64_t tile_end = 0;
        for (const vorn_package::CycleSample& sample : tile.samples) {
            // Offsets wrap modulo 2^32 like the counter; they are never reordered or signed.
            const std::uint64_t offset = static_cast<std::uint32_t>(sample.start_cycle - base);
            const std::uint32_t sample_duration = duration(sample);
            tile_end = std::max(tile_end, offset + sample_duration);
            if (!matches_query(query, tile.physical_tile, sample, offset, sample_duration)) {
                continue;
            }
            result.matched_sample_count += 1;
            const GroupIdentity identity =
                detail::group_identity(query.group_by, metadata_key, tile.physical_tile, sample);
            groups.find_or_add(identity, offset)
                .add(tile.physical_tile, phase_occurrence_key(sample.step), offset,
                     sample_duration);
            listing.offer({tile.physical_tile, offset, sample_duration, &sample});
        }
        result.profile_span_cycles = std::max(result.profile_span_cycles, tile_end);
    }
    result.profile_span_ms = cycles_to_ms(result.profile_span_cycles, report.clock_hz);

    result.groups.reserve(groups.states().size());
    for (GroupState& state : groups.states()) {
        const detail::GroupTotals totals = state.finish();
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

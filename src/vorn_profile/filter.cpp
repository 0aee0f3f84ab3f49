// The sample filter: whether one sample counts for a query.
#include <algorithm>

#include "grouping.hpp"
#include "patterns.hpp"

namespace vorn_profile {
namespace {

bool satisfies(const MetadataFilter& filter,
               const std::vector<vorn_package::ProfileMetadata>& entries) {
    return std::any_of(
        entries.begin(), entries.end(), [&](const vorn_package::ProfileMetadata& entry) {
            return entry.name == filter.name && (!filter.value || entry.value == *filter.value);
        });
}

}  // namespace

StepKind kind_of(const vorn_package::CycleSample& sample) {
    return detail::step_kind(sample.step.kind);
}

bool matches_query(const Query& query, std::uint32_t tile, const vorn_package::CycleSample& sample,
                   std::uint64_t offset, std::uint32_t sample_duration) {
    return detail::matches_query(query, detail::StepPatterns(query), tile, sample, offset,
                                 sample_duration);
}

namespace detail {

bool matches_query(const Query& query, const StepPatterns& patterns, std::uint32_t tile,
                   const vorn_package::CycleSample& sample, std::uint64_t offset,
                   std::uint32_t sample_duration) {
    // The point in time first: it leaves out nearly every sample without reading its step.
    if (query.at_offset) {
        const std::uint64_t at = *query.at_offset;
        // Offsets stay below 2^32, so the end never nears 2^64; saturate anyway so that a
        // caller passing any offset cannot make the window wrap around to admit everything.
        const std::uint64_t end =
            offset > UINT64_MAX - sample_duration ? UINT64_MAX : offset + sample_duration;
        if (at < offset || at >= end) {
            return false;
        }
    }
    const vorn_package::ProfileStep& step = sample.step;
    if (query.kind && *query.kind != kind_of(sample)) {
        return false;
    }
    if (query.kernel && step.kernel != *query.kernel) {
        return false;
    }
    if (query.operation_contains &&
        std::string_view(step.operation).find(*query.operation_contains) ==
            std::string_view::npos) {
        return false;
    }
    if (!query.tiles.empty() && !query.tiles.contains(tile)) {
        return false;
    }
    if (!query.phases.empty() && !query.phases.contains(step.phase)) {
        return false;
    }
    if (!std::all_of(
            query.metadata.begin(), query.metadata.end(),
            [&](const MetadataFilter& filter) { return satisfies(filter, step.metadata); })) {
        return false;
    }
    if (!query.epochs.empty() && !query.epochs.contains(step.epoch)) {
        return false;
    }
    return !patterns.active() || patterns.admits(kind_of(sample), step.kernel, step.operation);
}

}  // namespace detail

}  // namespace vorn_profile

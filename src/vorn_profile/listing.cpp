// Sample listing: candidate order and the owned records.
#include "grouping.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile {

std::strong_ordering compare_candidates(const Candidate& left, const Candidate& right) {
    if (const auto by_length = right.duration <=> left.duration; by_length != 0) {
        return by_length;
    }
    if (const auto by_tile = left.tile <=> right.tile; by_tile != 0) {
        return by_tile;
    }
    return left.offset <=> right.offset;
}

SampleRecord sample_record(const Candidate& candidate) {
    const vorn_package::ProfileStep& step = candidate.sample->step;
    SampleRecord record;
    record.physical_tile = candidate.tile;
    record.offset = candidate.offset;
    record.duration = candidate.duration;
    record.phase = step.phase;
    record.epoch = step.epoch;
    record.kind = kind_name(*candidate.sample);
    record.operation = step.operation;
    record.kernel = step.kernel;
    record.metadata.reserve(step.metadata.size());
    for (const vorn_package::ProfileMetadata& entry : step.metadata) {
        record.metadata.push_back({entry.name, entry.value});
    }
    return record;
}

SampleRecord sample_record(const vorn_package::ProfileColumns& columns,
                           const ListedSample& listed) {
    const std::uint64_t sample = listed.sample;
    const std::uint32_t step = columns.step[sample];
    SampleRecord record;
    record.physical_tile = listed.physical_tile;
    record.offset = listed.offset;
    record.duration = listed.duration;
    record.phase = columns.phase[sample];
    record.epoch = columns.epoch[sample];
    record.kind = detail::step_kind_name(detail::step_kind(columns.step_kind[step]));
    record.operation = columns.text(columns.step_operation[step]);
    record.kernel = columns.text(columns.step_kernel[step]);
    const auto entries = columns.step_metadata(step);
    record.metadata.reserve(entries.size());
    for (const vorn_package::MetadataPair& entry : entries) {
        record.metadata.push_back(
            {std::string(columns.text(entry.name)), std::string(columns.text(entry.value))});
    }
    return record;
}

}  // namespace vorn_profile

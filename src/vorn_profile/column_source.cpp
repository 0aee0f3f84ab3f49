#include "column_source.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>

namespace vorn_profile::detail {
namespace {

// A phase set whose largest number is below this is held as bits (at most 128 KiB).
constexpr std::uint64_t kPhaseBitsLimit = std::uint64_t{1} << 20;

bool satisfies(const vorn_package::ProfileColumns& columns, const MetadataFilter& filter,
               std::span<const vorn_package::MetadataPair> entries) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const vorn_package::MetadataPair& entry) {
                           return columns.text(entry.name) == filter.name &&
                                  (!filter.value || columns.text(entry.value) == *filter.value);
                       });
}

bool step_admitted(const vorn_package::ProfileColumns& columns, const Query& query,
                   std::uint32_t step) {
    if (query.kind && *query.kind != step_kind(columns.step_kind[step])) {
        return false;
    }
    if (query.kernel && columns.text(columns.step_kernel[step]) != *query.kernel) {
        return false;
    }
    if (query.operation_contains &&
        columns.text(columns.step_operation[step]).find(*query.operation_contains) ==
            std::string_view::npos) {
        return false;
    }
    const auto entries = columns.step_metadata(step);
    return std::all_of(
        query.metadata.begin(), query.metadata.end(),
        [&](const MetadataFilter& filter) { return satisfies(columns, filter, entries); });
}

/// The text that names the group of a step under a grouping that depends on the step alone.
std::string_view step_group_text(const vorn_package::ProfileColumns& columns, GroupBy group_by,
                                 std::string_view metadata_key, std::uint32_t step) {
    switch (group_by) {
        case GroupBy::Kind:
            return step_kind_name(step_kind(columns.step_kind[step]));
        case GroupBy::Kernel: {
            const std::string_view kernel = columns.text(columns.step_kernel[step]);
            return kernel.empty() ? kNoKernel : kernel;
        }
        case GroupBy::Operation:
            return columns.text(columns.step_operation[step]);
        case GroupBy::Metadata:
            for (const vorn_package::MetadataPair& entry : columns.step_metadata(step)) {
                if (columns.text(entry.name) == metadata_key) {
                    return columns.text(entry.value);
                }
            }
            return kMissing;
        case GroupBy::Phase:
        case GroupBy::Tile:
            break;
    }
    return {};
}

}  // namespace

ColumnSource::ColumnSource(const vorn_package::ProfileColumns& columns, const Query& query,
                           GroupTable& groups)
    : columns_(columns), query_(query) {
    filtering_ = query.kind || query.kernel || query.operation_contains || !query.tiles.empty() ||
                 !query.phases.empty() || query.at_offset || !query.metadata.empty();
    const auto steps = static_cast<std::uint32_t>(columns.step_count());
    if (filtering_) {
        step_admitted_.resize(steps);
        for (std::uint32_t step = 0; step < steps; ++step) {
            step_admitted_[step] = step_admitted(columns, query, step) ? 1 : 0;
        }
    }
    if (!query.phases.empty()) {
        if (*query.phases.rbegin() < kPhaseBitsLimit) {
            phase_bits_.assign(*query.phases.rbegin() / 64 + 1, 0);
            for (const std::uint32_t phase : query.phases) {
                phase_bits_[phase / 64] |= std::uint64_t{1} << (phase % 64);
            }
        } else {
            phase_list_.assign(query.phases.begin(), query.phases.end());
        }
    }
    if (query.group_by != GroupBy::Phase && query.group_by != GroupBy::Tile) {
        // Number the groups by their texts, so that steps whose texts name the same group (a
        // kernel "" and a kernel "(no kernel)", say) share it.
        const std::string_view key = metadata_key_of(query);
        std::unordered_map<std::string_view, std::uint32_t> numbers;
        step_group_.resize(steps);
        for (std::uint32_t step = 0; step < steps; ++step) {
            const std::string_view text = step_group_text(columns, query.group_by, key, step);
            const auto [found, added] =
                numbers.try_emplace(text, static_cast<std::uint32_t>(group_identities_.size()));
            if (added) {
                group_identities_.push_back({text, 0});
            }
            step_group_[step] = found->second;
        }
        groups.number_groups(group_identities_.size());
    }
}

bool ColumnSource::phase_admitted(std::uint32_t phase) const {
    if (!phase_bits_.empty()) {
        return phase / 64 < phase_bits_.size() &&
               ((phase_bits_[phase / 64] >> (phase % 64)) & 1U) != 0;
    }
    return phase_list_.empty() || std::binary_search(phase_list_.begin(), phase_list_.end(), phase);
}

SampleRecord ColumnSource::record(std::uint32_t tile, std::uint64_t offset,
                                  std::uint32_t sample_duration, Ref sample) const {
    const std::uint32_t step = columns_.step[sample];
    SampleRecord record;
    record.physical_tile = tile;
    record.offset = offset;
    record.duration = sample_duration;
    record.phase = columns_.phase[sample];
    record.epoch = columns_.epoch[sample];
    record.kind = step_kind_name(step_kind(columns_.step_kind[step]));
    record.operation = columns_.text(columns_.step_operation[step]);
    record.kernel = columns_.text(columns_.step_kernel[step]);
    const auto entries = columns_.step_metadata(step);
    record.metadata.reserve(entries.size());
    for (const vorn_package::MetadataPair& entry : entries) {
        record.metadata.push_back(
            {std::string(columns_.text(entry.name)), std::string(columns_.text(entry.value))});
    }
    return record;
}

}  // namespace vorn_profile::detail

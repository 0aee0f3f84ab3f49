#include "column_source.hpp"

#include <algorithm>
#include <bit>
#include <map>
#include <string_view>

#include "patterns.hpp"

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
                   const StepPatterns& patterns, std::uint32_t step) {
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
    if (!std::all_of(
            query.metadata.begin(), query.metadata.end(),
            [&](const MetadataFilter& filter) { return satisfies(columns, filter, entries); })) {
        return false;
    }
    return !patterns.active() || patterns.admits(step_kind(columns.step_kind[step]),
                                                 columns.text(columns.step_kernel[step]),
                                                 columns.text(columns.step_operation[step]));
}

bool depends_on_step(GroupBy key) { return key != GroupBy::Phase && key != GroupBy::Tile; }

/// Gives each step the number of its group under a grouping that depends on the step alone.
/// Texts are stored once, so a text's number stands for its group; the names that need not be
/// texts of the profile ("(no kernel)", "(missing)", the kind names) get numbers past the
/// texts, unless the profile holds the same bytes as a text, whose group they then share.
class StepGrouping {
public:
    StepGrouping(const vorn_package::ProfileColumns& columns, GroupBy group_by,
                 std::string_view metadata_key)
        : columns_(columns),
          group_by_(group_by),
          texts_(static_cast<std::uint32_t>(columns.text_count())),
          by_key_(group_by == GroupBy::Kind ? 4 : texts_ + 2, kNone) {
        if (group_by == GroupBy::Metadata) {
            metadata_key_ = text_number(metadata_key);
        }
    }

    std::uint32_t group(std::uint32_t step, std::vector<GroupIdentity>& identities) {
        switch (group_by_) {
            case GroupBy::Kind: {
                const StepKind kind = step_kind(columns_.step_kind[step]);
                return number(static_cast<std::uint32_t>(kind), step_kind_name(kind), identities);
            }
            case GroupBy::Kernel: {
                const std::uint32_t kernel = columns_.step_kernel[step];
                if (columns_.text(kernel).empty()) {
                    return placeholder(no_kernel_, texts_, kNoKernel, identities);
                }
                return number(kernel, columns_.text(kernel), identities);
            }
            case GroupBy::Operation: {
                const std::uint32_t operation = columns_.step_operation[step];
                return number(operation, columns_.text(operation), identities);
            }
            case GroupBy::Metadata:
                if (metadata_key_ != kNone) {
                    for (const vorn_package::MetadataPair& entry : columns_.step_metadata(step)) {
                        if (entry.name == metadata_key_) {
                            return number(entry.value, columns_.text(entry.value), identities);
                        }
                    }
                }
                return placeholder(missing_, texts_ + 1, kMissing, identities);
            case GroupBy::Phase:
            case GroupBy::Tile:
                break;
        }
        return 0;
    }

private:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    static constexpr std::uint32_t kUnresolved = UINT32_MAX - 1;

    std::uint32_t number(std::uint32_t key, std::string_view text,
                         std::vector<GroupIdentity>& identities) {
        std::uint32_t& group = by_key_[key];
        if (group == kNone) {
            group = static_cast<std::uint32_t>(identities.size());
            identities.push_back({text, 0});
        }
        return group;
    }

    /// The group of a name that may or may not be a text: looked up among the texts once.
    std::uint32_t placeholder(std::uint32_t& key, std::uint32_t own_key, std::string_view text,
                              std::vector<GroupIdentity>& identities) {
        if (key == kUnresolved) {
            const std::uint32_t found = text_number(text);
            key = found == kNone ? own_key : found;
        }
        return number(key, text, identities);
    }

    std::uint32_t text_number(std::string_view text) const {
        for (std::uint32_t number = 0; number < texts_; ++number) {
            if (columns_.text(number) == text) {
                return number;
            }
        }
        return kNone;
    }

    const vorn_package::ProfileColumns& columns_;
    GroupBy group_by_;
    std::uint32_t texts_;
    std::vector<std::uint32_t> by_key_;  // text number, or a placeholder's own number: group
    std::uint32_t metadata_key_ = kNone;
    std::uint32_t no_kernel_ = kUnresolved;
    std::uint32_t missing_ = kUnresolved;
};

}  // namespace

ColumnSource::ColumnSource(const vorn_package::ProfileColumns& columns, const Query& query,
                           GroupTable& groups)
    : columns_(columns), query_(query) {
    filtering_ = filters_samples(query);
    const auto steps = static_cast<std::uint32_t>(columns.step_count());
    if (filtering_) {
        const StepPatterns patterns(query);
        step_admitted_.resize(steps);
        for (std::uint32_t step = 0; step < steps; ++step) {
            step_admitted_[step] = step_admitted(columns, query, patterns, step) ? 1 : 0;
        }
    }
    epoch_list_.assign(query.epochs.begin(), query.epochs.end());
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
    if (several_keys(query)) {
        grouping_ = Grouping::Several;
        group_several(columns, query);
    } else if (query.group_by == GroupBy::Phase) {
        grouping_ = Grouping::Phase;
        const auto bits = static_cast<unsigned>(
            std::clamp<int>(std::bit_width(columns.sample_count()), 4, kPhaseGroupBits));
        phase_mask_ = (std::size_t{1} << bits) - 1;
        phase_groups_.resize(std::size_t{1} << bits);
    } else if (query.group_by == GroupBy::Tile) {
        grouping_ = Grouping::Tile;
    } else {
        StepGrouping grouping(columns, query.group_by, metadata_key_of(query));
        step_group_.resize(steps);
        for (std::uint32_t step = 0; step < steps; ++step) {
            step_group_[step] = grouping.group(step, group_identities_);
        }
        groups.number_groups(group_identities_.size());
    }
}

void ColumnSource::group_several(const vorn_package::ProfileColumns& columns, const Query& query) {
    std::vector<GroupBy> keys{query.group_by};
    keys.insert(keys.end(), query.then_group_by.begin(), query.then_group_by.end());
    for (const GroupBy key : keys) {
        by_phase_ = by_phase_ || key == GroupBy::Phase;
        by_tile_ = by_tile_ || key == GroupBy::Tile;
    }
    keys.erase(
        std::remove_if(keys.begin(), keys.end(), [](GroupBy key) { return !depends_on_step(key); }),
        keys.end());
    if (keys.empty()) {
        return;
    }
    // Each step's numbers under the step keys; the first step with a combination stands for
    // every step with it.
    const auto steps = static_cast<std::uint32_t>(columns.step_count());
    std::vector<std::vector<std::uint32_t>> numbers(keys.size(), std::vector<std::uint32_t>(steps));
    for (std::size_t k = 0; k < keys.size(); ++k) {
        StepGrouping grouping(columns, keys[k], metadata_key_of(query));
        std::vector<GroupIdentity> unused;
        for (std::uint32_t step = 0; step < steps; ++step) {
            numbers[k][step] = grouping.group(step, unused);
        }
    }
    std::map<std::vector<std::uint32_t>, std::uint32_t> representative;
    step_group_.resize(steps);
    std::vector<std::uint32_t> combination(keys.size());
    for (std::uint32_t step = 0; step < steps; ++step) {
        for (std::size_t k = 0; k < keys.size(); ++k) {
            combination[k] = numbers[k][step];
        }
        step_group_[step] = representative.try_emplace(combination, step).first->second;
    }
    if (by_tile_ && !by_phase_) {
        record_groups_.assign(steps, kNoGroup);
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
    return sample_record(columns_, ListedSample{tile, sample_duration, offset, sample});
}

}  // namespace vorn_profile::detail

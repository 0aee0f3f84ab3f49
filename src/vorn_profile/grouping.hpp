// Group identities: what decides a sample's group, without building the group's name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "flat_index.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// Texts are views into the profile or into static placeholders; numbers stay numbers
/// (phase and epoch packed as phase << 32 | epoch, or the physical tile). Two samples share a
/// group exactly when their identities are equal, which is exactly when their names are.
/// Grouped by several keys, `number` holds phase << 32 | epoch (0 without a phase key) and
/// `more` a representative step's number << 32 | the physical tile (0 without a tile key): the
/// step stands for every step with the same names under the keys that depend on the step alone.
struct GroupIdentity {
    std::string_view text;
    std::uint64_t number = 0;
    std::uint64_t more = 0;

    friend bool operator==(const GroupIdentity&, const GroupIdentity&) = default;
};

/// A hash of an identity for the indexes of groups, equal for equal identities.
inline std::uint64_t identity_hash(const GroupIdentity& identity) {
    // FNV-1a: group texts are short, and an inline loop beats a library call here.
    std::uint64_t hash =
        identity.number ^ (identity.more * 0x9e3779b97f4a7c15ULL) ^ 0xcbf29ce484222325ULL;
    for (const char byte : identity.text) {
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ULL;
    }
    return FlatIndex::mix(hash);
}

/// The metadata name used by the `Metadata` grouping: `metadata_key`, or "" when absent.
std::string_view metadata_key_of(const Query& query);

/// The query-side kind of a stored kind. A value outside the four stored ones can only come
/// from a cast; it is taken as the producer's default rather than read past a table.
inline StepKind step_kind(vorn_package::ProfileStepKind kind) {
    switch (kind) {
        case vorn_package::ProfileStepKind::Exchange:
            return StepKind::Exchange;
        case vorn_package::ProfileStepKind::Compute:
            return StepKind::Compute;
        case vorn_package::ProfileStepKind::Synchronization:
            return StepKind::Synchronization;
        case vorn_package::ProfileStepKind::Idle:
            return StepKind::Idle;
    }
    return StepKind::Exchange;
}

/// "exchange", "compute", "synchronization" or "idle".
inline std::string_view step_kind_name(StepKind kind) {
    switch (kind) {
        case StepKind::Exchange:
            return "exchange";
        case StepKind::Compute:
            return "compute";
        case StepKind::Synchronization:
            return "synchronization";
        case StepKind::Idle:
            return "idle";
    }
    return "exchange";
}

inline constexpr std::string_view kNoKernel = "(no kernel)";
inline constexpr std::string_view kMissing = "(missing)";

/// The value of the step's first metadata entry named `key`, or "(missing)".
inline std::string_view metadata_value(const vorn_package::ProfileStep& step,
                                       std::string_view key) {
    for (const vorn_package::ProfileMetadata& entry : step.metadata) {
        if (entry.name == key) {
            return entry.value;
        }
    }
    return kMissing;
}

/// Called for every matched sample, so it lives here, where the walk can inline it.
inline GroupIdentity group_identity(GroupBy group_by, std::string_view metadata_key,
                                    std::uint32_t tile, const vorn_package::CycleSample& sample) {
    const vorn_package::ProfileStep& step = sample.step;
    switch (group_by) {
        case GroupBy::Kind:
            return {kind_name(sample), 0};
        case GroupBy::Kernel:
            return {step.kernel.empty() ? kNoKernel : std::string_view(step.kernel), 0};
        case GroupBy::Operation:
            return {step.operation, 0};
        case GroupBy::Phase:
            return {{}, (std::uint64_t{step.phase} << 32) | step.epoch};
        case GroupBy::Tile:
            return {{}, tile};
        case GroupBy::Metadata:
            return {metadata_value(step, metadata_key), 0};
    }
    return {};
}

std::string group_name(GroupBy group_by, const GroupIdentity& identity);

/// Room for a group name made of numbers: "phase 4294967295/4294967295", and for a name
/// joined from several keys' names.
struct NameBuffer {
    char text[32];
    std::string joined;
};

/// The group name without building a string: the identity's text, or a name made of its
/// numbers in `buffer`.
std::string_view name_view(GroupBy group_by, const GroupIdentity& identity, NameBuffer& buffer);

std::map<std::string, std::string> group_dimensions(GroupBy group_by, std::string_view metadata_key,
                                                    const GroupIdentity& identity);

/// Whether the query groups by more than one key.
inline bool several_keys(const Query& query) { return !query.then_group_by.empty(); }

/// The names, dimensions and keys of one query's groups. With several keys it reads the step
/// texts of the columns the identities were made from.
class GroupNaming {
public:
    GroupNaming(const Query& query, const vorn_package::ProfileColumns* columns)
        : query_(query), columns_(columns), metadata_key_(metadata_key_of(query)) {}

    std::string_view view(const GroupIdentity& identity, NameBuffer& buffer) const;
    std::string name(const GroupIdentity& identity) const;
    std::map<std::string, std::string> dimensions(const GroupIdentity& identity) const;
    /// Each key's own group name; empty with one key.
    std::vector<std::string> keys(const GroupIdentity& identity) const;

private:
    /// The identity a single-key query by `key` gives the samples of a several-key group.
    GroupIdentity single(GroupBy key, const GroupIdentity& identity) const;

    const Query& query_;
    const vorn_package::ProfileColumns* columns_;
    std::string_view metadata_key_;
};

}  // namespace vorn_profile::detail

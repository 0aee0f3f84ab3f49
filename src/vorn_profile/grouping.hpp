// Group identities: what decides a sample's group, without building the group's name.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// Texts are views into the profile or into static placeholders; numbers stay numbers
/// (phase and epoch packed as phase << 32 | epoch, or the physical tile). Two samples share a
/// group exactly when their identities are equal, which is exactly when their names are.
struct GroupIdentity {
    std::string_view text;
    std::uint64_t number = 0;

    friend bool operator==(const GroupIdentity&, const GroupIdentity&) = default;
};

/// The metadata name used by the `Metadata` grouping: `metadata_key`, or "" when absent.
std::string_view metadata_key_of(const Query& query);

GroupIdentity group_identity(GroupBy group_by, std::string_view metadata_key, std::uint32_t tile,
                             const vorn_package::CycleSample& sample);

std::string group_name(GroupBy group_by, const GroupIdentity& identity);

std::map<std::string, std::string> group_dimensions(GroupBy group_by, std::string_view metadata_key,
                                                    const GroupIdentity& identity);

}  // namespace vorn_profile::detail

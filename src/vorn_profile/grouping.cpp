// Grouping keys: the name and dimensions of a matched sample's group.
#include "grouping.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace vorn_profile {
namespace detail {
namespace {

std::string decimal(std::uint32_t value) {
    char digits[10];
    const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
    return std::string(digits, result.ptr);
}

std::uint32_t high_half(std::uint64_t packed) { return static_cast<std::uint32_t>(packed >> 32); }
std::uint32_t low_half(std::uint64_t packed) { return static_cast<std::uint32_t>(packed); }

}  // namespace

std::string_view metadata_key_of(const Query& query) {
    return query.metadata_key ? std::string_view(*query.metadata_key) : std::string_view();
}

std::string_view name_view(GroupBy group_by, const GroupIdentity& identity, NameBuffer& buffer) {
    char* const first = std::begin(buffer.text);
    char* const last = std::end(buffer.text);
    const auto put = [&](char* at, std::string_view text) {
        return std::copy(text.begin(), text.end(), at);
    };
    switch (group_by) {
        case GroupBy::Phase: {
            char* at = put(first, "phase ");
            at = std::to_chars(at, last, high_half(identity.number)).ptr;
            at = put(at, "/");
            at = std::to_chars(at, last, low_half(identity.number)).ptr;
            return {first, static_cast<std::size_t>(at - first)};
        }
        case GroupBy::Tile: {
            char* at = put(first, "tile ");
            at = std::to_chars(at, last, low_half(identity.number)).ptr;
            return {first, static_cast<std::size_t>(at - first)};
        }
        default:
            return identity.text;
    }
}

std::string group_name(GroupBy group_by, const GroupIdentity& identity) {
    NameBuffer buffer;
    return std::string(name_view(group_by, identity, buffer));
}

std::map<std::string, std::string> group_dimensions(GroupBy group_by, std::string_view metadata_key,
                                                    const GroupIdentity& identity) {
    switch (group_by) {
        case GroupBy::Phase:
            return {{"epoch", decimal(low_half(identity.number))},
                    {"phase", decimal(high_half(identity.number))}};
        case GroupBy::Tile:
            return {{"physicalTile", decimal(low_half(identity.number))}};
        case GroupBy::Metadata:
            return {{"metadataKey", std::string(metadata_key)},
                    {"metadataValue", std::string(identity.text)}};
        default:
            return {};
    }
}

}  // namespace detail

std::string_view kind_name(const vorn_package::CycleSample& sample) {
    return detail::step_kind_name(kind_of(sample));
}

GroupKey group_key(const Query& query, std::uint32_t tile,
                   const vorn_package::CycleSample& sample) {
    const std::string_view key = detail::metadata_key_of(query);
    const detail::GroupIdentity identity =
        detail::group_identity(query.group_by, key, tile, sample);
    return {detail::group_name(query.group_by, identity),
            detail::group_dimensions(query.group_by, key, identity)};
}

}  // namespace vorn_profile

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

GroupIdentity GroupNaming::single(GroupBy key, const GroupIdentity& identity) const {
    switch (key) {
        case GroupBy::Phase:
            return {{}, identity.number};
        case GroupBy::Tile:
            return {{}, low_half(identity.more)};
        default:
            break;
    }
    if (columns_ == nullptr) {
        return {};
    }
    const std::uint32_t step = high_half(identity.more);
    switch (key) {
        case GroupBy::Kind:
            return {step_kind_name(step_kind(columns_->step_kind[step])), 0};
        case GroupBy::Kernel: {
            const std::string_view kernel = columns_->text(columns_->step_kernel[step]);
            return {kernel.empty() ? kNoKernel : kernel, 0};
        }
        case GroupBy::Operation:
            return {columns_->text(columns_->step_operation[step]), 0};
        case GroupBy::Metadata:
            for (const vorn_package::MetadataPair& entry : columns_->step_metadata(step)) {
                if (columns_->text(entry.name) == metadata_key_) {
                    return {columns_->text(entry.value), 0};
                }
            }
            return {kMissing, 0};
        default:
            return {};
    }
}

std::string_view GroupNaming::view(const GroupIdentity& identity, NameBuffer& buffer) const {
    if (!several_keys(query_)) {
        return name_view(query_.group_by, identity, buffer);
    }
    buffer.joined.clear();
    NameBuffer part;
    buffer.joined += name_view(query_.group_by, single(query_.group_by, identity), part);
    for (const GroupBy key : query_.then_group_by) {
        buffer.joined += " | ";
        buffer.joined += name_view(key, single(key, identity), part);
    }
    return buffer.joined;
}

std::string GroupNaming::name(const GroupIdentity& identity) const {
    NameBuffer buffer;
    return std::string(view(identity, buffer));
}

std::map<std::string, std::string> GroupNaming::dimensions(const GroupIdentity& identity) const {
    if (!several_keys(query_)) {
        return group_dimensions(query_.group_by, metadata_key_, identity);
    }
    std::map<std::string, std::string> dimensions;
    const auto add = [&](GroupBy key) {
        const GroupIdentity own = single(key, identity);
        dimensions.merge(group_dimensions(key, metadata_key_, own));
        switch (key) {
            case GroupBy::Kind:
                dimensions.emplace("kind", std::string(own.text));
                break;
            case GroupBy::Kernel:
                dimensions.emplace("kernel", std::string(own.text));
                break;
            case GroupBy::Operation:
                dimensions.emplace("operation", std::string(own.text));
                break;
            default:
                break;
        }
    };
    add(query_.group_by);
    for (const GroupBy key : query_.then_group_by) {
        add(key);
    }
    return dimensions;
}

std::vector<std::string> GroupNaming::keys(const GroupIdentity& identity) const {
    std::vector<std::string> keys;
    if (!several_keys(query_)) {
        return keys;
    }
    keys.push_back(group_name(query_.group_by, single(query_.group_by, identity)));
    for (const GroupBy key : query_.then_group_by) {
        keys.push_back(group_name(key, single(key, identity)));
    }
    return keys;
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

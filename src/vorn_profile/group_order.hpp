// The order of a query's groups and the cut to its limit, shared by every way of holding groups
// (the walk's group table, partial reports).
#pragma once

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "grouping.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// The figures of a group that its place in the order depends on.
struct GroupOrderKey {
    std::uint64_t phase_cycles = 0;
    std::uint64_t work_cycles = 0;
    std::uint64_t sample_count = 0;
    std::uint64_t first_offset = 0;
    std::uint32_t maximum = 0;
};

/// The numbers of the groups 0 .. `count` - 1 that the query keeps, in its order (see
/// `compare_groups`). `key_of(g)` gives a group's `GroupOrderKey`, `identity_of(g)` its
/// identity; names are made only for ties and name orderings.
template <class KeyOf, class IdentityOf>
std::vector<std::uint32_t> order_groups(const Query& query, const GroupNaming& naming,
                                        std::size_t count, KeyOf&& key_of,
                                        IdentityOf&& identity_of) {
    const auto name_of = [&](std::uint32_t group, NameBuffer& buffer) {
        return naming.view(identity_of(group), buffer);
    };
    const auto before = [&](std::uint32_t left, std::uint32_t right) {
        const GroupOrderKey a = key_of(left);
        const GroupOrderKey b = key_of(right);
        NameBuffer left_buffer;
        NameBuffer right_buffer;
        switch (query.sort_by) {
            case SortBy::PhaseCycles:
                if (a.phase_cycles != b.phase_cycles) {
                    return a.phase_cycles > b.phase_cycles;
                }
                break;
            case SortBy::WorkCycles:
                if (a.work_cycles != b.work_cycles) {
                    return a.work_cycles > b.work_cycles;
                }
                break;
            case SortBy::MaximumCycles:
                if (a.maximum != b.maximum) {
                    return a.maximum > b.maximum;
                }
                break;
            case SortBy::Samples:
                if (a.sample_count != b.sample_count) {
                    return a.sample_count > b.sample_count;
                }
                break;
            case SortBy::Name: {
                const int order = name_of(left, left_buffer).compare(name_of(right, right_buffer));
                if (order != 0) {
                    return order < 0;
                }
                break;
            }
        }
        if (a.first_offset != b.first_offset) {
            return a.first_offset < b.first_offset;
        }
        return name_of(left, left_buffer).compare(name_of(right, right_buffer)) < 0;
    };
    std::vector<std::uint32_t> order(count);
    std::iota(order.begin(), order.end(), 0U);
    const std::size_t kept =
        query.limit && *query.limit < count ? static_cast<std::size_t>(*query.limit) : count;
    // Names are unique, so the order is total and any sort gives the one result. A heap keeps
    // a few groups cheaply; for many, selecting them and sorting those is faster.
    const auto cut = order.begin() + static_cast<std::ptrdiff_t>(kept);
    if (kept <= count / 16) {
        std::partial_sort(order.begin(), cut, order.end(), before);
    } else {
        std::nth_element(order.begin(), cut, order.end(), before);
        std::sort(order.begin(), cut, before);
    }
    order.resize(kept);
    return order;
}

}  // namespace vorn_profile::detail

// Building and merging the groups of partial reports.
#include "partial_groups.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <iterator>
#include <utility>

namespace vorn_profile::detail {
namespace {

/// Ascending order of `values`, all at most `maximum`: by digits of 11 bits, lowest first, as
/// many as `maximum` has, so that a group's durations cost a few linear passes.
void sort_durations(std::span<std::uint32_t> values, std::uint32_t maximum,
                    std::vector<std::uint32_t>& scratch) {
    constexpr std::size_t kSmall = 256;
    if (values.size() < kSmall) {
        std::sort(values.begin(), values.end());
        return;
    }
    constexpr int kDigitBits = 11;
    constexpr std::uint32_t kDigitMask = (1U << kDigitBits) - 1;
    scratch.resize(values.size());
    std::span<std::uint32_t> from = values;
    std::span<std::uint32_t> to(scratch.data(), values.size());
    const int width = static_cast<int>(std::bit_width(maximum));
    for (int shift = 0; shift < width; shift += kDigitBits) {
        std::array<std::uint64_t, std::size_t{1} << kDigitBits> place{};
        for (const std::uint32_t value : from) {
            ++place[(value >> shift) & kDigitMask];
        }
        std::uint64_t next = 0;
        for (std::uint64_t& at : place) {
            next += std::exchange(at, next);
        }
        for (const std::uint32_t value : from) {
            to[place[(value >> shift) & kDigitMask]++] = value;
        }
        std::swap(from, to);
    }
    if (from.data() != values.data()) {
        std::copy(from.begin(), from.end(), values.begin());
    }
}

/// Appends the union of two lists of runs (each ascending, none empty, no two touching) as
/// such a list.
void append_union(std::span<const Interval> left, std::span<const Interval> right,
                  std::vector<Interval>& out) {
    const std::size_t first = out.size();
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() || j < right.size()) {
        const bool from_left = j == right.size() || (i < left.size() && left[i] < right[j]);
        const Interval next = from_left ? left[i++] : right[j++];
        if (out.size() > first && next.start <= out.back().end) {
            out.back().end = std::max(out.back().end, next.end);
        } else {
            out.push_back(next);
        }
    }
}

void append_runs(std::span<const DurationRun> left, std::span<const DurationRun> right,
                 std::vector<DurationRun>& out) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() && j < right.size()) {
        if (left[i].value == right[j].value) {
            out.push_back({left[i].value, left[i].count + right[j].count});
            ++i;
            ++j;
        } else if (left[i].value < right[j].value) {
            out.push_back(left[i++]);
        } else {
            out.push_back(right[j++]);
        }
    }
    out.insert(out.end(), left.begin() + static_cast<std::ptrdiff_t>(i), left.end());
    out.insert(out.end(), right.begin() + static_cast<std::ptrdiff_t>(j), right.end());
}

/// Appends the lists `first` .. `last` - 1 of `from` to `to`.
template <class T>
void append_lists(ListOfLists<T>& to, const ListOfLists<T>& from, std::uint64_t first,
                  std::uint64_t last) {
    const std::uint64_t shift = to.items.size() - from.begin[first];
    to.items.insert(to.items.end(),
                    from.items.begin() + static_cast<std::ptrdiff_t>(from.begin[first]),
                    from.items.begin() + static_cast<std::ptrdiff_t>(from.begin[last]));
    for (std::uint64_t list = first + 1; list <= last; ++list) {
        to.begin.push_back(from.begin[list] + shift);
    }
}

template <class T>
std::span<const T> list_of(const ListOfLists<T>& lists, std::uint32_t owner) {
    return owner == FlatIndex::kNone ? std::span<const T>() : lists[owner];
}

}  // namespace

void count_durations(std::span<const CountedDuration> counted, std::span<std::uint32_t> values,
                     std::uint32_t maximum, std::vector<std::uint32_t>& scratch,
                     std::vector<CountedDuration>& out) {
    out.reserve(out.size() + counted.size() + std::min<std::size_t>(values.size(), 1024));
    const auto put = [&out](std::uint32_t value, std::uint64_t count) {
        while (count > 0) {
            if (out.empty() || out.back().value != value || out.back().count == UINT32_MAX) {
                out.push_back({value, 0});
            }
            const std::uint64_t room = UINT32_MAX - out.back().count;
            const std::uint64_t taken = std::min(room, count);
            out.back().count += static_cast<std::uint32_t>(taken);
            count -= taken;
        }
    };
    // Each distinct value of `values` in ascending order with its count, as `next` gives them.
    const auto merge = [&](auto&& next) {
        std::uint32_t value = 0;
        std::uint64_t count = 0;
        bool more = next(value, count);
        for (const CountedDuration& entry : counted) {
            for (; more && value < entry.value; more = next(value, count)) {
                put(value, count);
            }
            put(entry.value, entry.count);
        }
        for (; more; more = next(value, count)) {
            put(value, count);
        }
    };
    if (std::uint64_t{maximum} < std::uint64_t{values.size()} * 4 &&
        values.size() < std::size_t{UINT32_MAX}) {
        // Few possible values for their number: counted in a table by value.
        scratch.assign(std::size_t{maximum} + 1, 0);
        for (const std::uint32_t value : values) {
            ++scratch[value];
        }
        std::size_t at = 0;
        merge([&](std::uint32_t& value, std::uint64_t& count) {
            while (at < scratch.size() && scratch[at] == 0) {
                ++at;
            }
            if (at == scratch.size()) {
                return false;
            }
            value = static_cast<std::uint32_t>(at);
            count = scratch[at++];
            return true;
        });
        return;
    }
    sort_durations(values, maximum, scratch);
    std::size_t at = 0;
    merge([&](std::uint32_t& value, std::uint64_t& count) {
        if (at == values.size()) {
            return false;
        }
        std::size_t end = at + 1;
        while (end < values.size() && values[end] == values[at]) {
            ++end;
        }
        value = values[at];
        count = end - at;
        at = end;
        return true;
    });
}

void append_duration_runs(std::span<const CountedDuration> counted, std::vector<DurationRun>& out) {
    for (std::size_t at = 0; at < counted.size(); ++at) {
        if (at > 0 && counted[at - 1].value == counted[at].value) {
            out.back().count += counted[at].count;
        } else {
            out.push_back({counted[at].value, counted[at].count});
        }
    }
}

std::vector<DurationRun> counted_runs(const PartialGroups& groups, std::size_t g) {
    const std::span<const DurationRun> runs = groups.durations[g];
    std::vector<std::uint32_t> values(groups.uncounted[g].begin(), groups.uncounted[g].end());
    std::uint32_t maximum = 0;
    for (const std::uint32_t value : values) {
        maximum = std::max(maximum, value);
    }
    std::vector<std::uint32_t> scratch;
    sort_durations(values, maximum, scratch);
    std::vector<DurationRun> sorted;
    for (std::size_t at = 0; at < values.size(); ++at) {
        if (at > 0 && values[at - 1] == values[at]) {
            sorted.back().count += 1;
        } else {
            sorted.push_back({values[at], 1});
        }
    }
    std::vector<DurationRun> all;
    all.reserve(runs.size() + sorted.size());
    append_runs(runs, sorted, all);
    return all;
}

PartialGroups merge_groups(const PartialGroups& first, const PartialGroups& second) {
    PartialGroups merged;
    merged.groups = first.groups;
    // The group of each side that every merged group comes from, if any.
    std::vector<std::uint32_t> from_first(first.groups.size());
    std::vector<std::uint32_t> from_second(first.groups.size(), FlatIndex::kNone);
    FlatIndex index;
    for (std::uint32_t g = 0; g < first.groups.size(); ++g) {
        from_first[g] = g;
        index.find_or_add(identity_hash(first.groups[g].identity), g,
                          [](std::uint32_t) { return false; });  // names are unique
    }
    for (std::uint32_t g = 0; g < second.groups.size(); ++g) {
        const PartialGroup& group = second.groups[g];
        const auto [position, added] = index.find_or_add(
            identity_hash(group.identity), static_cast<std::uint32_t>(merged.groups.size()),
            [&](std::uint32_t at) { return merged.groups[at].identity == group.identity; });
        if (added) {
            merged.groups.push_back(group);
            from_first.push_back(FlatIndex::kNone);
            from_second.push_back(g);
            continue;
        }
        PartialGroup& into = merged.groups[position];
        into.sample_count += group.sample_count;
        into.work_cycles += group.work_cycles;
        into.first_offset = std::min(into.first_offset, group.first_offset);
        into.last_offset = std::max(into.last_offset, group.last_offset);
        into.maximum = std::max(into.maximum, group.maximum);
        into.closed_phase_count += group.closed_phase_count;
        into.closed_phase_cycles += group.closed_phase_cycles;
        from_second[position] = g;
    }

    // Room for both sides, an upper bound, so that the lists never move while they grow.
    const auto reserve = [](auto& lists, const auto& left, const auto& right, std::size_t owners) {
        lists.begin.reserve(owners + 1);
        lists.items.reserve(left.items.size() + right.items.size());
    };
    const std::size_t count = merged.groups.size();
    reserve(merged.tiles, first.tiles, second.tiles, count);
    reserve(merged.durations, first.durations, second.durations, count);
    reserve(merged.uncounted, first.uncounted, second.uncounted, count);
    reserve(merged.occurrences, first.occurrences, second.occurrences, count);
    reserve(merged.coverage, first.coverage, second.coverage,
            first.coverage.size() + second.coverage.size());

    for (std::size_t g = 0; g < count; ++g) {
        const std::uint32_t a = from_first[g];
        const std::uint32_t b = from_second[g];

        const auto tiles_a = list_of(first.tiles, a);
        const auto tiles_b = list_of(second.tiles, b);
        std::set_union(tiles_a.begin(), tiles_a.end(), tiles_b.begin(), tiles_b.end(),
                       std::back_inserter(merged.tiles.items));
        merged.tiles.close();

        const auto runs_a = list_of(first.durations, a);
        const auto runs_b = list_of(second.durations, b);
        append_runs(runs_a, runs_b, merged.durations.items);
        merged.durations.close();
        for (const auto uncounted : {list_of(first.uncounted, a), list_of(second.uncounted, b)}) {
            merged.uncounted.items.insert(merged.uncounted.items.end(), uncounted.begin(),
                                          uncounted.end());
        }
        merged.uncounted.close();

        if (a == FlatIndex::kNone || b == FlatIndex::kNone) {
            // A group of one side only keeps its occurrences and their runs as they are.
            const PartialGroups& side = a == FlatIndex::kNone ? second : first;
            const std::uint32_t group = a == FlatIndex::kNone ? b : a;
            append_lists(merged.occurrences, side.occurrences, group, group + 1);
            append_lists(merged.coverage, side.coverage, side.occurrences.begin[group],
                         side.occurrences.begin[group + 1]);
            continue;
        }
        // Occurrences in ascending order; one met on both sides covers the union of both.
        const std::uint64_t base_a = first.occurrences.begin[a];
        const std::uint64_t base_b = second.occurrences.begin[b];
        const auto occurrences_a = first.occurrences[a];
        const auto occurrences_b = second.occurrences[b];
        std::size_t i = 0;
        std::size_t j = 0;
        while (i < occurrences_a.size() || j < occurrences_b.size()) {
            const bool take_a = i < occurrences_a.size() &&
                                (j == occurrences_b.size() || occurrences_a[i] <= occurrences_b[j]);
            const bool take_b = j < occurrences_b.size() &&
                                (i == occurrences_a.size() || occurrences_b[j] <= occurrences_a[i]);
            const auto runs_of_a =
                take_a ? first.coverage[base_a + i] : std::span<const Interval>();
            const auto runs_of_b =
                take_b ? second.coverage[base_b + j] : std::span<const Interval>();
            merged.occurrences.items.push_back(take_a ? occurrences_a[i] : occurrences_b[j]);
            append_union(runs_of_a, runs_of_b, merged.coverage.items);
            merged.coverage.close();
            i += take_a ? 1 : 0;
            j += take_b ? 1 : 0;
        }
        merged.occurrences.close();
    }
    return merged;
}

}  // namespace vorn_profile::detail

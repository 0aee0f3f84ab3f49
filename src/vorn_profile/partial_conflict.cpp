// Whether two partials can be merged: the same clock, query and window, and, where both cover
// tiles of one profile, tiles that follow each other.
#include <xxhash.h>

#include <algorithm>
#include <string>
#include <unordered_map>

#include "partial_state.hpp"
#include "query_codec.hpp"

namespace vorn_profile {
namespace detail {

std::uint64_t profile_source(const vorn_package::ProfileColumns& columns) {
    XXH3_state_t* const state = XXH3_createState();
    if (state == nullptr) {
        throw std::bad_alloc();
    }
    XXH3_64bits_reset(state);
    const auto add = [&](const auto& values) {
        XXH3_64bits_update(state, values.data(), values.size_bytes());
    };
    const std::uint64_t counts[] = {columns.clock_hz, columns.tile_count(), columns.sample_count(),
                                    columns.step_count(), columns.text_count()};
    add(std::span(counts));
    add(columns.tile_physical);
    add(columns.tile_sample_begin);
    // The first sample of each tile: profiles of the same shape (two seeds of the generator)
    // differ there.
    for (std::uint64_t t = 0; t < columns.tile_count(); ++t) {
        const std::uint64_t first = columns.tile_sample_begin[t];
        if (first < columns.tile_sample_begin[t + 1]) {
            const std::uint32_t sample[] = {columns.start_cycle[first], columns.end_cycle[first],
                                            columns.step[first]};
            add(std::span(sample));
        }
    }
    const std::uint64_t hash = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return hash;
}

}  // namespace detail

namespace {

std::string range(const detail::PartialPiece& piece) {
    return "[" + std::to_string(piece.first) + ", " + std::to_string(piece.last) + ")";
}

std::string window_text(const std::optional<TimeWindow>& window) {
    return window ? "[" + std::to_string(window->from) + ", " + std::to_string(window->to) + ")"
                  : "none";
}

/// A tile group that both partials meet while one of them keeps its phase occurrences summed
/// up: the occurrences of both sides can then not be joined. Only groups by tile are closed.
std::optional<std::uint64_t> closed_tile_met_again(const detail::PartialGroups& first,
                                                   const detail::PartialGroups& second) {
    const auto closed = [](const detail::PartialGroup& group) {
        return group.closed_phase_count > 0;
    };
    if (std::none_of(first.groups.begin(), first.groups.end(), closed) &&
        std::none_of(second.groups.begin(), second.groups.end(), closed)) {
        return std::nullopt;
    }
    std::unordered_map<std::uint64_t, bool> closed_by_tile;
    closed_by_tile.reserve(first.groups.size());
    for (const detail::PartialGroup& group : first.groups) {
        closed_by_tile.emplace(group.identity.number, closed(group));
    }
    for (const detail::PartialGroup& group : second.groups) {
        const auto met = closed_by_tile.find(group.identity.number);
        if (met != closed_by_tile.end() && (met->second || closed(group))) {
            return group.identity.number;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> merge_conflict(const QueryPartial& first, const QueryPartial& second) {
    const QueryPartial::State& a = detail::PartialAccess::state(first);
    const QueryPartial::State& b = detail::PartialAccess::state(second);
    if (a.clock_hz != b.clock_hz) {
        return "different clocks: " + std::to_string(a.clock_hz) + " Hz and " +
               std::to_string(b.clock_hz) + " Hz";
    }
    if (const auto field = detail::query_difference(a.query, b.query)) {
        return "different queries: their " + std::string(*field) + " differ";
    }
    if (a.window != b.window) {
        return "different windows: " + window_text(a.window) + " and " + window_text(b.window);
    }
    const bool by_tile = a.query.group_by == GroupBy::Tile && a.query.then_group_by.empty();
    if (const auto tile = by_tile ? closed_tile_met_again(a.groups, b.groups) : std::nullopt) {
        return "physical tile " + std::to_string(*tile) +
               " is met in both, and one keeps its phase occurrences summed up";
    }
    const bool one_profile = !a.pieces.empty() && !b.pieces.empty() &&
                             a.pieces.back().source == b.pieces.front().source &&
                             a.columns.has_value() && b.columns.has_value();
    if (!one_profile && !a.query.then_group_by.empty()) {
        return "partials of a query grouped by several keys merge only within one profile";
    }
    if (a.pieces.empty() || b.pieces.empty() || a.pieces.back().source != b.pieces.front().source) {
        return std::nullopt;
    }
    const detail::PartialPiece& left = a.pieces.back();
    const detail::PartialPiece& right = b.pieces.front();
    if (right.first == left.last) {
        return std::nullopt;
    }
    const std::string both =
        "tiles " + range(left) + " and then " + range(right) + " of one profile";
    if (right.first < left.last && left.first < right.last) {
        return both + ": they overlap";
    }
    if (right.last <= left.first) {
        return both + ": out of order";
    }
    return both + ": the tiles [" + std::to_string(left.last) + ", " + std::to_string(right.first) +
           ") between them are missing";
}

}  // namespace vorn_profile

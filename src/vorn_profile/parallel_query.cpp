// The query on several threads: the tiles cut into ranges of about equal samples, one partial
// report a range made on a thread of its own, merged in tile order and finished. Threads live
// only inside one call.
#include <algorithm>
#include <optional>
#include <vector>

#include "partial_state.hpp"
#include "tile_ranges.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_profile {
namespace detail {

std::vector<TileRange> tile_ranges(const vorn_package::ProfileColumns& columns,
                                   std::size_t threads) {
    const std::uint64_t tiles = columns.tile_count();
    const std::uint64_t samples = columns.sample_count();
    const std::uint64_t parts =
        std::clamp<std::uint64_t>(threads, 1, std::max<std::uint64_t>(tiles, 1));
    std::vector<TileRange> ranges;
    ranges.reserve(parts);
    std::uint64_t first = 0;
    for (std::uint64_t k = 1; k <= parts; ++k) {
        std::uint64_t last = tiles;
        if (k < parts) {
            // samples * k / parts without overflow.
            const std::uint64_t target = samples / parts * k + samples % parts * k / parts;
            const auto begin = columns.tile_sample_begin.begin();
            last = static_cast<std::uint64_t>(
                std::lower_bound(begin + static_cast<std::ptrdiff_t>(first),
                                 begin + static_cast<std::ptrdiff_t>(tiles), target) -
                begin);
        }
        ranges.push_back({first, last});
        first = last;
    }
    return ranges;
}

}  // namespace detail

namespace {

/// The merged partials of `query` within `window` over as many ranges as `threads` walk, or
/// nothing when that is one range: the caller then runs the plain one-thread query. With
/// `closing`, the partials are for this report alone (see `range_partial`).
std::optional<QueryPartial> ranges_partial(const vorn_package::ProfileColumns& columns,
                                           const Query& query,
                                           const std::optional<TimeWindow>& window,
                                           std::size_t threads, bool closing) {
    const std::vector<TileRange> ranges = detail::tile_ranges(columns, threads);
    if (ranges.size() == 1) {
        return std::nullopt;
    }
    std::vector<std::optional<QueryPartial>> parts(ranges.size());
    detail::run_ranges(ranges.size(), [&](std::size_t at) {
        parts[at].emplace(detail::range_partial(columns, query, ranges[at], window, closing));
    });
    QueryPartial merged = *std::move(parts[0]);
    for (std::size_t at = 1; at < parts.size(); ++at) {
        merged = merge(std::move(merged), *std::move(parts[at]));
    }
    return merged;
}

}  // namespace

QueryPartial threaded_partial(const vorn_package::ProfileColumns& columns, const Query& query,
                              std::size_t threads, const std::optional<TimeWindow>& window) {
    // Its partial may be written as bytes and merged with other profiles' partials.
    if (auto merged = ranges_partial(columns, query, window, threads, false)) {
        return *std::move(merged);
    }
    return partial(columns, query, {}, window);
}

QueryReport query(const vorn_package::ProfileColumns& columns, const Query& query,
                  std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, std::nullopt, threads, true)) {
        return detail::finish(*std::move(merged), threads);
    }
    return vorn_profile::query(columns, query);
}

WindowReport query_window(const vorn_package::ProfileColumns& columns, const Query& query,
                          const TimeWindow& window, std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, window, threads, true)) {
        return {window.from, window.to, detail::finish(*std::move(merged), threads)};
    }
    return query_window(columns, query, window);
}

ListedReport query_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                          std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, std::nullopt, threads, true)) {
        return detail::finish_listed(*std::move(merged), threads);
    }
    return query_listed(columns, query);
}

ListedReport query_window_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                                 const TimeWindow& window, std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, window, threads, true)) {
        return detail::finish_listed(*std::move(merged), threads);
    }
    return query_window_listed(columns, query, window);
}

}  // namespace vorn_profile

// The query on several threads: the tiles cut into ranges of about equal samples, one partial
// report a range made on a thread of its own, merged in tile order and finished. Threads live
// only inside one call.
#include <algorithm>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "vorn_profile/partial.hpp"

namespace vorn_profile {
namespace {

/// `parts` consecutive ranges covering every tile, each with about as many samples as the
/// others (a tile is never cut, so a range may be empty).
std::vector<TileRange> tile_ranges(const vorn_package::ProfileColumns& columns,
                                   std::uint64_t parts) {
    const std::uint64_t tiles = columns.tile_count();
    const std::uint64_t samples = columns.sample_count();
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

/// The partials `make(range)` of the ranges, made at once, merged in order.
template <class MakePartial>
QueryPartial merged_partials(const std::vector<TileRange>& ranges, MakePartial make) {
    std::vector<std::optional<QueryPartial>> parts(ranges.size());
    std::vector<std::exception_ptr> errors(ranges.size());
    const auto run = [&](std::size_t at) {
        try {
            parts[at].emplace(make(ranges[at]));
        } catch (...) {
            errors[at] = std::current_exception();  // out of memory, given back to the caller
        }
    };
    {
        std::vector<std::jthread> workers;
        workers.reserve(ranges.size() - 1);
        for (std::size_t at = 1; at < ranges.size(); ++at) {
            workers.emplace_back(run, at);
        }
        run(0);
    }
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
    QueryPartial merged = std::move(*parts[0]);
    for (std::size_t at = 1; at < parts.size(); ++at) {
        merged = merge(std::move(merged), std::move(*parts[at]));
    }
    return merged;
}

/// How many ranges `threads` threads walk: at least one, at most one a tile.
std::uint64_t range_count(const vorn_package::ProfileColumns& columns, std::size_t threads) {
    return std::clamp<std::uint64_t>(threads, 1, std::max<std::uint64_t>(columns.tile_count(), 1));
}

/// The merged partials of `query` within `window` over as many ranges as `threads` walk, or
/// nothing when that is one range: the caller then runs the plain one-thread query.
std::optional<QueryPartial> ranges_partial(const vorn_package::ProfileColumns& columns,
                                           const Query& query,
                                           const std::optional<TimeWindow>& window,
                                           std::size_t threads) {
    const std::uint64_t parts = range_count(columns, threads);
    if (parts == 1) {
        return std::nullopt;
    }
    return merged_partials(tile_ranges(columns, parts), [&](const TileRange& range) {
        return partial(columns, query, range, window);
    });
}

}  // namespace

QueryPartial threaded_partial(const vorn_package::ProfileColumns& columns, const Query& query,
                              std::size_t threads, const std::optional<TimeWindow>& window) {
    if (auto merged = ranges_partial(columns, query, window, threads)) {
        return *std::move(merged);
    }
    return partial(columns, query, {}, window);
}

QueryReport query(const vorn_package::ProfileColumns& columns, const Query& query,
                  std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, std::nullopt, threads)) {
        return finish(*std::move(merged));
    }
    return vorn_profile::query(columns, query);
}

WindowReport query_window(const vorn_package::ProfileColumns& columns, const Query& query,
                          const TimeWindow& window, std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, window, threads)) {
        return {window.from, window.to, finish(*std::move(merged))};
    }
    return query_window(columns, query, window);
}

ListedReport query_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                          std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, std::nullopt, threads)) {
        return finish_listed(*std::move(merged));
    }
    return query_listed(columns, query);
}

ListedReport query_window_listed(const vorn_package::ProfileColumns& columns, const Query& query,
                                 const TimeWindow& window, std::size_t threads) {
    if (auto merged = ranges_partial(columns, query, window, threads)) {
        return finish_listed(*std::move(merged));
    }
    return query_window_listed(columns, query, window);
}

}  // namespace vorn_profile

// Cutting a profile's tile records into ranges of about equal samples, one a thread, and running
// one piece of work a range on threads that live only for the call.
#pragma once

#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_profile::detail {

/// Consecutive ranges covering every tile record of `columns`, as many as `threads` walk (at
/// least one, at most one a tile record), each with about as many samples as the others (a
/// tile is never cut, so a range may be empty).
std::vector<TileRange> tile_ranges(const vorn_package::ProfileColumns& columns,
                                   std::size_t threads);

/// Calls `work(at)` for every `at` below `count`, each on a thread of its own (the first on
/// the caller's). An exception (out of memory) is given back to the caller once all are done.
template <class Work>
void run_ranges(std::size_t count, Work work) {
    std::vector<std::exception_ptr> errors(count);
    const auto run = [&](std::size_t at) {
        try {
            work(at);
        } catch (...) {
            errors[at] = std::current_exception();
        }
    };
    {
        std::vector<std::jthread> workers;
        workers.reserve(count > 0 ? count - 1 : 0);
        for (std::size_t at = 1; at < count; ++at) {
            workers.emplace_back(run, at);
        }
        if (count > 0) {
            run(0);
        }
    }
    for (const std::exception_ptr& error : errors) {
        if (error) {
            std::rethrow_exception(error);
        }
    }
}

}  // namespace vorn_profile::detail

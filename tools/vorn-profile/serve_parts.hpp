// Small pieces the timeline's two answers share: work split over threads, and whether a
// request's filters leave the level of detail able to answer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

#include "vorn_profile/query.hpp"

namespace vorn_cli {

/// Runs `work(first, last)` over [0, count) split into about `threads` contiguous parts.
template <class Work>
void in_parts(std::size_t count, std::size_t threads, Work work) {
    const std::size_t parts = std::max<std::size_t>(1, std::min(threads, count));
    if (parts == 1) {
        work(std::size_t{0}, count);
        return;
    }
    std::vector<std::thread> workers;
    for (std::size_t part = 0; part < parts; ++part) {
        workers.emplace_back(work, count * part / parts, count * (part + 1) / parts);
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
}

/// Whether `query` filters on nothing but tiles: then the buckets, which count every step, can
/// sum a summary.
inline bool plain_filters(const vorn_profile::Query& query) {
    return !query.kind && !query.kernel && !query.operation_contains && query.metadata.empty() &&
           query.phases.empty() && query.epochs.empty() && !query.at_offset &&
           !query.kernel_matches && !query.operation_matches && query.exclude_kinds.empty() &&
           query.exclude_kernels.empty();
}

}  // namespace vorn_cli

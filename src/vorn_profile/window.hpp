// The public time window as the walk takes it.
#pragma once

#include "vorn_profile/analyses.hpp"
#include "walk.hpp"

namespace vorn_profile::detail {

/// The walk's window for `window`, held in `storage`: none for the whole time line (clipping
/// to it changes nothing, offsets and ends stay far below 2^64-1), and a window that admits no
/// sample for one with `from >= to`.
inline const Window* walk_window(const TimeWindow& window, Window& storage) {
    if (window.from == 0 && window.to == UINT64_MAX) {
        return nullptr;
    }
    storage = window.from < window.to ? Window{window.from, window.to} : Window{0, 0};
    return &storage;
}

}  // namespace vorn_profile::detail

// The report page's tile map: every physical tile as a cell of a grid, in tile order, coloured
// by its busy fraction of the time range the page shows, with its figures on hover and the
// stragglers of the worst supersteps outlined.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_view/timeline.hpp"

namespace vorn_view {

struct TileFigures {
    std::uint32_t physical = 0;
    bool selected = true;  ///< kept by `--tile`
    TileCycles cycles;
    std::uint64_t straggler_count = 0;  ///< supersteps this tile was the busiest of
    std::uint64_t lost_cycles_caused = 0;
    bool marked = false;  ///< the straggler of a superstep the page lists
};

/// The map as an <svg class="chart">; a cell's busy fraction is its busy cycles over `length`,
/// the cycles of the range shown, which the legend calls `range_name` ("the span").
std::string tile_map(const std::vector<TileFigures>& tiles, std::uint64_t length,
                     std::uint64_t clock_hz, std::string_view range_name, int width);

}  // namespace vorn_view

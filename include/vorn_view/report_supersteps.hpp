// The report page's superstep section: the phase occurrences that lose the most tile-cycles to
// uneven load, as a bar chart and a table, and the tiles the others waited for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "vorn_profile/analyses.hpp"

namespace vorn_view {

/// The HTML of the section for the first `rows` occurrences of `report` (already in the order
/// of lost cycles) and its first `rows` tiles that were a straggler.
std::string superstep_section(const vorn_profile::SuperstepReport& report, std::size_t rows,
                              int width);

/// The physical tiles that were the straggler of one of the first `rows` occurrences that
/// lost cycles: the tiles the map outlines.
std::set<std::uint32_t> listed_stragglers(const vorn_profile::SuperstepReport& report,
                                          std::size_t rows);

}  // namespace vorn_view

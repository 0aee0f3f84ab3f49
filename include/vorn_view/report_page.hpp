// `vorn-profile report`: one self-contained HTML page about a profile, to open in any browser
// without a network or to mail to a colleague. The totals; the top kernels and the kinds as
// tables and bar charts of phase cycles; a map of every physical tile coloured by its busy
// fraction, with the stragglers of the supersteps that lose the most outlined; those supersteps;
// the tiles active over time, stacked by kind. A window limits every figure to its cycles.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_view {

struct ReportOptions {
    vorn_profile::Query query;                       ///< only its filters are used
    std::optional<vorn_profile::TimeWindow> window;  ///< `--from`/`--to`, when given
    std::string source;                              ///< the profile's path, shown in the title
};

void write_report_page(std::ostream& out, const vorn_package::ProfileColumns& columns,
                       const ReportOptions& options);

}  // namespace vorn_view

// `vorn-profile report`: one self-contained HTML page about a profile, to open in any browser
// without a network or to mail to a colleague. The totals; the top kernels and the kinds as
// tables and bar charts of phase cycles; a map of every physical tile coloured by its busy
// fraction; the tiles active over time, stacked by kind.
#pragma once

#include <iosfwd>
#include <string>

#include "vorn_package/profile_columns.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_cli {

struct ReportOptions {
    vorn_profile::Query query;  ///< only its filters are used
    std::string source;         ///< the profile's path, shown in the title
};

void write_report_page(std::ostream& out, const vorn_package::ProfileColumns& columns,
                       const ReportOptions& options);

}  // namespace vorn_cli

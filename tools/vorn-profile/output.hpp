// Renderings of a query report: an aligned table for a person, JSON for scripts, CSV for
// spreadsheets. Each writes the whole report and nothing else.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "vorn_profile/query.hpp"

namespace vorn_cli {

/// A header line with the profile totals, one row per group, then one row per listed sample.
void write_table(std::ostream& out, const vorn_profile::QueryReport& report);

/// The whole report as one JSON object whose member names are the record field names.
void write_json(std::ostream& out, const vorn_profile::QueryReport& report);

/// RFC 4180: a header row, then one row per group with the summary fields in record order.
void write_csv(std::ostream& out, const vorn_profile::QueryReport& report);

/// The shortest text that reads back as the same double, with ".0" added when it would look
/// like an integer: 2.0, 1.6666666666666667, 0.0, 1e+20.
std::string shortest_double(double value);

/// `text` as a JSON string literal (RFC 8259), quotes included.
std::string json_string(std::string_view text);

/// A group's dimensions as `key=value;key=value`, keys in order.
std::string joined_dimensions(const vorn_profile::GroupSummary& group);

}  // namespace vorn_cli

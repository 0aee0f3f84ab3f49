// Renderings of a query report: an aligned table for a person, JSON for scripts, CSV for
// spreadsheets. Each writes the whole report and nothing else, a piece at a time as it is
// produced (a group, a row), so that a large report is never held twice in memory.
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

/// Appends `shortest_double(value)` to `out`.
void append_shortest_double(std::string& out, double value);

/// Appends `text` as a JSON string literal (RFC 8259), quotes included.
void append_json_string(std::string& out, std::string_view text);

/// A group's dimensions as `key=value;key=value`, keys in order.
std::string joined_dimensions(const vorn_profile::GroupSummary& group);

}  // namespace vorn_cli

// Renderings of a query report: an aligned table for a person, JSON for scripts, CSV for
// spreadsheets. Each writes the whole report and nothing else, a piece at a time as it is
// produced (a group, a row), so that a large report is never held twice in memory.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "listed_samples.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"
#include "vorn_view/text_format.hpp"

namespace vorn_cli {

using vorn_view::append_json_string;
using vorn_view::append_shortest_double;
using vorn_view::fixed;
using vorn_view::json_string;
using vorn_view::shortest_double;

/// A header line with the profile totals (and the window, when one is given), one row per
/// group, then one row per listed sample.
void write_table(std::ostream& out, const vorn_profile::QueryReport& report,
                 const std::optional<vorn_profile::TimeWindow>& window = std::nullopt);
/// The same with the listed samples given apart from the report (its `samples` unused).
void write_table(std::ostream& out, const vorn_profile::QueryReport& report,
                 const ListedSamples& samples,
                 const std::optional<vorn_profile::TimeWindow>& window = std::nullopt);

/// The whole report as one JSON object whose member names are the record field names; `from`
/// and `to` follow `at_offset` when a window is given.
void write_json(std::ostream& out, const vorn_profile::QueryReport& report,
                const std::optional<vorn_profile::TimeWindow>& window = std::nullopt);
/// The same with the listed samples given apart from the report (its `samples` unused).
void write_json(std::ostream& out, const vorn_profile::QueryReport& report,
                const ListedSamples& samples,
                const std::optional<vorn_profile::TimeWindow>& window = std::nullopt);

/// RFC 4180: a header row, then one row per group with the summary fields in record order.
void write_csv(std::ostream& out, const vorn_profile::QueryReport& report);

/// The two profiles' totals, then one row per group: status, figures of both sides and the
/// change. JSON and CSV hold every field; the table the ones a person compares first.
/// The clocks of the two profiles of a diff: the table names both when they differ, since
/// equal cycles are then unequal times.
struct DiffClocks {
    std::uint64_t base = 0;
    std::uint64_t next = 0;
};
void write_diff_table(std::ostream& out, const vorn_profile::DiffReport& report,
                      const vorn_profile::TimeWindow& window,
                      std::optional<DiffClocks> clocks = std::nullopt);
void write_diff_json(std::ostream& out, const vorn_profile::DiffReport& report,
                     const vorn_profile::TimeWindow& window);
void write_diff_csv(std::ostream& out, const vorn_profile::DiffReport& report);

/// Which rows of a superstep report are shown.
enum class SuperstepRows { Occurrence, Tile };

/// The totals, then the first `limit` rows (all when absent) of one phase occurrence or one
/// tile each, with milliseconds beside the cycle figures.
void write_supersteps_table(std::ostream& out, const vorn_profile::SuperstepReport& report,
                            SuperstepRows rows, std::optional<std::uint64_t> limit);
void write_supersteps_json(std::ostream& out, const vorn_profile::SuperstepReport& report,
                           SuperstepRows rows, std::optional<std::uint64_t> limit);
void write_supersteps_csv(std::ostream& out, const vorn_profile::SuperstepReport& report,
                          SuperstepRows rows, std::optional<std::uint64_t> limit);

/// The names `--columns` may give to the tables of `query` (with these further percentiles),
/// `diff` and `supersteps` (with these rows), in the order of the whole tables.
std::vector<std::string> query_table_columns(const std::vector<std::uint32_t>& percentiles);
std::vector<std::string> diff_table_columns();
std::vector<std::string> supersteps_table_columns(SuperstepRows rows);

/// `text` as one RFC 4180 field, preceded by a comma unless it is the first of its line.
void csv_field(std::string& line, std::string_view text, bool first = false);

/// A group's dimensions as `key=value;key=value`, keys in order, with a backslash before every
/// `;`, `=` and `\` inside a key or value, so that the text splits back into its entries.
std::string joined_dimensions(const vorn_profile::GroupSummary& group);

}  // namespace vorn_cli

// The answers of the commands that print a report about one profile, written in the format the
// command line asks for. The tool prints them; the server sends the same bytes.
#pragma once

#include <iosfwd>
#include <optional>

#include "listed_samples.hpp"
#include "options.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_cli {

/// A query's report, with its listed steps, as `query --format` asks.
void write_report(std::ostream& out, OutputFormat format, const vorn_profile::QueryReport& report,
                  const ListedSamples& samples,
                  const std::optional<vorn_profile::TimeWindow>& window);

/// `query`: the report of `line.query` (within `line.window`, on `line.threads` threads).
void write_query_answer(std::ostream& out, const vorn_package::ProfileColumns& columns,
                        const CommandLine& line);

/// `supersteps`: one row per phase occurrence, or per tile.
void write_supersteps_answer(std::ostream& out, const vorn_package::ProfileColumns& columns,
                             const CommandLine& line);

}  // namespace vorn_cli

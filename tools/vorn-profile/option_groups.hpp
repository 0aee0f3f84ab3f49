// The options several commands share (grouping, filters, window, threads, shards, format,
// columns), registered with CLI11 in one wording, and the values of the shared ones that
// are not part of the query.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "option_values.hpp"

namespace vorn_cli {

/// The words given to one command: its profile, and each option's values.
struct CommandWords {
    std::string profile;
    Words values;
};

/// Registers `name`, which takes one value per occurrence. Occurrences are only collected here,
/// so that repeating an option that may be given once is reported in the tool's own words.
void add_value(CLI::App& app, Words& words, const std::string& names, const std::string& type,
               const std::string& help);

void add_grouping_options(CLI::App& app, Words& w);
void add_filter_options(CLI::App& app, Words& w);
void add_window_options(CLI::App& app, Words& w);
/// Grouping, filters, `--limit`, `--sample-limit` and `--percentiles`: the options of `query`
/// that make a `vorn_profile::Query`.
void add_query_options(CLI::App& app, CommandWords& words);
void add_threads_option(CLI::App& app, Words& w);
void add_shard_option(CLI::App& app, Words& w);
void add_format_option(CLI::App& app, Words& w, std::string_view what);
void add_columns_option(CLI::App& app, Words& w);

/// `--threads N`, 1 to 1024; by default the cores the process may use.
std::size_t to_threads(const Words& words);

/// `--shard-tiles N`: write a directory of shards of N tile records each.
std::optional<std::uint64_t> to_shard_tiles(const Words& words);

/// `--columns LIST`: the names, which only a table uses, each one of the `known` names of the
/// command's `table` (or `all` alone).
std::vector<std::string> to_table_columns(const Words& words, OutputFormat format,
                                          std::string_view table,
                                          const std::vector<std::string>& known);

}  // namespace vorn_cli

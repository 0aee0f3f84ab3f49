#include "option_groups.hpp"

#include <sched.h>

#include <algorithm>

namespace vorn_cli {
namespace {

/// The cores this process may run on (its CPU affinity), at least 1.
std::size_t usable_cores() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (::sched_getaffinity(0, sizeof(cores), &cores) != 0) {
        return 1;
    }
    return static_cast<std::size_t>(std::max(CPU_COUNT(&cores), 1));
}

}  // namespace

std::size_t to_threads(const Words& words) {
    constexpr std::uint32_t kMostThreads = 1024;
    const auto value = single(words, "--threads");
    if (!value) {
        return usable_cores();
    }
    const auto threads = parse_number<std::uint32_t>("--threads", *value);
    if (threads == 0 || threads > kMostThreads) {
        throw UsageError("--threads: " + *value + " is out of range (1 to " +
                         std::to_string(kMostThreads) + ")");
    }
    return threads;
}

void add_value(CLI::App& app, Words& words, const std::string& names, const std::string& type,
               const std::string& help) {
    const std::string key = names.substr(0, names.find(','));
    app.add_option(names, words[key], help)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name(type);
}

void add_grouping_options(CLI::App& app, Words& w) {
    add_value(app, w, "--group-by", "G[,G[,G]]",
              "Group by kind, kernel (default), operation, phase, tile or metadata; two or three "
              "keys, e.g. kernel,tile, give one group per combination");
    add_value(app, w, "--metadata-key", "KEY",
              "Metadata entry name to group by; needed by --group-by metadata and used only by "
              "it (may be empty)");
    add_value(app, w, "--sort-by", "S",
              "Order groups by phase-cycles (default), work-cycles, maximum-cycles, samples or "
              "name");
}

void add_filter_options(CLI::App& app, Words& w) {
    add_value(app, w, "--kind", "K", "Keep exchange, compute, synchronization or idle steps");
    add_value(app, w, "--kernel", "TEXT",
              "Keep steps of this kernel (exact); --kernel '' keeps steps without a kernel (the "
              "table's \"(no kernel)\" is only a display name)");
    add_value(app, w, "--kernel-matches", "RE",
              "Keep steps whose kernel contains a match of the regular expression RE (RE2 "
              "syntax)");
    add_value(app, w, "--operation-matches", "RE",
              "Keep steps whose operation contains a match of RE (RE2 syntax)");
    add_value(app, w, "--exclude-kind", "K", "Leave out steps of this kind; repeatable");
    add_value(app, w, "--exclude-kernel", "TEXT",
              "Leave out steps of this kernel (exact; '' = steps without a kernel); repeatable");
    add_value(app, w, "--operation-contains", "TEXT",
              "Keep steps whose operation contains TEXT (case-sensitive)");
    add_value(app, w, "--tile", "LIST", "Keep these physical tiles, e.g. 3 or 1,3-5,9; repeatable");
    add_value(app, w, "--phase", "LIST", "Keep these phases (any epoch), same forms; repeatable");
    add_value(app, w, "--epoch", "LIST",
              "Keep these epochs, same forms; repeatable (--phase 1 --epoch 6 picks one "
              "occurrence)");
    add_value(app, w, "--metadata", "NAME[=VALUE]",
              "Keep steps with a metadata entry NAME (holding VALUE); repeatable, all must hold");
    add_value(app, w, "--at-offset", "N",
              "Keep steps running at cycle N of the tile's time line (0 = its first sample)");
}

void add_window_options(CLI::App& app, Words& w) {
    add_value(app, w, "--from", "A",
              "Count only what runs from cycle A of each tile's time line on (default 0)");
    add_value(app, w, "--to", "B",
              "... and before cycle B (default 2^64-1); steps are cut at the window's edges");
}

void add_query_options(CLI::App& app, CommandWords& words) {
    Words& w = words.values;
    add_grouping_options(app, w);
    add_filter_options(app, w);
    add_value(app, w, "--limit", "N", "Keep the first N groups after ordering (0 keeps none)");
    add_value(app, w, "--sample-limit", "N",
              "Also list the N longest matching steps (table and json; csv holds groups only, "
              "so --format csv refuses it: use the samples command)");
    add_value(app, w, "--percentiles", "LIST",
              "Add a column per percentile of the durations, e.g. 90,99,99.9 (0 to 100, at "
              "most three decimals)");
}

void add_threads_option(CLI::App& app, Words& w) {
    add_value(app, w, "--threads", "N",
              "Work on N threads, 1 to 1024 (default: the cores this process may use); the "
              "output is the same for every N");
}
std::optional<std::uint64_t> to_shard_tiles(const Words& words) {
    const auto value = single(words, "--shard-tiles");
    if (!value) {
        return std::nullopt;
    }
    const auto tiles = parse_number<std::uint64_t>("--shard-tiles", *value);
    if (tiles == 0) {
        throw UsageError("--shard-tiles: a shard holds at least one tile record, not 0");
    }
    return tiles;
}

void add_shard_option(CLI::App& app, Words& w) {
    add_value(app, w, "--shard-tiles", "N",
              "Write -o DIR (new or empty) as shards of N tile records each, part-00000.packed, "
              "...; read back, the directory is the whole profile");
}

void add_format_option(CLI::App& app, Words& w, std::string_view what) {
    add_value(app, w, "--format", "F",
              "Print the " + std::string(what) + " as table (default), json or csv");
}

void add_columns_option(CLI::App& app, Words& w) {
    add_value(app, w, "--columns", "LIST",
              "The table's columns, in this order (e.g. group,samples,p95,share), or all; on a "
              "terminal the default is a few that fit (see vorn-profile help columns); a name "
              "the table does not have is an error that lists the ones it has");
}

std::vector<std::string> to_table_columns(const Words& words, OutputFormat format,
                                          std::string_view table,
                                          const std::vector<std::string>& known) {
    std::vector<std::string> columns;
    const auto value = single(words, "--columns");
    if (!value) {
        return columns;
    }
    if (format != OutputFormat::Table) {
        throw UsageError(
            "--columns: chooses the columns of a table; json and csv hold every "
            "column");
    }
    std::string_view list = *value;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string name(list.substr(0, comma));
        if (name.empty()) {
            throw UsageError("--columns: " + in_quotes(*value) +
                             " has an empty name (give names separated by commas, or all)");
        }
        columns.push_back(name);
        if (comma == std::string_view::npos) {
            break;
        }
        list.remove_prefix(comma + 1);
    }
    if (columns.size() == 1 && columns[0] == "all") {
        return columns;
    }
    // A name no table shows would be left out without a word, and the rest shown as if it
    // were not there.
    for (const std::string& name : columns) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            std::string names;
            for (const std::string& title : known) {
                names += (names.empty() ? "" : ", ") + title;
            }
            throw UsageError("--columns: " + in_quotes(name) +
                             (name == "all" ? " stands alone, not in a list of columns"
                                            : " is not a column of the " + std::string(table) +
                                                  " table (its columns: " + names + "; or all)"));
        }
    }
    return columns;
}

}  // namespace vorn_cli

// Command-line parsing: CLI11 collects the words of each command, then each value is checked and
// converted (option_values), and the command line is put together.
#include "options.hpp"

#include <sched.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <string_view>
#include <utility>

#include "help_columns.hpp"
#include "option_values.hpp"
#include "text_table.hpp"
#include "unknown_option.hpp"

namespace vorn_cli {
namespace {

constexpr std::string_view kDescription =
    "Answers questions about cycle profiles recorded on a tiled accelerator.";
constexpr std::string_view kFooter =
    "Examples:\n"
    "  vorn-profile demo\n"
    "  vorn-profile generate -o run.json\n"
    "  vorn-profile info run.json\n"
    "  vorn-profile query run.json --group-by kernel --limit 5\n"
    "  vorn-profile query run.json --kind exchange --sample-limit 10 --format json\n"
    "  vorn-profile pack run.json -o run.packed\n"
    "  vorn-profile query run.packed --group-by phase\n"
    "  vorn-profile query run.json --from 1000000 --to 2000000 --group-by kind\n"
    "  vorn-profile query run.packed --group-by phase --partial -o run.part\n"
    "  vorn-profile merge a.part b.part --limit 10\n"
    "  vorn-profile diff before.json after.json --limit 5\n"
    "  vorn-profile supersteps run.json --by tile --limit 5\n"
    "  vorn-profile export run.json -o run.pftrace\n"
    "  vorn-profile report run.json -o run.html\n"
    "  vorn-profile serve run.packed\n"
    "\n"
    "Exit status: 0 on success, 1 when a profile cannot be read, 2 for a command-line error.";

constexpr std::string_view kDiffFooter =
    "Runs the same query (filters, grouping, window) on both profiles and prints one row per\n"
    "group name found in either, ordered by the size of the change of the --sort-by field.\n"
    "\n"
    "Example:\n"
    "  vorn-profile generate -o before.json\n"
    "  vorn-profile generate --slow-kernel gemm --slow-factor 1.5 -o after.json\n"
    "  vorn-profile diff before.json after.json --group-by kernel --limit 5";

constexpr std::string_view kSuperstepsFooter =
    "One row per phase occurrence (epoch, phase): how busy its tiles were with exchange and\n"
    "compute, which tile the others waited for (the straggler) and the tile-cycles that cost.\n"
    "--by tile adds it up per tile.\n"
    "\n"
    "Example:\n"
    "  vorn-profile supersteps run.json --limit 10\n"
    "  vorn-profile supersteps run.json --kind compute --by tile --format csv";

constexpr std::string_view kGenerateFooter =
    "Example:\n"
    "  vorn-profile generate --tiles 1472 --steps-per-tile 1000 -o large.json\n"
    "  vorn-profile generate --slow-kernel gemm --slow-factor 1.5 --slow-tiles 0-7 -o slow.json\n"
    "  vorn-profile generate --tiles 1472 --steps-per-tile 68000 --format packed -o big.packed";

/// Options of `query` that the other analyses do not take, with the reason.
struct NotTaken {
    std::string_view command;
    std::string_view option;
    std::string_view reason;
};
constexpr NotTaken kNotTaken[] = {
    {"diff", "--sample-limit", "diff compares groups, it lists no steps"},
    {"supersteps", "--group-by",
     "supersteps are grouped by phase occurrence, or by tile with --by"},
    {"supersteps", "--metadata-key", "supersteps are grouped by phase occurrence or by tile"},
    {"supersteps", "--sort-by", "supersteps are ordered by lost cycles"},
    {"supersteps", "--sample-limit", "supersteps list no steps"},
};

/// The cores this process may run on (its CPU affinity), at least 1.
std::size_t usable_cores() {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (::sched_getaffinity(0, sizeof(cores), &cores) != 0) {
        return 1;
    }
    return static_cast<std::size_t>(std::max(CPU_COUNT(&cores), 1));
}

/// `--threads N`, 1 to 1024; by default the cores the process may use.
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

struct CommandWords {
    std::string profile;
    Words values;
};

constexpr std::string_view kMergeFooter =
    "Partial reports are a query's mergeable state over part of a profile: make one per file\n"
    "with query --partial, anywhere, then merge them in the order of their tiles in the whole\n"
    "profile. The report is the one query gives over the whole profile. --limit and\n"
    "--sample-limit may be given here only if the parts were made without them.\n"
    "\n"
    "Example:\n"
    "  vorn-profile query a.packed --group-by phase --partial -o a.part\n"
    "  vorn-profile query b.packed --group-by phase --partial -o b.part\n"
    "  vorn-profile merge a.part b.part --limit 10 --format json";

/// Registers `name`, which takes one value per occurrence. Occurrences are only collected here,
/// so that repeating an option that may be given once is reported in the tool's own words.
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

/// `--shard-tiles N`: write a directory of shards of N tile records each.
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
              "terminal the default is a few that fit (see vorn-profile help columns)");
}

/// `--columns LIST`: the names, which only a table uses.
std::vector<std::string> to_table_columns(const Words& words, OutputFormat format) {
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
    return columns;
}

/// The CLI11 description of the whole tool, writing into `words` per command.
struct Parser {
    CLI::App app{std::string(kDescription), "vorn-profile"};
    CLI::App* query = nullptr;
    CLI::App* merge = nullptr;
    CommandWords merge_words;
    std::vector<std::string> merge_parts;
    bool query_partial = false;
    CLI::App* diff = nullptr;
    CLI::App* supersteps = nullptr;
    CLI::App* info = nullptr;
    CLI::App* generate = nullptr;
    CLI::App* demo = nullptr;
    CLI::App* pack = nullptr;
    CLI::App* unpack = nullptr;
    CommandWords query_words;
    CommandWords diff_words;
    CommandWords supersteps_words;
    CLI::App* export_command = nullptr;
    CLI::App* report = nullptr;
    CLI::App* samples = nullptr;
    CommandWords samples_words;
    CommandWords export_words;
    CommandWords report_words;
    CommandWords info_words;
    CommandWords generate_words;
    CommandWords pack_words;
    CommandWords unpack_words;
    CLI::App* serve = nullptr;
    CommandWords serve_words;
    std::string diff_new_profile;

    Parser() {
        app.set_version_flag("--version", "vorn-profile " VORN_PROFILE_VERSION);
        app.require_subcommand(1);
        app.footer(std::string(kFooter));

        query = app.add_subcommand("query", "Run one query over a profile and print the report");
        query
            ->add_option("PROFILE", query_words.profile,
                         "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_query_options(*query, query_words);
        add_window_options(*query, query_words.values);
        add_value(*query, query_words.values, "--format", "F",
                  "Print the report as table (default), json or csv; csv's dimensions column is "
                  "key=value;key=value, with a backslash before each ; = or \\ in a key or value");
        add_threads_option(*query, query_words.values);
        add_columns_option(*query, query_words.values);
        query->footer(std::string(kColumnsPointer));
        query->add_flag("--partial", query_partial,
                        "Write the query's partial report to -o PART instead of the report, for "
                        "merge");
        add_value(*query, query_words.values, "-o,--output", "PART",
                  "With --partial: write the partial report to PART (- for standard output)");

        merge = app.add_subcommand("merge",
                                   "Merge partial reports (query --partial) and print the report");
        merge->add_option("PART", merge_parts, "Partial reports, in the order of their tiles")
            ->required();
        add_value(*merge, merge_words.values, "--limit", "N",
                  "Keep the first N groups after ordering, if the parts were made without --limit");
        add_value(*merge, merge_words.values, "--sample-limit", "N",
                  "List the N longest steps, if the parts were made without --sample-limit");
        add_format_option(*merge, merge_words.values, "report");
        merge->footer(std::string(kMergeFooter));

        diff = app.add_subcommand("diff", "Compare two profiles group by group");
        diff->add_option("BASE", diff_words.profile,
                         "The profile before (JSON or packed), or - for stdin")
            ->required();
        diff->add_option("NEW", diff_new_profile,
                         "The profile after (JSON or packed), or - for stdin")
            ->required();
        add_grouping_options(*diff, diff_words.values);
        add_filter_options(*diff, diff_words.values);
        add_window_options(*diff, diff_words.values);
        add_value(*diff, diff_words.values, "--limit", "N",
                  "Keep the first N rows after ordering (0 keeps none)");
        add_format_option(*diff, diff_words.values, "comparison");
        add_threads_option(*diff, diff_words.values);
        add_columns_option(*diff, diff_words.values);
        diff->footer(std::string(kDiffFooter) + "\n\n" + std::string(kColumnsPointer));

        supersteps = app.add_subcommand(
            "supersteps", "Per phase occurrence: imbalance between tiles and the straggler");
        supersteps
            ->add_option("PROFILE", supersteps_words.profile,
                         "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_filter_options(*supersteps, supersteps_words.values);
        add_window_options(*supersteps, supersteps_words.values);
        add_value(*supersteps, supersteps_words.values, "--limit", "N",
                  "Keep the first N rows (0 keeps none)");
        add_value(*supersteps, supersteps_words.values, "--by", "B",
                  "One row per phase occurrence (default) or per tile");
        add_format_option(*supersteps, supersteps_words.values, "supersteps");
        add_threads_option(*supersteps, supersteps_words.values);
        add_columns_option(*supersteps, supersteps_words.values);
        supersteps->footer(std::string(kSuperstepsFooter) + "\n\n" + std::string(kColumnsPointer));

        samples = app.add_subcommand(
            "samples", "Write every matching step as a row: CSV or JSON Lines, for data frames");
        samples
            ->add_option("PROFILE", samples_words.profile,
                         "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_filter_options(*samples, samples_words.values);
        add_window_options(*samples, samples_words.values);
        add_value(*samples, samples_words.values, "--format", "F",
                  "csv (default: a header, then physical_tile,offset,duration,kind,phase,epoch,"
                  "local_index,operation,kernel,metadata; metadata as name=value;... with a "
                  "backslash before each ; = or \\ inside) or json (JSON Lines, one object a "
                  "line)");
        add_value(*samples, samples_words.values, "-o,--output", "FILE",
                  "Write to FILE instead of standard output (- also means it)");
        samples->footer(
            "Steps in stored order, offsets on each tile's time line (0 = its first step) and "
            "clipped to --from/--to like the query's.\n\nExample:\n"
            "  vorn-profile samples run.json --kernel gemm -o gemm.csv\n"
            "  vorn-profile samples run.packed --phase 3 --epoch 1 --format json > "
            "steps.jsonl\n\n" +
            std::string(kColumnsPointer));

        info = app.add_subcommand("info", "Summarise a profile: counts, span, kernels, phases");
        info->add_option("PROFILE", info_words.profile,
                         "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_threads_option(*info, info_words.values);
        add_value(*info, info_words.values, "--format", "F",
                  "Print the summary as table (default), json (one object) or csv (one row per "
                  "kind, kernel, phase, epoch and metadata name)");
        add_columns_option(*info, info_words.values);
        info->footer(std::string(kColumnsPointer));

        generate = app.add_subcommand("generate", "Write a deterministic synthetic profile");
        Words& g = generate_words.values;
        add_value(*generate, g, "--tiles", "N", "Number of tiles (default 64)");
        add_value(*generate, g, "--steps-per-tile", "N", "Samples per tile (default 400)");
        add_value(*generate, g, "--seed", "N",
                  "Seed (default 1); the same seed gives the same bytes");
        add_value(*generate, g, "--clock-hz", "N", "Clock of the device (default 1330000000)");
        add_value(*generate, g, "--slow-kernel", "K",
                  "Make the compute steps of kernel K slower, as after a bad change");
        add_value(*generate, g, "--slow-factor", "F", "... F times as long (default 2)");
        add_value(*generate, g, "--slow-tiles", "LIST",
                  "... on these tiles only, e.g. 0-7 (default every tile); repeatable");
        add_value(*generate, g, "-o,--output", "FILE",
                  "Write to FILE instead of standard output (- also means it)");
        add_value(*generate, g, "--format", "F",
                  "Write json (default) or packed; packed to a FILE is written as it is made, "
                  "so any size fits in memory");
        add_shard_option(*generate, g);
        generate->footer(std::string(kGenerateFooter));

        pack = app.add_subcommand("pack", "Write a profile as a packed file, to open in no time");
        pack->add_option("PROFILE", pack_words.profile,
                         "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_value(*pack, pack_words.values, "-o,--output", "FILE",
                  "Write to FILE instead of standard output (- also means it)");
        add_shard_option(*pack, pack_words.values);
        add_threads_option(*pack, pack_words.values);
        pack->footer(
            "Example:\n  vorn-profile pack run.json -o run.packed\n"
            "  vorn-profile pack run.json -o run/ --shard-tiles 184");

        unpack = app.add_subcommand("unpack", "Write a profile back as JSON");
        unpack
            ->add_option("PROFILE", unpack_words.profile,
                         "Profile file (packed or JSON), or - for stdin")
            ->required();
        add_value(*unpack, unpack_words.values, "-o,--output", "FILE",
                  "Write to FILE instead of standard output (- also means it)");
        add_threads_option(*unpack, unpack_words.values);
        unpack->footer("Example:\n  vorn-profile unpack run.packed -o run.json");

        demo = app.add_subcommand("demo", "Answer a few typical questions on a built-in profile");

        export_command = app.add_subcommand(
            "export", "Write a timeline for Perfetto or chrome://tracing: one track per tile");
        export_command->footer(
            "Example:\n  vorn-profile export run.json -o run.pftrace --kind compute\n"
            "  (open it at ui.perfetto.dev; --format chrome-json for chrome://tracing)");
        export_command
            ->add_option("PROFILE", export_words.profile,
                         "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_value(*export_command, export_words.values, "-o,--output", "FILE",
                  "Write the trace to FILE (- for standard output); required");
        add_value(*export_command, export_words.values, "--format", "F",
                  "perfetto (default, protobuf) or chrome-json (Trace Event Format)");
        add_filter_options(*export_command, export_words.values);
        add_window_options(*export_command, export_words.values);
        add_threads_option(*export_command, export_words.values);

        report = app.add_subcommand(
            "report", "Write one self-contained HTML page with tables, charts and a tile map");
        report->footer(
            "Example:\n  vorn-profile report run.json -o run.html --phase 0-40\n"
            "  vorn-profile report run.json -o part.html --from 100000 --to 200000");
        report
            ->add_option("PROFILE", report_words.profile,
                         "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_value(*report, report_words.values, "-o,--output", "FILE",
                  "Write the page to FILE (- for standard output); required");
        add_filter_options(*report, report_words.values);
        add_window_options(*report, report_words.values);
        add_threads_option(*report, report_words.values);

        serve = app.add_subcommand(
            "serve", "Explore a profile in the browser: a local page and its JSON API");
        serve->footer(
            "Example:\n  vorn-profile serve run.packed\n"
            "  (then open the printed address; Ctrl-C ends it)");
        serve->add_option("PROFILE", serve_words.profile, "Profile file (JSON or packed)")
            ->required();
        add_value(*serve, serve_words.values, "--port", "N",
                  "Listen on port N (default 8710; 0 picks a free port)");
        add_value(*serve, serve_words.values, "--host", "ADDR",
                  "Listen on address ADDR (default 127.0.0.1; any other lets others read the "
                  "profile)");
        add_threads_option(*serve, serve_words.values);
    }

    CommandLine command_line() const {
        CommandLine line;
        if (query->parsed()) {
            line.command = Command::Query;
            line.profile = query_words.profile;
            line.query = to_query(query_words.values);
            line.window = to_window(query_words.values);
            line.format = to_format(query_words.values);
            if (line.format == OutputFormat::Csv && line.query.sample_limit > 0) {
                throw UsageError(
                    "--sample-limit: --format csv holds groups only and would drop the listed "
                    "steps; use --format json, or the samples command for the steps as CSV");
            }
            line.threads = to_threads(query_words.values);
            line.columns = to_table_columns(query_words.values, line.format);
            line.partial = query_partial;
            line.output = output_file(query_words.values);
            if (line.partial && !line.query.then_group_by.empty()) {
                throw UsageError(
                    "--partial: not with several --group-by keys (their groups are named by the "
                    "profile's own steps, which a part does not carry)");
            }
            if (line.partial && !line.output) {
                throw UsageError("--partial: give -o PART (a partial report is binary)");
            }
            if (line.partial && single(query_words.values, "--format")) {
                throw UsageError("--format: not with --partial (give it to merge)");
            }
            if (!line.partial && line.output) {
                throw UsageError("-o: only with --partial (the report goes to standard output)");
            }
        } else if (merge->parsed()) {
            line.command = Command::Merge;
            line.parts = merge_parts;
            if (std::count(line.parts.begin(), line.parts.end(), "-") > 1) {
                throw UsageError("- (standard input) is given more than once; it can be read once");
            }
            line.format = to_format(merge_words.values);
            if (const auto value = single(merge_words.values, "--limit")) {
                line.merge_limit = parse_number<std::uint64_t>("--limit", *value);
            }
            if (const auto value = single(merge_words.values, "--sample-limit")) {
                line.merge_sample_limit = parse_number<std::uint64_t>("--sample-limit", *value);
            }
        } else if (diff->parsed()) {
            line.command = Command::Diff;
            if (diff_words.profile == "-" && diff_new_profile == "-") {
                // Standard input can be read once: the second side would find it empty.
                throw UsageError(
                    "BASE and NEW are both - (standard input), which can be read only once; "
                    "give at least one as a file");
            }
            line.profile = diff_words.profile;
            line.new_profile = diff_new_profile;
            line.query = to_query(diff_words.values);
            line.window = to_window(diff_words.values);
            line.format = to_format(diff_words.values);
            line.threads = to_threads(diff_words.values);
            line.columns = to_table_columns(diff_words.values, line.format);
        } else if (supersteps->parsed()) {
            line.command = Command::Supersteps;
            line.profile = supersteps_words.profile;
            line.query = to_query(supersteps_words.values);
            line.window = to_window(supersteps_words.values);
            line.format = to_format(supersteps_words.values);
            line.threads = to_threads(supersteps_words.values);
            line.columns = to_table_columns(supersteps_words.values, line.format);
            if (const auto value = single(supersteps_words.values, "--by")) {
                line.superstep_rows = parse_choice<SuperstepRows>(
                    "--by", *value,
                    {{"occurrence", SuperstepRows::Occurrence}, {"tile", SuperstepRows::Tile}});
            }
        } else if (samples->parsed()) {
            line.command = Command::Samples;
            line.profile = samples_words.profile;
            line.query = to_query(samples_words.values);
            line.window = to_window(samples_words.values);
            line.output = output_file(samples_words.values);
            if (const auto value = single(samples_words.values, "--format")) {
                line.sample_format = parse_choice<SampleFormat>(
                    "--format", *value,
                    {{"csv", SampleFormat::Csv}, {"json", SampleFormat::JsonLines}});
            }
        } else if (info->parsed()) {
            line.command = Command::Info;
            line.format = to_format(info_words.values);
            line.columns = to_table_columns(info_words.values, line.format);
            line.profile = info_words.profile;
            line.threads = to_threads(info_words.values);
        } else if (generate->parsed()) {
            line.command = Command::Generate;
            const Words& g = generate_words.values;
            vorn_package::SyntheticOptions& options = line.synthetic;
            if (const auto value = single(g, "--tiles")) {
                options.tiles = parse_number<std::uint32_t>("--tiles", *value);
            }
            if (const auto value = single(g, "--steps-per-tile")) {
                options.steps_per_tile = parse_number<std::uint32_t>("--steps-per-tile", *value);
            }
            if (const auto value = single(g, "--seed")) {
                options.seed = parse_number<std::uint64_t>("--seed", *value);
            }
            if (const auto value = single(g, "--clock-hz")) {
                options.clock_hz = parse_number<std::uint64_t>("--clock-hz", *value);
            }
            if (const auto value = single(g, "--slow-kernel")) {
                options.slow_kernel = text_value("--slow-kernel", *value);
                if (options.slow_kernel->empty()) {
                    throw UsageError("--slow-kernel: give the name of a kernel, such as gemm");
                }
                // A kernel the generator does not make would leave the profile as it is.
                const std::vector<std::string> kernels = vorn_package::synthetic_kernels();
                if (std::find(kernels.begin(), kernels.end(), *options.slow_kernel) ==
                    kernels.end()) {
                    std::string names;
                    for (const std::string& kernel : kernels) {
                        names += (names.empty() ? "" : ", ") + kernel;
                    }
                    throw UsageError("--slow-kernel: the generator makes no kernel " +
                                     in_quotes(*options.slow_kernel) + " (its kernels are " +
                                     names + ")");
                }
                options.slow_factor = 2.0;
            }
            if (const auto value = single(g, "--slow-factor")) {
                if (!options.slow_kernel) {
                    throw UsageError("--slow-factor: needs --slow-kernel");
                }
                options.slow_factor = parse_factor("--slow-factor", *value);
            }
            for (const std::string& list : repeated(g, "--slow-tiles")) {
                if (!options.slow_kernel) {
                    throw UsageError("--slow-tiles: needs --slow-kernel");
                }
                add_list("--slow-tiles", list, options.slow_tiles);
            }
            // A slow tile the profile does not have would leave it unchanged without a word.
            if (!options.slow_tiles.empty() && *options.slow_tiles.rbegin() >= options.tiles) {
                const std::string tiles =
                    options.tiles == 0 ? "it has none"
                                       : "its tiles are 0 to " + std::to_string(options.tiles - 1);
                throw UsageError("--slow-tiles: tile " +
                                 std::to_string(*options.slow_tiles.rbegin()) +
                                 " is not in the profile: " + tiles + " (--tiles " +
                                 std::to_string(options.tiles) + ")");
            }
            if (const auto error = vorn_package::synthetic_options_error(options)) {
                throw UsageError(*error);
            }
            line.output = output_file(g);
            if (const auto value = single(g, "--format")) {
                line.generate_format = parse_choice<ProfileFormat>(
                    "--format", *value,
                    {{"json", ProfileFormat::Json}, {"packed", ProfileFormat::Packed}});
            }
            line.shard_tiles = to_shard_tiles(g);
            if (line.shard_tiles && line.generate_format != ProfileFormat::Packed) {
                throw UsageError("--shard-tiles: shards are packed; add --format packed");
            }
            if (line.shard_tiles && (!line.output || *line.output == "-")) {
                throw UsageError("--shard-tiles: give the directory to write with -o DIR");
            }
        } else if (pack->parsed() || unpack->parsed()) {
            const CommandWords& words = pack->parsed() ? pack_words : unpack_words;
            line.command = pack->parsed() ? Command::Pack : Command::Unpack;
            line.profile = words.profile;
            line.output = output_file(words.values);
            line.threads = to_threads(words.values);
            if (pack->parsed()) {
                line.shard_tiles = to_shard_tiles(words.values);
                if (line.shard_tiles && (!line.output || *line.output == "-")) {
                    throw UsageError("--shard-tiles: give the directory to write with -o DIR");
                }
            }
        } else if (export_command->parsed()) {
            line.command = Command::Export;
            line.profile = export_words.profile;
            line.query = to_query(export_words.values);
            line.output = required_output(export_words.values);
            if (const auto value = single(export_words.values, "--format")) {
                line.trace_format =
                    parse_choice<TraceFormat>("--format", *value,
                                              {{"perfetto", TraceFormat::Perfetto},
                                               {"chrome-json", TraceFormat::ChromeJson}});
            }
            line.window = to_window(export_words.values);
            line.threads = to_threads(export_words.values);
        } else if (report->parsed()) {
            line.command = Command::Report;
            line.profile = report_words.profile;
            line.query = to_query(report_words.values);
            line.output = required_output(report_words.values);
            line.window = to_window(report_words.values);
            line.threads = to_threads(report_words.values);
        } else if (serve->parsed()) {
            line.command = Command::Serve;
            line.profile = serve_words.profile;
            if (line.profile == "-") {
                throw UsageError(
                    "PROFILE: serve reads a file or a shard directory, not standard "
                    "input");
            }
            if (const auto value = single(serve_words.values, "--port")) {
                line.port = parse_number<std::uint16_t>("--port", *value);
            }
            if (const auto value = single(serve_words.values, "--host")) {
                line.host = text_value("--host", *value);
                if (line.host.empty()) {
                    throw UsageError("--host: give an address, such as 127.0.0.1");
                }
            }
            line.threads = to_threads(serve_words.values);
        } else {
            line.command = Command::Demo;
        }
        return line;
    }
};

/// Whether `name` is an option of `command`, or of a command it belongs to, that takes a value.
bool takes_value(const CLI::App& command, const std::string& name) {
    for (const CLI::App* app = &command; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* option = app->get_option_no_throw(name)) {
            return option->get_items_expected_max() > 0;
        }
    }
    return false;
}

/// `args` with every `--name=` (an empty value joined by `=`) split into `--name` and an empty
/// word. CLI11 cannot tell `--name=` from `--name` and would take the next word as the value;
/// split, it reads exactly as `--name ''`. Words that are values themselves, and everything
/// after `--`, are left as they are.
std::vector<std::string> with_empty_values(const CLI::App& app,
                                           const std::vector<std::string>& args) {
    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    const CLI::App* command = &app;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        words.push_back(word);
        if (command == &app) {
            const auto named =
                app.get_subcommands([&](const CLI::App* sub) { return sub->check_name(word); });
            if (!named.empty()) {
                command = named.front();
                continue;
            }
        }
        const bool long_name = word.starts_with("--");
        const std::size_t equals = long_name ? word.find('=') : std::string::npos;
        if (equals != std::string::npos) {
            if (equals + 1 == word.size() && takes_value(*command, word.substr(0, equals))) {
                words.back().pop_back();
                words.emplace_back();
            }
        } else if ((long_name || (word.size() == 2 && word[0] == '-')) &&
                   takes_value(*command, word) && i + 1 < args.size()) {
            words.push_back(args[++i]);  // the value, whatever it looks like
        }
    }
    return words;
}

/// Parses `args` with `app`, CLI11 taking the words last first.
void parse_words(CLI::App& app, const std::vector<std::string>& args) {
    std::vector<std::string> words = with_empty_values(app, args);
    std::reverse(words.begin(), words.end());
    app.parse(words);
}

bool is_command(std::string_view word) {
    return word == "query" || word == "merge" || word == "diff" || word == "supersteps" ||
           word == "info" || word == "samples" || word == "generate" || word == "demo" ||
           word == "pack" || word == "unpack" || word == "export" || word == "report" ||
           word == "serve";
}

/// An option of `query` given to an analysis that does not take it, said in so many words
/// (CLI11 would only call it unexpected).
std::optional<std::string> option_not_taken(const std::vector<std::string>& args) {
    for (const NotTaken& rule : kNotTaken) {
        if (args[0] != rule.command) {
            continue;
        }
        for (const std::string& word : args) {
            if (word == "--") {
                break;
            }
            if (word == rule.option || word.starts_with(std::string(rule.option) + "=")) {
                return std::string(rule.option) + ": not an option of " +
                       std::string(rule.command) + " (" + std::string(rule.reason) + ")";
            }
        }
    }
    return std::nullopt;
}

}  // namespace

ParseOutcome parse_command_line_quietly(const std::vector<std::string>& args) {
    // CLI11 would call a misspelt command "an unexpected argument"; say what was meant instead.
    if (args.empty()) {
        return {std::nullopt, 2,
                "no command given (query, merge, diff, supersteps, info, samples, generate, demo, "
                "pack, unpack, export, report or serve); see vorn-profile --help"};
    }
    if (args[0] == "help") {
        if (args.size() == 2 && args[1] == "columns") {
            std::cout << kColumnsHelp;
            std::cout.flush();
            return {std::nullopt, std::cout ? 0 : 1, {}};
        }
        return {std::nullopt, 2,
                "help: say `vorn-profile help columns`, or give --help to a command"};
    }
    if (!args[0].starts_with('-') && !is_command(args[0])) {
        return {std::nullopt, 2,
                "unknown command " + in_quotes(args[0]) +
                    " (expected query, merge, diff, supersteps, info, samples, generate, demo, "
                    "pack, unpack, export, report or serve)"};
    }
    if (const auto message = option_not_taken(args)) {
        return {std::nullopt, 2, *message};
    }
    Parser parser;
    try {
        parse_words(parser.app, args);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            // Help or the version: a reader who cannot get it must learn that it failed.
            parser.app.exit(error, std::cout);
            if (!std::cout.flush()) {
                print_error("cannot write to standard output");
                return {std::nullopt, 1, {}};
            }
            return {std::nullopt, 0, {}};
        }
        // CLI11 checks that PROFILE is there before it looks at the words it did not know;
        // a word it did not know is the error to report (`info -x.json` names `-x.json`).
        const std::vector<std::string> unknown = parser.app.remaining(true);
        if (!unknown.empty() && (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr ||
                                 dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr)) {
            // An unknown option is the cause; the words after it are most likely its value.
            const auto option = std::find_if(unknown.begin(), unknown.end(), [](const auto& w) {
                return w.size() > 1 && w.starts_with('-');
            });
            if (option != unknown.end()) {
                return {std::nullopt, 2, unknown_option_message(parser.app, *option)};
            }
            std::string message = unknown.size() > 1 ? "unexpected words" : "unexpected argument";
            for (std::size_t i = 0; i < unknown.size(); ++i) {
                message += (i == 0 ? " " : ", ") + in_quotes(unknown[i]);
            }
            return {std::nullopt, 2, message};
        }
        return {std::nullopt, 2, error.what()};
    }
    try {
        return {parser.command_line(), 0, {}};
    } catch (const UsageError& error) {
        return {std::nullopt, 2, error.what()};
    }
}

ParseOutcome parse_command_line(const std::vector<std::string>& args) {
    ParseOutcome outcome = parse_command_line_quietly(args);
    if (!outcome.error.empty()) {
        print_error(outcome.error);
    }
    return outcome;
}

vorn_profile::Query parse_query_options(const std::vector<std::string>& options) {
    CLI::App app;
    CommandWords words;
    add_query_options(app, words);
    try {
        parse_words(app, options);
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    return to_query(words.values);
}

void print_error(const std::string& message) {
    const std::string line = "error: " + printable(message) + "\n";
    std::fputs(line.c_str(), stderr);
}

}  // namespace vorn_cli

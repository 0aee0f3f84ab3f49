// The commands that ask questions of a profile: `query`, `merge` and `samples`.
#include <algorithm>
#include <string_view>

#include "commands.hpp"
#include "help_columns.hpp"
#include "output.hpp"

namespace vorn_cli {
namespace {

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

}  // namespace

void QueryCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand("query", "Run one query over a profile and print the report");
    app->add_option("PROFILE", words.profile, "Profile file (JSON or packed), or - for stdin")
        ->required();
    add_query_options(*app, words);
    add_window_options(*app, words.values);
    add_value(*app, words.values, "--format", "F",
              "Print the report as table (default), json or csv; csv's dimensions column is "
              "key=value;key=value, with a backslash before each ; = or \\ in a key or value");
    add_threads_option(*app, words.values);
    add_columns_option(*app, words.values);
    app->footer(std::string(kColumnsPointer));
    app->add_flag("--partial", partial,
                  "Write the query's partial report to -o PART instead of the report, for "
                  "merge");
    add_value(*app, words.values, "-o,--output", "PART",
              "With --partial: write the partial report to PART (- for standard output)");
}

void QueryCommand::read(CommandLine& line) const {
    line.command = Command::Query;
    line.profile = words.profile;
    line.query = to_query(words.values);
    line.window = to_window(words.values);
    line.format = to_format(words.values);
    if (line.format == OutputFormat::Csv && line.query.sample_limit > 0) {
        throw UsageError(
            "--sample-limit: --format csv holds groups only and would drop the listed "
            "steps; use --format json, or the samples command for the steps as CSV");
    }
    line.threads = to_threads(words.values);
    line.columns = to_table_columns(words.values, line.format, "query",
                                    query_table_columns(line.query.percentiles));
    line.partial = partial;
    line.output = output_file(words.values);
    if (line.partial && !line.query.then_group_by.empty()) {
        throw UsageError(
            "--partial: not with several --group-by keys (their groups are named by the "
            "profile's own steps, which a part does not carry)");
    }
    if (line.partial && !line.output) {
        throw UsageError("--partial: give -o PART (a partial report is binary)");
    }
    if (line.partial && single(words.values, "--format")) {
        throw UsageError("--format: not with --partial (give it to merge)");
    }
    if (!line.partial && line.output) {
        throw UsageError("-o: only with --partial (the report goes to standard output)");
    }
}

void MergeCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand("merge",
                              "Merge partial reports (query --partial) and print the report");
    app->add_option("PART", parts, "Partial reports, in the order of their tiles")->required();
    add_value(*app, words.values, "--limit", "N",
              "Keep the first N groups after ordering, if the parts were made without --limit");
    add_value(*app, words.values, "--sample-limit", "N",
              "List the N longest steps, if the parts were made without --sample-limit");
    add_format_option(*app, words.values, "report");
    app->footer(std::string(kMergeFooter));
}

void MergeCommand::read(CommandLine& line) const {
    line.command = Command::Merge;
    line.parts = parts;
    if (std::count(line.parts.begin(), line.parts.end(), "-") > 1) {
        throw UsageError("- (standard input) is given more than once; it can be read once");
    }
    line.format = to_format(words.values);
    if (const auto value = single(words.values, "--limit")) {
        line.merge_limit = parse_number<std::uint64_t>("--limit", *value);
    }
    if (const auto value = single(words.values, "--sample-limit")) {
        line.merge_sample_limit = parse_number<std::uint64_t>("--sample-limit", *value);
    }
}

void SamplesCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand(
        "samples", "Write every matching step as a row: CSV or JSON Lines, for data frames");
    app->add_option("PROFILE", words.profile, "Profile file (JSON or packed), or - for stdin")
        ->required();
    add_filter_options(*app, words.values);
    add_window_options(*app, words.values);
    add_value(*app, words.values, "--format", "F",
              "csv (default: a header, then physical_tile,offset,duration,kind,phase,epoch,"
              "local_index,operation,kernel,metadata; metadata as name=value;... with a "
              "backslash before each ; = or \\ inside) or json (JSON Lines, one object a "
              "line)");
    add_value(*app, words.values, "-o,--output", "FILE",
              "Write to FILE instead of standard output (- also means it)");
    app->footer(
        "Steps in stored order, offsets on each tile's time line (0 = its first step) and "
        "clipped to --from/--to like the query's.\n\nExample:\n"
        "  vorn-profile samples run.json --kernel gemm -o gemm.csv\n"
        "  vorn-profile samples run.packed --phase 3 --epoch 1 --format json > "
        "steps.jsonl\n\n" +
        std::string(kColumnsPointer));
}

void SamplesCommand::read(CommandLine& line) const {
    line.command = Command::Samples;
    line.profile = words.profile;
    line.query = to_query(words.values);
    line.window = to_window(words.values);
    line.output = output_file(words.values);
    if (const auto value = single(words.values, "--format")) {
        line.sample_format = parse_choice<SampleFormat>(
            "--format", *value, {{"csv", SampleFormat::Csv}, {"json", SampleFormat::JsonLines}});
    }
}

}  // namespace vorn_cli

// The commands that analyse a profile beyond one query: `diff`, `supersteps` and `info`.
#include <string_view>

#include "commands.hpp"
#include "help_columns.hpp"
#include "info.hpp"
#include "output.hpp"

namespace vorn_cli {
namespace {

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

}  // namespace

void DiffCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand("diff", "Compare two profiles group by group");
    app->add_option("BASE", words.profile, "The profile before (JSON or packed), or - for stdin")
        ->required();
    app->add_option("NEW", new_profile, "The profile after (JSON or packed), or - for stdin")
        ->required();
    add_grouping_options(*app, words.values);
    add_filter_options(*app, words.values);
    add_window_options(*app, words.values);
    add_value(*app, words.values, "--limit", "N",
              "Keep the first N rows after ordering (0 keeps none)");
    add_format_option(*app, words.values, "comparison");
    add_threads_option(*app, words.values);
    add_columns_option(*app, words.values);
    app->footer(std::string(kDiffFooter) + "\n\n" + std::string(kColumnsPointer));
}

void DiffCommand::read(CommandLine& line) const {
    line.command = Command::Diff;
    if (words.profile == "-" && new_profile == "-") {
        // Standard input can be read once: the second side would find it empty.
        throw UsageError(
            "BASE and NEW are both - (standard input), which can be read only once; "
            "give at least one as a file");
    }
    line.profile = words.profile;
    line.new_profile = new_profile;
    line.query = to_query(words.values);
    line.window = to_window(words.values);
    line.format = to_format(words.values);
    line.threads = to_threads(words.values);
    line.columns = to_table_columns(words.values, line.format, "diff", diff_table_columns());
}

void SuperstepsCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand("supersteps",
                              "Per phase occurrence: imbalance between tiles and the straggler");
    app->add_option("PROFILE", words.profile, "Profile file (JSON or packed), or - for stdin")
        ->required();
    add_filter_options(*app, words.values);
    add_window_options(*app, words.values);
    add_value(*app, words.values, "--limit", "N", "Keep the first N rows (0 keeps none)");
    add_value(*app, words.values, "--by", "B",
              "One row per phase occurrence (default) or per tile");
    add_format_option(*app, words.values, "supersteps");
    add_threads_option(*app, words.values);
    add_columns_option(*app, words.values);
    app->footer(std::string(kSuperstepsFooter) + "\n\n" + std::string(kColumnsPointer));
}

void SuperstepsCommand::read(CommandLine& line) const {
    line.command = Command::Supersteps;
    line.profile = words.profile;
    line.query = to_query(words.values);
    line.window = to_window(words.values);
    line.format = to_format(words.values);
    line.threads = to_threads(words.values);
    if (const auto value = single(words.values, "--by")) {
        line.superstep_rows = parse_choice<SuperstepRows>(
            "--by", *value,
            {{"occurrence", SuperstepRows::Occurrence}, {"tile", SuperstepRows::Tile}});
    }
    line.columns = to_table_columns(
        words.values, line.format,
        line.superstep_rows == SuperstepRows::Tile ? "supersteps --by tile" : "supersteps",
        supersteps_table_columns(line.superstep_rows));
}

void InfoCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand("info", "Summarise a profile: counts, span, kernels, phases");
    app->add_option("PROFILE", words.profile, "Profile file (JSON or packed), or - for stdin")
        ->required();
    add_threads_option(*app, words.values);
    add_value(*app, words.values, "--format", "F",
              "Print the summary as table (default), json (one object) or csv (one row per "
              "kind, kernel, phase, epoch and metadata name)");
    add_columns_option(*app, words.values);
    app->footer(std::string(kColumnsPointer));
}

void InfoCommand::read(CommandLine& line) const {
    line.command = Command::Info;
    line.format = to_format(words.values);
    line.columns = to_table_columns(words.values, line.format, "info", info_table_columns());
    line.profile = words.profile;
    line.threads = to_threads(words.values);
}

}  // namespace vorn_cli

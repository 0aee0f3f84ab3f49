// The commands that write files: `generate`, `pack`, `unpack`, `export` and `report`.
#include <algorithm>
#include <string_view>

#include "commands.hpp"

namespace vorn_cli {
namespace {

constexpr std::string_view kGenerateFooter =
    "Example:\n"
    "  vorn-profile generate --tiles 1472 --steps-per-tile 1000 -o large.json\n"
    "  vorn-profile generate --slow-kernel gemm --slow-factor 1.5 --slow-tiles 0-7 -o slow.json\n"
    "  vorn-profile generate --tiles 1472 --steps-per-tile 68000 --format packed -o big.packed";

/// `--slow-kernel`, `--slow-factor` and `--slow-tiles`: a kernel the generator makes, slowed on
/// tiles the profile has (anything else would leave the profile as it is without a word).
void read_slowdown(const Words& g, vorn_package::SyntheticOptions& options) {
    if (const auto value = single(g, "--slow-kernel")) {
        options.slow_kernel = text_value("--slow-kernel", *value);
        if (options.slow_kernel->empty()) {
            throw UsageError("--slow-kernel: give the name of a kernel, such as gemm");
        }
        const std::vector<std::string> kernels = vorn_package::synthetic_kernels();
        if (std::find(kernels.begin(), kernels.end(), *options.slow_kernel) == kernels.end()) {
            std::string names;
            for (const std::string& kernel : kernels) {
                names += (names.empty() ? "" : ", ") + kernel;
            }
            throw UsageError("--slow-kernel: the generator makes no kernel " +
                             in_quotes(*options.slow_kernel) + " (its kernels are " + names + ")");
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
    if (!options.slow_tiles.empty() && *options.slow_tiles.rbegin() >= options.tiles) {
        const std::string tiles = options.tiles == 0
                                      ? "it has none"
                                      : "its tiles are 0 to " + std::to_string(options.tiles - 1);
        throw UsageError("--slow-tiles: tile " + std::to_string(*options.slow_tiles.rbegin()) +
                         " is not in the profile: " + tiles + " (--tiles " +
                         std::to_string(options.tiles) + ")");
    }
}

}  // namespace

void GenerateCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand("generate", "Write a deterministic synthetic profile");
    Words& g = words.values;
    add_value(*app, g, "--tiles", "N", "Number of tiles (default 64)");
    add_value(*app, g, "--steps-per-tile", "N", "Samples per tile (default 400)");
    add_value(*app, g, "--seed", "N", "Seed (default 1); the same seed gives the same bytes");
    add_value(*app, g, "--clock-hz", "N", "Clock of the device (default 1330000000)");
    add_value(*app, g, "--slow-kernel", "K",
              "Make the compute steps of kernel K slower, as after a bad change");
    add_value(*app, g, "--slow-factor", "F", "... F times as long (default 2)");
    add_value(*app, g, "--slow-tiles", "LIST",
              "... on these tiles only, e.g. 0-7 (default every tile); repeatable");
    add_value(*app, g, "-o,--output", "FILE",
              "Write to FILE instead of standard output (- also means it)");
    add_value(*app, g, "--format", "F",
              "Write json (default) or packed; packed to a FILE is written as it is made, "
              "so any size fits in memory");
    add_shard_option(*app, g);
    app->footer(std::string(kGenerateFooter));
}

void GenerateCommand::read(CommandLine& line) const {
    line.command = Command::Generate;
    const Words& g = words.values;
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
    read_slowdown(g, options);
    if (const auto error = vorn_package::synthetic_options_error(options)) {
        throw UsageError(*error);
    }
    line.output = output_file(g);
    if (const auto value = single(g, "--format")) {
        line.generate_format = parse_choice<ProfileFormat>(
            "--format", *value, {{"json", ProfileFormat::Json}, {"packed", ProfileFormat::Packed}});
    }
    line.shard_tiles = to_shard_tiles(g);
    if (line.shard_tiles && line.generate_format != ProfileFormat::Packed) {
        throw UsageError("--shard-tiles: shards are packed; add --format packed");
    }
    if (line.shard_tiles && (!line.output || *line.output == "-")) {
        throw UsageError("--shard-tiles: give the directory to write with -o DIR");
    }
}

void CopyCommand::add_to(CLI::App& tool) {
    if (command == Command::Pack) {
        app = tool.add_subcommand("pack", "Write a profile as a packed file, to open in no time");
        app->add_option("PROFILE", words.profile, "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_value(*app, words.values, "-o,--output", "FILE",
                  "Write to FILE instead of standard output (- also means it)");
        add_shard_option(*app, words.values);
        add_threads_option(*app, words.values);
        app->footer(
            "Example:\n  vorn-profile pack run.json -o run.packed\n"
            "  vorn-profile pack run.json -o run/ --shard-tiles 184");
        return;
    }
    app = tool.add_subcommand("unpack", "Write a profile back as JSON");
    app->add_option("PROFILE", words.profile, "Profile file (packed or JSON), or - for stdin")
        ->required();
    add_value(*app, words.values, "-o,--output", "FILE",
              "Write to FILE instead of standard output (- also means it)");
    add_threads_option(*app, words.values);
    app->footer("Example:\n  vorn-profile unpack run.packed -o run.json");
}

void CopyCommand::read(CommandLine& line) const {
    line.command = command;
    line.profile = words.profile;
    line.output = output_file(words.values);
    line.threads = to_threads(words.values);
    if (command == Command::Pack) {
        line.shard_tiles = to_shard_tiles(words.values);
        if (line.shard_tiles && (!line.output || *line.output == "-")) {
            throw UsageError("--shard-tiles: give the directory to write with -o DIR");
        }
    }
}

void PictureCommand::add_to(CLI::App& tool) {
    if (command == Command::Export) {
        app = tool.add_subcommand(
            "export", "Write a timeline for Perfetto or chrome://tracing: one track per tile");
        app->footer(
            "Example:\n  vorn-profile export run.json -o run.pftrace --kind compute\n"
            "  (open it at ui.perfetto.dev; --format chrome-json for chrome://tracing)");
        app->add_option("PROFILE", words.profile, "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_value(*app, words.values, "-o,--output", "FILE",
                  "Write the trace to FILE (- for standard output); required");
        add_value(*app, words.values, "--format", "F",
                  "perfetto (default, protobuf) or chrome-json (Trace Event Format)");
    } else {
        app = tool.add_subcommand(
            "report", "Write one self-contained HTML page with tables, charts and a tile map");
        app->footer(
            "Example:\n  vorn-profile report run.json -o run.html --phase 0-40\n"
            "  vorn-profile report run.json -o part.html --from 100000 --to 200000");
        app->add_option("PROFILE", words.profile, "Profile file (JSON or packed), or - for stdin")
            ->required();
        add_value(*app, words.values, "-o,--output", "FILE",
                  "Write the page to FILE (- for standard output); required");
    }
    add_filter_options(*app, words.values);
    add_window_options(*app, words.values);
    add_threads_option(*app, words.values);
}

void PictureCommand::read(CommandLine& line) const {
    line.command = command;
    line.profile = words.profile;
    line.query = to_query(words.values);
    line.output = required_output(words.values);
    if (command == Command::Export) {
        if (const auto value = single(words.values, "--format")) {
            line.trace_format = parse_choice<TraceFormat>(
                "--format", *value,
                {{"perfetto", TraceFormat::Perfetto}, {"chrome-json", TraceFormat::ChromeJson}});
        }
    }
    line.window = to_window(words.values);
    line.threads = to_threads(words.values);
}

}  // namespace vorn_cli

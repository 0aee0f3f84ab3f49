// The command line of `vorn-profile`: what to run and with which query.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "output.hpp"
#include "samples.hpp"
#include "vorn_package/synthetic_profile.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"
#include "vorn_view/timeline.hpp"

namespace vorn_cli {

enum class Command {
    Query,
    Merge,
    Diff,
    Supersteps,
    Info,
    Generate,
    Demo,
    Pack,
    Unpack,
    Export,
    Report,
    Samples,
    Serve
};
enum class OutputFormat { Table, Json, Csv };
/// How a profile is stored: JSON text, or the packed binary format.
enum class ProfileFormat { Json, Packed };
enum class TraceFormat { Perfetto, ChromeJson };

/// Everything one invocation asks for; fields that its command does not use keep their defaults.
struct CommandLine {
    Command command = Command::Demo;
    std::string profile;      ///< path, or "-" for standard input; `diff`'s base profile
    std::string new_profile;  ///< `diff`'s new profile
    vorn_profile::Query query;
    std::optional<vorn_profile::TimeWindow> window;  ///< `--from`/`--to`, when either is given
    SuperstepRows superstep_rows = SuperstepRows::Occurrence;
    OutputFormat format = OutputFormat::Table;
    vorn_package::SyntheticOptions synthetic;
    std::optional<std::string> output;  ///< `-o FILE`; standard output when absent or "-"
    ProfileFormat generate_format = ProfileFormat::Json;  ///< `generate --format`
    TraceFormat trace_format = TraceFormat::Perfetto;     ///< `export --format`
    std::size_t threads = 1;         ///< `--threads`; by default the cores the process may use
    bool partial = false;            ///< `query --partial`: write the partial report to `output`
    std::vector<std::string> parts;  ///< `merge`'s partial reports, in tile order
    /// `merge --limit` and `--sample-limit`, for parts made without them.
    std::optional<std::uint64_t> merge_limit;
    std::optional<std::uint64_t> merge_sample_limit;
    std::optional<std::uint64_t>
        shard_tiles;  ///< `pack`/`generate --shard-tiles`: -o is a directory
    SampleFormat sample_format = SampleFormat::Csv;  ///< `samples --format`
    std::vector<std::string> columns;                ///< `--columns`: titles, or {"all"}
    std::string host = "127.0.0.1";                  ///< `serve --host`
    std::uint16_t port = 8710;                       ///< `serve --port`; 0 picks a free port
};

/// A command-line value the tool cannot use; the message names the option and the value.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// What parsing decided: a command line to run, or an exit status when help or the version
/// has been printed (0; 1 when it could not be written) or an error has been reported on
/// standard error (2).
struct ParseOutcome {
    std::optional<CommandLine> command_line;
    int exit_status = 0;
    std::string error;  ///< the message of a command-line error (exit status 2)
};

/// Parses `args` (without the program name). Help and version go to standard output, a single
/// `error:` line to standard error.
ParseOutcome parse_command_line(const std::vector<std::string>& args);

/// The same without printing the error, which is left in `error`, for callers that report it
/// elsewhere. `args` must not ask for help or the version.
ParseOutcome parse_command_line_quietly(const std::vector<std::string>& args);

/// The query part of a `query` command line, for callers that hold the options as words
/// (e.g. {"--group-by", "kind"}). Throws `UsageError` for any error.
vorn_profile::Query parse_query_options(const std::vector<std::string>& options);

/// Writes one `error:` line to standard error; control characters are shown escaped so that
/// the message stays on one line.
void print_error(const std::string& message);

}  // namespace vorn_cli

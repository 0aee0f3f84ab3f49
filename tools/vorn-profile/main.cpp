// vorn-profile: reads recorded cycle profiles, answers one question about them (a query, the
// difference of two runs, the supersteps) and prints the report.
//
// Exit status: 0 on success, 1 when a profile cannot be read (or output cannot be written),
// 2 for a command-line error. Errors are one `error:` line on standard error, and nothing is
// written to standard output in that case: every report is computed in full before writing
// starts, and is then written as it is produced.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "answers.hpp"
#include "demo.hpp"
#include "info.hpp"
#include "options.hpp"
#include "output.hpp"
#include "output_space.hpp"
#include "partial_files.hpp"
#include "profile_input.hpp"
#include "serve.hpp"
#include "text_table.hpp"
#include "vorn_package/buffered_output.hpp"
#include "vorn_package/mapped_file_guard.hpp"
#include "vorn_package/output_file.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/profile_shards.hpp"
#include "vorn_package/synthetic_profile.hpp"
#include "vorn_profile/partial.hpp"
#include "vorn_profile/partial_bytes.hpp"
#include "vorn_view/export_trace.hpp"
#include "vorn_view/report_page.hpp"

namespace vorn_cli {
namespace {

// Also used for output that cannot be written: neither is a command-line error.
constexpr int kReadFailure = 1;
constexpr int kUsageError = 2;

/// Writes to standard output through `write(stream)`, as the text is produced, through one
/// buffer; a failed write (a full disk, a closed pipe) is reported like any other error. Call
/// it only once the whole answer is known, so that an error leaves standard output empty.
template <class Write>
int emit(Write write) {
    vorn_package::BufferedOutput buffer(STDOUT_FILENO);
    std::ostream out(&buffer);
    write(out);
    if (const int error = buffer.finish(); error != 0) {
        print_error(std::string("cannot write to standard output: ") + std::strerror(error));
        return kReadFailure;
    }
    return 0;
}

/// Whether `output` names standard output ("-o -" or no -o), as "-" names standard input.
bool is_standard_output(const std::optional<std::string>& output) {
    return !output || *output == "-";
}

/// Writes a whole file with `write`, to `output` or standard output; a failed open or write
/// is reported like any other error. A file is written under a temporary name and renamed into
/// place when complete, so that a failure leaves it as it was and a reader of the old file
/// keeps reading it whole.
int write_output(const std::optional<std::string>& output,
                 const std::function<void(std::ostream&)>& write) {
    if (is_standard_output(output)) {
        return emit(write);
    }
    auto file = vorn_package::OutputFile::create(*output);
    if (!file) {
        print_error(*output + ": cannot open for writing: " + file.error().message());
        return kReadFailure;
    }
    vorn_package::BufferedOutput buffer(file->fd());
    std::ostream out(&buffer);
    write(out);
    if (const int error = buffer.finish(); error != 0) {
        print_error(*output + ": cannot write: " + std::strerror(error));
        return kReadFailure;
    }
    if (auto committed = file->commit(); !committed) {
        print_error(*output + ": cannot write: " + committed.error().message());
        return kReadFailure;
    }
    return 0;
}

/// A packed file is binary: it goes to standard output only when that is not a terminal.
bool refuse_binary_to_terminal(const CommandLine& line) {
    if (is_standard_output(line.output) && isatty(STDOUT_FILENO) != 0) {
        print_error("a packed profile is binary and standard output is a terminal; use -o FILE");
        return true;
    }
    return false;
}

/// Writes a profile into the directory `-o DIR` as shards of `--shard-tiles` tile records,
/// `make` handing its tiles to the writer.
template <class Make>
int write_shards(const CommandLine& line, std::uint64_t tiles,
                 std::vector<std::uint64_t> shard_samples, Make make) {
    auto writer = vorn_package::PackedShardWriter::create(*line.output, tiles, *line.shard_tiles,
                                                          std::move(shard_samples));
    if (!writer) {
        print_error(*line.output + ": " + writer.error());
        return kReadFailure;
    }
    make(*writer);
    if (const auto written = writer->finish(); !written) {
        print_error(*line.output + ": " + written.error());
        return kReadFailure;
    }
    return 0;
}

int run_generate(const CommandLine& line) {
    if (const auto error = generated_profile_exceeds_space(line)) {
        print_error(*error);
        return kReadFailure;
    }
    if (line.shard_tiles) {
        const vorn_package::SyntheticOptions& options = line.synthetic;
        return write_shards(line, options.tiles,
                            vorn_package::shard_sample_counts(
                                options.tiles, *line.shard_tiles,
                                [&](std::uint64_t) { return options.steps_per_tile; }),
                            [&](vorn_package::ColumnsSink& sink) {
                                vorn_package::synthetic_samples(options, sink);
                            });
    }
    if (line.generate_format == ProfileFormat::Json) {
        const vorn_package::ProfileReport profile = vorn_package::synthetic_profile(line.synthetic);
        return write_output(line.output, [&](std::ostream& out) {
            vorn_package::write_profile_json(out, profile);
        });
    }
    if (refuse_binary_to_terminal(line)) {
        return kUsageError;
    }
    if (is_standard_output(line.output)) {
        // Standard output cannot seek: the columns are made in memory, then written.
        const vorn_package::ProfileColumns columns =
            vorn_package::synthetic_columns(line.synthetic);
        return write_output(line.output, [&](std::ostream& out) {
            vorn_package::write_profile_packed(out, columns);
        });
    }
    // Straight to the file, sample by sample: memory stays small whatever the size.
    auto writer = vorn_package::PackedFileWriter::create(
        *line.output, line.synthetic.tiles, vorn_package::synthetic_sample_count(line.synthetic));
    if (!writer) {
        print_error(*line.output + ": " + writer.error());
        return kReadFailure;
    }
    vorn_package::synthetic_samples(line.synthetic, *writer);
    const auto written = writer->finish();
    if (!written) {
        print_error(*line.output + ": " + written.error());
        return kReadFailure;
    }
    return 0;
}

/// `pack` and `unpack`: a profile in either format, written in the other (or the same).
int run_convert(const CommandLine& line) {
    if (line.command == Command::Pack && !line.shard_tiles && refuse_binary_to_terminal(line)) {
        return kUsageError;
    }
    auto read = read_profile(line.profile, line.threads);
    if (!read) {
        print_error(line.profile + ": " + vorn_package::to_string(read.error()));
        return kReadFailure;
    }
    if (line.shard_tiles) {
        const vorn_package::ProfileColumns& columns = *read;
        return write_shards(
            line, columns.tile_count(),
            vorn_package::shard_sample_counts(columns.tile_count(), *line.shard_tiles,
                                              [&](std::uint64_t t) {
                                                  return columns.tile_sample_begin[t + 1] -
                                                         columns.tile_sample_begin[t];
                                              }),
            [&](vorn_package::ColumnsSink& sink) { vorn_package::write_columns(columns, sink); });
    }
    if (line.command == Command::Pack) {
        return write_output(line.output, [&](std::ostream& out) {
            vorn_package::write_profile_packed(out, *read);
        });
    }
    const vorn_package::ProfileReport report = vorn_package::to_report(*read);
    return write_output(line.output,
                        [&](std::ostream& out) { vorn_package::write_profile_json(out, report); });
}

int run_diff(const CommandLine& line) {
    // Either side may be any file, standard input among them: the error says which side failed.
    auto base = read_profile(line.profile, line.threads);
    if (!base) {
        print_error("base profile " + line.profile + ": " + vorn_package::to_string(base.error()));
        return kReadFailure;
    }
    auto next = read_profile(line.new_profile, line.threads);
    if (!next) {
        print_error("new profile " + line.new_profile + ": " +
                    vorn_package::to_string(next.error()));
        return kReadFailure;
    }
    const vorn_profile::TimeWindow window = line.window.value_or(vorn_profile::TimeWindow{});
    const vorn_profile::DiffReport report =
        vorn_profile::diff(*base, *next, line.query, window, line.threads);
    return emit([&](std::ostream& out) {
        switch (line.format) {
            case OutputFormat::Table:
                write_diff_table(out, report, window, DiffClocks{base->clock_hz, next->clock_hz});
                break;
            case OutputFormat::Json:
                write_diff_json(out, report, window);
                break;
            case OutputFormat::Csv:
                write_diff_csv(out, report);
                break;
        }
    });
}

/// `merge`: the parts merged in the order given, finished and printed as `query` prints.
int run_merge(const CommandLine& line) {
    vorn_cli::MergedParts parts =
        merge_part_files(line.parts, line.merge_limit, line.merge_sample_limit);
    if (!parts.merged) {
        print_error(parts.error);
        return parts.status;
    }
    if (line.format == OutputFormat::Csv &&
        vorn_profile::partial_query(*parts.merged).sample_limit > 0) {
        // As query says: CSV holds groups only and would drop the listed steps.
        print_error(
            "--format csv: the parts list steps (--sample-limit), which csv would drop; use "
            "--format json, or the samples command for the steps as CSV");
        return kUsageError;
    }
    const std::optional<vorn_profile::TimeWindow> window =
        vorn_profile::partial_window(*parts.merged);
    const vorn_profile::QueryReport report = vorn_profile::finish(*std::move(parts.merged));
    return emit([&](std::ostream& out) {
        write_report(out, line.format, report, ListedSamples(report.samples), window);
    });
}

/// `query --partial`: the query's partial report over the whole profile, as bytes.
int run_partial(const CommandLine& line, const vorn_package::ProfileColumns& columns) {
    if (refuse_binary_to_terminal(line)) {
        return kUsageError;
    }
    const std::string bytes = vorn_profile::partial_bytes(
        vorn_profile::threaded_partial(columns, line.query, line.threads, line.window));
    return write_output(line.output, [&](std::ostream& out) { out << bytes; });
}

int run_picture(const CommandLine& line, const vorn_package::ProfileColumns& columns) {
    if (line.command == Command::Report) {
        vorn_view::ReportOptions options{line.query, line.window, line.profile, line.threads};
        return write_output(line.output, [&](std::ostream& out) {
            vorn_view::write_report_page(out, columns, options);
        });
    }
    vorn_view::ExportOptions options{line.query, line.window.value_or(vorn_view::Window{}),
                                     line.profile};
    return write_output(line.output, [&](std::ostream& out) {
        if (line.trace_format == TraceFormat::Perfetto) {
            vorn_view::write_perfetto(out, columns, options);
        } else {
            vorn_view::write_chrome_json(out, columns, options);
        }
    });
}

/// Whether `output` is an existing file that is also `input` ("-": standard input), through
/// symbolic and hard links alike.
bool same_file(const std::string& input, const std::optional<std::string>& output) {
    struct stat in {};
    struct stat out {};
    const int read = input == "-" ? ::fstat(STDIN_FILENO, &in) : ::stat(input.c_str(), &in);
    return !is_standard_output(output) && read == 0 && ::stat(output->c_str(), &out) == 0 &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

int run(const CommandLine& line) {
    // Tables fit a terminal; elsewhere they are whole unless --columns chooses.
    set_table_view({line.format == OutputFormat::Table ? terminal_width() : 0, line.columns});
    const bool writes_file = line.command == Command::Pack || line.command == Command::Unpack ||
                             line.command == Command::Export || line.command == Command::Report ||
                             (line.command == Command::Query && line.partial) ||
                             line.command == Command::Samples;
    const bool reads_file = line.command != Command::Generate && line.command != Command::Demo;
    if (reads_file) {
        if (auto problem = vorn_package::profile_reader_environment_error()) {
            print_error(*problem);
            return kReadFailure;
        }
    }
    if (writes_file && same_file(line.profile, line.output)) {
        print_error(*line.output + ": is the profile being read; write to another file");
        return kReadFailure;
    }
    switch (line.command) {
        case Command::Generate:
            return run_generate(line);
        case Command::Demo:
            return emit([](std::ostream& out) { run_demo(out); });
        case Command::Pack:
        case Command::Unpack:
            return run_convert(line);
        case Command::Diff:
            return run_diff(line);
        case Command::Merge:
            return run_merge(line);
        case Command::Query:
        case Command::Supersteps:
        case Command::Info:
        case Command::Export:
        case Command::Report:
        case Command::Samples:
        case Command::Serve:
            break;
    }
    auto read = read_profile(line.profile, line.threads);
    if (!read) {
        print_error(line.profile + ": " + vorn_package::to_string(read.error()));
        return kReadFailure;
    }
    if (line.command == Command::Export || line.command == Command::Report) {
        return run_picture(line, *read);
    }
    if (line.command == Command::Samples) {
        return write_output(line.output, [&](std::ostream& out) {
            write_samples(out, *read, line.query, line.window.value_or(vorn_profile::TimeWindow{}),
                          line.sample_format);
        });
    }
    if (line.command == Command::Info) {
        return emit([&](std::ostream& out) {
            write_info(out, line.profile, *read, line.format, line.threads);
        });
    }
    if (line.command == Command::Serve) {
        return run_serve(line, *read);
    }
    if (line.command == Command::Supersteps) {
        return emit([&](std::ostream& out) { write_supersteps_answer(out, *read, line); });
    }
    if (line.partial) {
        return run_partial(line, *read);
    }
    return emit([&](std::ostream& out) { write_query_answer(out, *read, line); });
}

}  // namespace
}  // namespace vorn_cli

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    // A mapped profile that another program truncates or rewrites meanwhile ends the run with
    // an error line rather than a signal.
    vorn_package::guard_mapped_files(vorn_cli::kReadFailure);
    try {
        const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
        const vorn_cli::ParseOutcome parsed = vorn_cli::parse_command_line(args);
        if (!parsed.command_line) {
            return parsed.exit_status;
        }
        return vorn_cli::run(*parsed.command_line);
    } catch (const std::bad_alloc&) {
        vorn_cli::print_error("out of memory");
    } catch (const std::exception& error) {
        vorn_cli::print_error(error.what());
    }
    return vorn_cli::kReadFailure;
}

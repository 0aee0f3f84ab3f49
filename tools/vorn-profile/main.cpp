// vorn-profile: reads a recorded cycle profile, runs one query and prints the report.
//
// Exit status: 0 on success, 1 when a profile cannot be read (or output cannot be written),
// 2 for a command-line error. Errors are one `error:` line on standard error, and nothing is
// written to standard output in that case: every report is built in full before it is printed.
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "demo.hpp"
#include "export_trace.hpp"
#include "info.hpp"
#include "options.hpp"
#include "output.hpp"
#include "profile_input.hpp"
#include "report_page.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_cli {
namespace {

// Also used for output that cannot be written: neither is a command-line error.
constexpr int kReadFailure = 1;

/// Writes a finished text to standard output; a failed write (a full disk, a closed pipe) is
/// reported like any other error.
int emit(const std::string& text) {
    std::cout << text;
    std::cout.flush();
    if (!std::cout) {
        print_error("cannot write to standard output");
        return kReadFailure;
    }
    return 0;
}

int run_generate(const CommandLine& line) {
    const vorn_package::ProfileReport profile = vorn_package::synthetic_profile(line.synthetic);
    // "-o -" is standard output, as "-" is standard input for a profile.
    if (!line.output || *line.output == "-") {
        vorn_package::write_profile_json(std::cout, profile);
        std::cout.flush();
        if (!std::cout) {
            print_error("cannot write to standard output");
            return kReadFailure;
        }
        return 0;
    }
    std::ofstream file(*line.output, std::ios::binary | std::ios::trunc);
    if (!file) {
        print_error(*line.output + ": cannot open for writing: " + std::strerror(errno));
        return kReadFailure;
    }
    vorn_package::write_profile_json(file, profile);
    file.close();
    if (!file) {
        print_error(*line.output + ": cannot write: " + std::strerror(errno));
        return kReadFailure;
    }
    return 0;
}

/// Streams a picture of the profile to `path` ("-" for standard output). A file that cannot be
/// written in full is removed rather than left half-written.
int write_output(const std::string& path, const std::function<void(std::ostream&)>& write) {
    if (path == "-") {
        write(std::cout);
        std::cout.flush();
        if (!std::cout) {
            print_error("cannot write to standard output");
            return kReadFailure;
        }
        return 0;
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        print_error(path + ": cannot open for writing: " + std::strerror(errno));
        return kReadFailure;
    }
    write(file);
    file.close();
    if (!file) {
        const int error = errno;
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        print_error(path + ": cannot write: " + std::strerror(error));
        return kReadFailure;
    }
    return 0;
}

int run_picture(const CommandLine& line, const vorn_package::ProfileColumns& columns) {
    if (line.command == Command::Report) {
        ReportOptions options{line.query, line.profile};
        return write_output(*line.output,
                            [&](std::ostream& out) { write_report_page(out, columns, options); });
    }
    ExportOptions options{line.query, line.window, line.profile};
    return write_output(*line.output, [&](std::ostream& out) {
        if (line.trace_format == TraceFormat::Perfetto) {
            write_perfetto(out, columns, options);
        } else {
            write_chrome_json(out, columns, options);
        }
    });
}

int run(const CommandLine& line) {
    switch (line.command) {
        case Command::Generate:
            return run_generate(line);
        case Command::Demo: {
            std::ostringstream out;
            run_demo(out);
            return emit(out.str());
        }
        case Command::Query:
        case Command::Info:
        case Command::Export:
        case Command::Report:
            break;
    }
    auto read = read_profile(line.profile);
    if (!read) {
        print_error(line.profile + ": " + vorn_package::to_string(read.error()));
        return kReadFailure;
    }
    if (line.command == Command::Export || line.command == Command::Report) {
        return run_picture(line, vorn_package::to_columns(*read));
    }
    std::ostringstream out;
    if (line.command == Command::Info) {
        write_info(out, line.profile, *read);
        return emit(out.str());
    }
    const vorn_profile::QueryReport report = vorn_profile::query(*read, line.query);
    switch (line.format) {
        case OutputFormat::Table:
            write_table(out, report);
            break;
        case OutputFormat::Json:
            write_json(out, report);
            break;
        case OutputFormat::Csv:
            write_csv(out, report);
            break;
    }
    return emit(out.str());
}

}  // namespace
}  // namespace vorn_cli

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
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

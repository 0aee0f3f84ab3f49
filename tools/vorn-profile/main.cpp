// vorn-profile: reads a recorded cycle profile, runs one query and prints the report.
//
// Exit status: 0 on success, 1 when a profile cannot be read (or output cannot be written),
// 2 for a command-line error. Errors are one `error:` line on standard error, and nothing is
// written to standard output in that case: every report is computed in full before writing
// starts, and is then written as it is produced.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "buffered_output.hpp"
#include "demo.hpp"
#include "info.hpp"
#include "options.hpp"
#include "output.hpp"
#include "profile_input.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_cli {
namespace {

// Also used for output that cannot be written: neither is a command-line error.
constexpr int kReadFailure = 1;

/// Writes to standard output through `write(stream)`, as the text is produced, through one
/// buffer; a failed write (a full disk, a closed pipe) is reported like any other error. Call
/// it only once the whole answer is known, so that an error leaves standard output empty.
template <class Write>
int emit(Write write) {
    BufferedOutput buffer(STDOUT_FILENO);
    std::ostream out(&buffer);
    write(out);
    if (const int error = buffer.finish(); error != 0) {
        print_error(std::string("cannot write to standard output: ") + std::strerror(error));
        return kReadFailure;
    }
    return 0;
}

int run_generate(const CommandLine& line) {
    const vorn_package::ProfileReport profile = vorn_package::synthetic_profile(line.synthetic);
    // "-o -" is standard output, as "-" is standard input for a profile.
    if (!line.output || *line.output == "-") {
        return emit([&](std::ostream& out) { vorn_package::write_profile_json(out, profile); });
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

int run(const CommandLine& line) {
    switch (line.command) {
        case Command::Generate:
            return run_generate(line);
        case Command::Demo:
            return emit([](std::ostream& out) { run_demo(out); });
        case Command::Query:
        case Command::Info:
            break;
    }
    auto read = read_profile(line.profile);
    if (!read) {
        print_error(line.profile + ": " + vorn_package::to_string(read.error()));
        return kReadFailure;
    }
    if (line.command == Command::Info) {
        return emit([&](std::ostream& out) { write_info(out, line.profile, *read); });
    }
    const vorn_profile::QueryReport report = vorn_profile::query(*read, line.query);
    return emit([&](std::ostream& out) {
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
    });
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

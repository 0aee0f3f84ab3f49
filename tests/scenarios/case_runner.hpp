// A small case runner over GoogleTest: it takes a fixed table of named cases, registers them,
// lets GoogleTest read its own flags and run them, and reports each case under its table name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn_scenarios {

enum class CaseKind { Unit };

/// One entry of a case table. A case's run function returns normally to pass; a failed
/// assertion inside it ends that case alone.
struct CaseDescriptor {
    const char* name;  ///< "tests::" followed by the case function's name
    const char* source_file;
    std::uint32_t line;          ///< of the case function's name
    std::uint32_t start_column;  ///< first column of the name
    std::uint32_t end_column;    ///< one past its last column
    bool ignored;
    const char* ignore_message;  ///< nullptr when none
    bool expected_fatal_stop;
    const char* expected_message;  ///< nullptr when none
    bool compile_fail;
    bool no_run;
    CaseKind kind;
    void (*run)();
};

/// Runs the selected cases of `table`. Besides GoogleTest's own `--gtest_*` flags the command
/// line takes case-name filters (a case runs when its name contains one of them; with `--exact`
/// when it equals one), `--list` to print the names, and `--help`.
///
/// Returns 0 when every selected case passed; ends the process with status 101 when a case
/// failed or the command line is malformed.
int run_cases(const CaseDescriptor* table, std::size_t count, int argc, char** argv);

}  // namespace vorn_scenarios

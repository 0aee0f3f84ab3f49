// Reading a profile for a command, with progress on a terminal.
#pragma once

#include <string>

#include "vorn_package/profile_json.hpp"

namespace vorn_cli {

/// Reads `path` ("-" for standard input). While reading, a percentage is shown on standard
/// error when it is a terminal, and erased when done; otherwise nothing is written.
vorn_package::Result<vorn_package::ProfileReport, vorn_package::ReadError> read_profile(
    const std::string& path);

}  // namespace vorn_cli

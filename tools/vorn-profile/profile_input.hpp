// Reading a profile for a command: JSON or packed, told apart by the first bytes, from a path
// or standard input, with progress on a terminal.
#pragma once

#include <cstddef>
#include <string>

#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_cli {

/// Reads `path` ("-" for standard input) as columns. A file that begins with the packed
/// format's magic number is opened as a packed profile (mapped when it is a regular file);
/// anything else is read as JSON. While JSON is read, a percentage is shown on standard error
/// when it is a terminal, and erased when done; otherwise nothing is written. A directory is a
/// profile stored in shards. Reading uses up to `threads` threads where it can.
vorn_package::Result<vorn_package::ProfileColumns, vorn_package::ReadError> read_profile(
    const std::string& path, std::size_t threads);

}  // namespace vorn_cli

// Reading and writing stored profiles for the Python module, as columns. Every file the module
// opens goes through these two functions, so a new stored format is added here alone.
#pragma once

#include <string>

#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/result.hpp"

namespace vorn_python {

/// How `write_profile_file` stores a profile.
enum class ProfileFormat { Json, Packed };

/// Reads a stored profile, JSON or packed (told apart by the packed format's magic number);
/// "-" reads standard input. A packed file is mapped, and the columns point into the mapping.
/// Touches no Python object, so it may run with the interpreter lock released.
vorn_package::Result<vorn_package::ProfileColumns, vorn_package::ReadError> read_profile_file(
    const std::string& path);

/// Writes `columns` to `path` ("-" for standard output). Returns 0, or the `errno` of the open
/// or write that failed.
int write_profile_file(const std::string& path, const vorn_package::ProfileColumns& columns,
                       ProfileFormat format);

}  // namespace vorn_python

// Files of the Python module: profiles read as columns, and every file it writes (profiles,
// traces, report pages) written beside its destination and renamed into place.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <string>

#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/result.hpp"

namespace vorn_python {

/// The cores a query or a read may use; the answer is the same for any number.
std::size_t query_threads();

/// Reads a stored profile, JSON or packed (told apart by the packed format's magic number);
/// "-" reads standard input. A packed file is mapped, and the columns point into the mapping.
/// JSON files and shard directories are read on `query_threads()` threads. Touches no Python
/// object, so it may run with the interpreter lock released.
vorn_package::Result<vorn_package::ProfileColumns, vorn_package::ReadError> read_profile_file(
    const std::string& path);

/// Writes what `write` produces to `path` ("-" for standard output): beside the destination,
/// renamed over it when complete. Returns 0, or the `errno` of the open or write that failed.
int write_output_file(const std::string& path, const std::function<void(std::ostream&)>& write);

}  // namespace vorn_python

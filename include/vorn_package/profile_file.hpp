// vorn_package/profile_file.hpp
//
// A stored profile of either format, told apart by its first bytes: a packed file begins with
// the packed format's magic number, anything else is read as JSON.
//
//     auto columns = vorn_package::read_profile_columns_file("run.packed");
//     if (!columns) { std::cerr << vorn_package::to_string(columns.error()) << "\n"; }
#pragma once

#include <cstddef>
#include <string>

#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package {

/// Reads `path` ("-" for standard input) as columns, opening it once. A regular file (standard
/// input too) is looked at in place: a packed one is mapped, a JSON one streamed. Any other
/// file (a pipe, a device) is told apart by its first bytes: a packed one is read into memory,
/// anything else is parsed as JSON as it arrives, so that a stream that cannot be a profile
/// is refused at its first bytes. `progress` is called while JSON is read, as by
/// `read_profile_columns_json_file`.
/// A directory is read as a profile stored in shards (<vorn_package/profile_shards.hpp>).
[[nodiscard]] Result<ProfileColumns, ReadError> read_profile_columns_file(
    const std::string& path, const ReadProgress& progress = {});

/// The same, reading on up to `threads` threads where the input allows it (the shards of a
/// directory are opened at once).
[[nodiscard]] Result<ProfileColumns, ReadError> read_profile_columns_file(
    const std::string& path, const ReadProgress& progress, std::size_t threads);

}  // namespace vorn_package

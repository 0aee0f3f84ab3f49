// Reading a stored profile from a file that is already open, so that a path is opened exactly
// once (a named pipe cannot be opened twice, a file may be replaced between two opens) and a
// stream's first bytes, taken to tell the formats apart, are not lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vorn_package/json/input.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package {

/// Reads a JSON profile from `input` into columns, parsing its tiles on up to `threads` threads
/// when the input is loaded whole (a file or text; a stream is read on one).
[[nodiscard]] Result<ProfileColumns, ReadError> read_profile_columns_json(
    json::Input& input, const ReadProgress& progress, std::size_t threads);

/// Maps the packed file open as `fd` (`size` bytes, a regular file) and opens it, checking it
/// on up to `threads` threads. The mapping is guarded as `path`: see `guard_mapped_files`.
[[nodiscard]] Result<ProfileColumns, ReadError> map_profile_packed(int fd, std::uint64_t size,
                                                                   const std::string& path,
                                                                   std::size_t threads);

/// Reads a packed file from a stream that is not a regular file, whose first bytes `first`
/// were already taken from it. Reading stops at the size the header gives, so a stream that
/// never ends is not read forever.
[[nodiscard]] Result<ProfileColumns, ReadError> read_profile_packed_stream(int fd,
                                                                           std::string_view first);

}  // namespace vorn_package

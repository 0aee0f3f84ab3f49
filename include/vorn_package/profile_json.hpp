// vorn_package/profile_json.hpp
//
// The stored profile format: one JSON document per profile ("format": "vorn-profile",
// "version": 1). Reading validates the whole document and returns either a complete profile or
// an error that names the JSON path and the byte offset of the fault; never a partial profile.
//
//     auto read = vorn_package::read_profile_json_file("run.json");
//     if (!read) { std::cerr << "error: run.json: " << to_string(read.error()) << '\n'; }
//
// The same document reads into records (`read_profile_json`) or straight into columns
// (`read_profile_columns_json`), with the same checks and the same errors.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "vorn_package/profile.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_package/result.hpp"

namespace vorn_package {

/// Why a stored profile could not be read: what is wrong and where.
struct ReadError {
    std::uint64_t offset = 0;  ///< byte offset into the input
    std::string path;          ///< e.g. "tiles[3].samples[17].start_cycle"; empty for the document
    std::string message;       ///< e.g. "expected an unsigned 32-bit integer, found -5"

    friend bool operator==(const ReadError&, const ReadError&) = default;
};

/// "at byte 18342 (tiles[3].samples[17].start_cycle): expected ..."
std::string to_string(const ReadError& error);

/// Called now and then while a document is read, with the bytes handled so far and in all:
/// between tiles, about once per MiB, and once more with `done == total` when reading succeeds.
/// `total` is 0 while the size is not known (standard input, a pipe).
using ReadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

/// Reads one profile document held in memory. `text` is read in place; only a tile that ends
/// within a few bytes of its end is copied, since simdjson reads a little past what it parses.
[[nodiscard]] Result<ProfileReport, ReadError> read_profile_json(std::string_view text,
                                                                 const ReadProgress& progress = {});

/// Reads one profile document from a file; "-" reads standard input. A file that cannot be
/// opened or read is reported as a `ReadError` at offset 0 with the system's reason. A regular
/// file is mapped, anything else read in chunks; either way the memory of the part already
/// read is given back as reading goes on, so the file is never held whole.
[[nodiscard]] Result<ProfileReport, ReadError> read_profile_json_file(
    const std::string& path, const ReadProgress& progress = {});

/// Reads one profile document into columns, without building records: the same checks and
/// errors as `read_profile_json`, and `to_report` of the columns equals what it returns.
[[nodiscard]] Result<ProfileColumns, ReadError> read_profile_columns_json(
    std::string_view text, const ReadProgress& progress = {});

/// `read_profile_columns_json` of a file, read as `read_profile_json_file` reads it: peak
/// memory is about the columns plus a bounded amount, whatever the size of the file.
[[nodiscard]] Result<ProfileColumns, ReadError> read_profile_columns_json_file(
    const std::string& path, const ReadProgress& progress = {});

/// Why no profile can be read in this process's environment (SIMDJSON_FORCE_IMPLEMENTATION
/// naming a simdjson kernel that this machine does not run); nothing when all is well. The
/// readers refuse every file with this message at byte 0.
std::optional<std::string> profile_reader_environment_error();

/// The simdjson kernel the readers parse with on this machine: "haswell" (AVX2) or "fallback".
std::string_view profile_json_kernel();

/// Writes `report` as one document, streaming: no tree of the profile is built in memory.
void write_profile_json(std::ostream& out, const ProfileReport& report);

}  // namespace vorn_package

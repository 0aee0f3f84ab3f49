// vorn_profile/partial_bytes.hpp
//
// A partial report as bytes, so that it can cross threads, processes and machines: versioned,
// checksummed, and holding what it was made with (query, window, clock) and everything its
// report needs, the listed samples' records among it (docs/partial-format.md). Reading checks
// every field: damaged, truncated or hostile bytes are an error naming the byte and what is
// wrong, never a crash, a huge allocation or a wrong report. Pure functions over bytes: writing
// them to a file is the caller's.
//
//     std::string bytes = vorn_profile::partial_bytes(vorn_profile::partial(columns, q));
//     auto read = vorn_profile::partial_from_bytes(bytes);
//     if (!read) { std::cerr << "error: " << to_string(read.error()) << '\n'; }
//     vorn_profile::QueryReport report = vorn_profile::finish(*std::move(read));
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vorn_package/profile_json.hpp"
#include "vorn_package/result.hpp"
#include "vorn_profile/partial.hpp"

namespace vorn_profile {

/// The version of the partial format this build writes and reads.
inline constexpr std::uint32_t kPartialFormatVersion = 1;

/// Whether `bytes` begin with the partial format's magic number (8 bytes).
bool is_partial_bytes(std::string_view bytes);

/// The partial as bytes. `partial_from_bytes` of them gives a partial that merges and finishes
/// exactly as `partial` does.
std::string partial_bytes(const QueryPartial& partial);

/// The partial that `bytes` hold; the bytes are copied, and need not outlive the call.
[[nodiscard]] vorn_package::Result<QueryPartial, vorn_package::ReadError> partial_from_bytes(
    std::string_view bytes);

}  // namespace vorn_profile

// The fixed part of a serialized partial report (docs/partial-format.md): a header of 32 bytes,
// then the body that byte_codec.hpp's readers and writers handle.
#pragma once

#include <array>
#include <cstdint>

namespace vorn_profile::detail::partial_layout {

// "\x89VORNPT\n": the first byte is not ASCII, so no text file begins this way.
inline constexpr std::array<unsigned char, 8> kMagic = {0x89, 'V', 'O', 'R', 'N', 'P', 'T', '\n'};
inline constexpr std::uint64_t kVersionAt = 8;
inline constexpr std::uint64_t kReservedAt = 12;
inline constexpr std::uint64_t kSizeAt = 16;
inline constexpr std::uint64_t kChecksumAt = 24;  // XXH3-64 of the body
inline constexpr std::uint64_t kHeaderSize = 32;

}  // namespace vorn_profile::detail::partial_layout

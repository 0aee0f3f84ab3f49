// The layout of a packed profile file, shared by its writers, its reader and the tests
// (docs/packed-format.md describes the same layout for readers of the file).
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "vorn_package/profile_columns.hpp"

namespace vorn_package::packed {

// The arrays are used in place, so their bytes must be the host's own.
static_assert(std::endian::native == std::endian::little,
              "packed profiles are read in place and need a little-endian host");
static_assert(sizeof(MetadataPair) == 8 && alignof(MetadataPair) == 4);
static_assert(sizeof(ProfileStepKind) == 1);

inline constexpr std::array<unsigned char, 8> kMagic = {0x89, 'V', 'O', 'R', 'N', 'P', 'K', '\n'};
inline constexpr std::uint64_t kAlignment = 8;

// Header fields, by byte offset.
inline constexpr std::uint64_t kVersionAt = 8;         // u32
inline constexpr std::uint64_t kSectionCountAt = 12;   // u32
inline constexpr std::uint64_t kClockAt = 16;          // u64
inline constexpr std::uint64_t kFileSizeAt = 24;       // u64
inline constexpr std::uint64_t kTableChecksumAt = 32;  // u64, of bytes [0, 32) and the table
inline constexpr std::uint64_t kHeaderSize = 40;

// A section table entry: u32 id, u32 element size, u64 offset, u64 size in bytes, u64 checksum.
inline constexpr std::uint64_t kEntrySize = 32;
inline constexpr std::uint64_t kEntryElementSizeAt = 4;
inline constexpr std::uint64_t kEntryOffsetAt = 8;
inline constexpr std::uint64_t kEntrySizeAt = 16;
inline constexpr std::uint64_t kEntryChecksumAt = 24;

/// The sections, by id; the file holds each exactly once.
enum Section : std::uint32_t {
    kTilePhysical,
    kTileSampleBegin,
    kSampleTile,
    kStartCycle,
    kEndCycle,
    kPhase,
    kEpoch,
    kLocalIndex,
    kStep,
    kStepKind,
    kStepKernel,
    kStepOperation,
    kStepMetadataBegin,
    kMetadata,
    kTextBegin,
    kTextBytes,
    kSectionCount
};

struct SectionInfo {
    std::string_view name;
    std::uint32_t element_size;
};

inline constexpr std::array<SectionInfo, kSectionCount> kSections = {{
    {"tile_physical", 4},
    {"tile_sample_begin", 8},
    {"sample_tile", 4},
    {"start_cycle", 4},
    {"end_cycle", 4},
    {"phase", 4},
    {"epoch", 4},
    {"local_index", 4},
    {"step", 4},
    {"step_kind", 1},
    {"step_kernel", 4},
    {"step_operation", 4},
    {"step_metadata_begin", 8},
    {"metadata", 8},
    {"text_begin", 8},
    {"text_bytes", 1},
}};

inline constexpr std::uint64_t kTableEnd = kHeaderSize + kEntrySize * kSectionCount;

/// Where the section after one at `offset` of `size` bytes begins.
inline constexpr std::uint64_t next_offset(std::uint64_t offset, std::uint64_t size) {
    return (offset + size + kAlignment - 1) / kAlignment * kAlignment;
}

struct Entry {
    std::uint32_t id = 0;
    std::uint32_t element_size = 0;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t checksum = 0;
};

template <class T>
T load(const char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
void store(char* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

/// XXH3-64 of `size` bytes.
std::uint64_t checksum(const void* data, std::uint64_t size);

/// The checksum of the header and table: bytes [0, 32) followed by the table.
std::uint64_t table_checksum(const char* file);

/// The header and section table for `entries` (in id order), its checksum included.
std::array<char, kTableEnd> encode_header(std::uint64_t clock_hz, std::uint64_t file_size,
                                          const std::array<Entry, kSectionCount>& entries);

/// Recomputes every checksum of a packed file in place: those of the sections whose entries
/// lie inside the file, then the table's. Used by the tests and the fuzz target, so that the
/// checks behind the checksums see the changes they make.
void reseal(std::span<char> file);

}  // namespace vorn_package::packed

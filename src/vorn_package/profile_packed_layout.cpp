// Checksums and the header of packed profiles.
#include "profile_packed_layout.hpp"

#if defined(__x86_64__)
// The same XXH3, dispatched at run time to the widest vector unit the machine has (AVX2 and
// up); the plain entry points use SSE2 only.
#include <xxh_x86dispatch.h>
#else
#include <xxhash.h>
#endif

namespace vorn_package::packed {

std::uint64_t checksum(const void* data, std::uint64_t size) {
    return XXH3_64bits(data, static_cast<std::size_t>(size));
}

std::uint64_t table_checksum(const char* file) {
    std::array<char, kTableChecksumAt + (kTableEnd - kHeaderSize)> covered;
    std::memcpy(covered.data(), file, kTableChecksumAt);
    std::memcpy(covered.data() + kTableChecksumAt, file + kHeaderSize, kTableEnd - kHeaderSize);
    return XXH3_64bits(covered.data(), covered.size());
}

std::array<char, kTableEnd> encode_header(std::uint64_t clock_hz, std::uint64_t file_size,
                                          const std::array<Entry, kSectionCount>& entries) {
    std::array<char, kTableEnd> bytes{};
    std::memcpy(bytes.data(), kMagic.data(), kMagic.size());
    store<std::uint32_t>(bytes.data() + kVersionAt, 1);
    store<std::uint32_t>(bytes.data() + kSectionCountAt, kSectionCount);
    store<std::uint64_t>(bytes.data() + kClockAt, clock_hz);
    store<std::uint64_t>(bytes.data() + kFileSizeAt, file_size);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        char* entry = bytes.data() + kHeaderSize + kEntrySize * i;
        store<std::uint32_t>(entry, entries[i].id);
        store<std::uint32_t>(entry + kEntryElementSizeAt, entries[i].element_size);
        store<std::uint64_t>(entry + kEntryOffsetAt, entries[i].offset);
        store<std::uint64_t>(entry + kEntrySizeAt, entries[i].size);
        store<std::uint64_t>(entry + kEntryChecksumAt, entries[i].checksum);
    }
    store<std::uint64_t>(bytes.data() + kTableChecksumAt, table_checksum(bytes.data()));
    return bytes;
}

void reseal(std::span<char> file) {
    if (file.size() < kTableEnd) {
        return;
    }
    for (std::uint64_t i = 0; i < kSectionCount; ++i) {
        char* entry = file.data() + kHeaderSize + kEntrySize * i;
        const auto offset = load<std::uint64_t>(entry + kEntryOffsetAt);
        const auto size = load<std::uint64_t>(entry + kEntrySizeAt);
        if (offset <= file.size() && size <= file.size() - offset) {
            store<std::uint64_t>(entry + kEntryChecksumAt, checksum(file.data() + offset, size));
        }
    }
    store<std::uint64_t>(file.data() + kTableChecksumAt, table_checksum(file.data()));
}

}  // namespace vorn_package::packed

// Making and damaging packed files in the packed tests: a profile's bytes, the entries of its
// section table, and its arrays as vectors, to damage one and write it with valid checksums.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "profile_packed_layout.hpp"
#include "vorn_package/profile_packed.hpp"

namespace vorn_package::packed_test {

namespace fs = std::filesystem;
using packed::Entry;
using packed::kSections;
using packed::load;
using packed::store;

inline std::string packed_bytes(const ProfileColumns& columns) {
    std::ostringstream out;
    write_profile_packed(out, columns);
    return out.str();
}

inline fs::path scratch(const std::string& name) {
    return fs::temp_directory_path() / ("vorn_packed_test_" + std::to_string(getpid()) + name);
}

/// The table entry of section `id`, as stored.
inline Entry entry_of(const std::string& file, std::uint32_t id) {
    for (std::uint64_t i = 0; i < packed::kSectionCount; ++i) {
        const char* raw = file.data() + packed::kHeaderSize + packed::kEntrySize * i;
        if (load<std::uint32_t>(raw) == id) {
            return {id, load<std::uint32_t>(raw + 4), load<std::uint64_t>(raw + 8),
                    load<std::uint64_t>(raw + 16), load<std::uint64_t>(raw + 24)};
        }
    }
    ADD_FAILURE() << "no section " << id;
    return {};
}

/// The byte of element `index` of section `id`.
inline std::uint64_t byte_of(const std::string& file, std::uint32_t id, std::uint64_t index = 0) {
    return entry_of(file, id).offset + index * kSections[id].element_size;
}

/// A profile's arrays as vectors, to damage one and write it with valid checksums.
struct Arrays {
    std::uint64_t clock_hz = 0;
    std::vector<std::uint32_t> tile_physical;
    std::vector<std::uint64_t> tile_sample_begin;
    std::vector<std::uint32_t> sample_tile, start_cycle, end_cycle, phase, epoch, local_index, step;
    std::vector<ProfileStepKind> step_kind;
    std::vector<std::uint32_t> step_kernel, step_operation;
    std::vector<std::uint64_t> step_metadata_begin;
    std::vector<MetadataPair> metadata;
    std::vector<std::uint64_t> text_begin;
    std::vector<char> text_bytes;

    explicit Arrays(const ProfileColumns& c)
        : clock_hz(c.clock_hz),
          tile_physical(c.tile_physical.begin(), c.tile_physical.end()),
          tile_sample_begin(c.tile_sample_begin.begin(), c.tile_sample_begin.end()),
          sample_tile(c.sample_tile.begin(), c.sample_tile.end()),
          start_cycle(c.start_cycle.begin(), c.start_cycle.end()),
          end_cycle(c.end_cycle.begin(), c.end_cycle.end()),
          phase(c.phase.begin(), c.phase.end()),
          epoch(c.epoch.begin(), c.epoch.end()),
          local_index(c.local_index.begin(), c.local_index.end()),
          step(c.step.begin(), c.step.end()),
          step_kind(c.step_kind.begin(), c.step_kind.end()),
          step_kernel(c.step_kernel.begin(), c.step_kernel.end()),
          step_operation(c.step_operation.begin(), c.step_operation.end()),
          step_metadata_begin(c.step_metadata_begin.begin(), c.step_metadata_begin.end()),
          metadata(c.metadata.begin(), c.metadata.end()),
          text_begin(c.text_begin.begin(), c.text_begin.end()),
          text_bytes(c.text_bytes.begin(), c.text_bytes.end()) {}

    std::string bytes() const {
        ProfileColumns c;
        c.clock_hz = clock_hz;
        c.tile_physical = tile_physical;
        c.tile_sample_begin = tile_sample_begin;
        c.sample_tile = sample_tile;
        c.start_cycle = start_cycle;
        c.end_cycle = end_cycle;
        c.phase = phase;
        c.epoch = epoch;
        c.local_index = local_index;
        c.step = step;
        c.step_kind = step_kind;
        c.step_kernel = step_kernel;
        c.step_operation = step_operation;
        c.step_metadata_begin = step_metadata_begin;
        c.metadata = metadata;
        c.text_begin = text_begin;
        c.text_bytes = text_bytes;
        return packed_bytes(c);
    }

    /// The number of the first text of `size` bytes from text `from` on.
    std::uint32_t text_of_size(std::uint64_t size, std::uint32_t from = 0) const {
        for (std::uint32_t t = from; t + 1 < text_begin.size(); ++t) {
            if (text_begin[t + 1] - text_begin[t] == size) {
                return t;
            }
        }
        ADD_FAILURE() << "no text of " << size << " bytes";
        return 0;
    }

    /// Gives step `to` the same kind, texts and metadata as step `from`.
    void copy_step(std::uint32_t from, std::uint32_t to) {
        step_kind[to] = step_kind[from];
        step_kernel[to] = step_kernel[from];
        step_operation[to] = step_operation[from];
        std::vector<MetadataPair> rebuilt;
        std::vector<std::uint64_t> begins{0};
        for (std::uint32_t s = 0; s + 1 < step_metadata_begin.size(); ++s) {
            const std::uint32_t source = s == to ? from : s;
            rebuilt.insert(
                rebuilt.end(),
                metadata.begin() + static_cast<std::ptrdiff_t>(step_metadata_begin[source]),
                metadata.begin() + static_cast<std::ptrdiff_t>(step_metadata_begin[source + 1]));
            begins.push_back(rebuilt.size());
        }
        metadata = rebuilt;
        step_metadata_begin = begins;
    }
};

/// Changes table entry `position` (not the section id) and reseals the checksums.
inline std::string with_entry(std::string file, std::uint64_t position, std::uint64_t field,
                              std::uint64_t value, bool wide) {
    char* at = file.data() + packed::kHeaderSize + packed::kEntrySize * position + field;
    if (wide) {
        store<std::uint64_t>(at, value);
    } else {
        store<std::uint32_t>(at, static_cast<std::uint32_t>(value));
    }
    packed::reseal(file);
    return file;
}

/// The byte of field `field` of table entry `position`.
inline std::uint64_t entry_byte(std::uint64_t position, std::uint64_t field) {
    return packed::kHeaderSize + packed::kEntrySize * position + field;
}

/// A damaged file and how it is to be refused.
struct Refusal {
    std::string name;
    std::string file;
    std::uint64_t offset;
    std::string path;
    std::string message;  ///< a fragment of the message
};

/// Checks that `r.file` is refused, naming the byte, section and message expected.
inline void expect_refused(const Refusal& r) {
    SCOPED_TRACE(r.name);
    const auto opened = open_profile_packed_memory(r.file);
    ASSERT_FALSE(opened) << "read as a profile";
    EXPECT_EQ(opened.error().offset, r.offset) << to_string(opened.error());
    EXPECT_EQ(opened.error().path, r.path) << to_string(opened.error());
    EXPECT_NE(opened.error().message.find(r.message), std::string::npos)
        << to_string(opened.error());
}

}  // namespace vorn_package::packed_test

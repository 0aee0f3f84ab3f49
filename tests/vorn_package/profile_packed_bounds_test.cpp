// Packed files damaged exactly at the edge of each range the reader checks: every number that
// indexes a table set to the table's size, every table of ranges ending one past its content
// or one short, every range one before the one it follows, every count one off, and the first
// and last element of each array; beside them, edges that a good file may reach.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packed_test_files.hpp"
#include "profile_packed_layout.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

using namespace packed;
using packed_test::expect_refused;
using packed_test::packed_bytes;
using packed_test::Refusal;

/// The position in the section table of the entry of section `id`.
std::uint64_t position_of(const std::string& file, std::uint32_t id) {
    for (std::uint64_t i = 0; i < kSectionCount; ++i) {
        if (load<std::uint32_t>(file.data() + kHeaderSize + kEntrySize * i) == id) {
            return i;
        }
    }
    ADD_FAILURE() << "no section " << id;
    return 0;
}

/// The byte of field `field` of the table entry of section `id`.
std::uint64_t entry_byte(const std::string& file, std::uint32_t id, std::uint64_t field) {
    return kHeaderSize + kEntrySize * position_of(file, id) + field;
}

std::uint64_t entry_field(const std::string& file, std::uint32_t id, std::uint64_t field) {
    return load<std::uint64_t>(file.data() + entry_byte(file, id, field));
}

/// The byte of element `index` of section `id`.
std::uint64_t byte_of(const std::string& file, std::uint32_t id, std::uint64_t index) {
    return entry_field(file, id, kEntryOffsetAt) + index * kSections[id].element_size;
}

/// `file` with element `index` of section `id` (or the 4 bytes `within` it) set to `value`,
/// its checksums made to agree.
template <class T>
std::string with_element(std::string file, std::uint32_t id, std::uint64_t index, T value,
                         std::uint64_t within = 0) {
    store<T>(file.data() + byte_of(file, id, index) + within, value);
    reseal(file);
    return file;
}

/// `file` with the offset or size (`field`) of section `id` set to `value`, resealed.
std::string with_entry(std::string file, std::uint32_t id, std::uint64_t field,
                       std::uint64_t value) {
    store<std::uint64_t>(file.data() + entry_byte(file, id, field), value);
    reseal(file);
    return file;
}

std::string section(std::uint32_t id) { return "section " + std::string(kSections[id].name); }

// A small synthetic run: 4 tiles of 30 samples, with metadata.
class PackedBounds : public testing::Test {
protected:
    const ProfileColumns columns_ =
        synthetic_columns({.tiles = 4, .steps_per_tile = 30, .seed = 2});
    const std::string good_ = packed_bytes(columns_);
    const std::uint64_t tiles_ = columns_.tile_count();
    const std::uint64_t samples_ = columns_.sample_count();
    const std::uint64_t steps_ = columns_.step_count();
    const std::uint64_t texts_ = columns_.text_count();
    const std::uint64_t entries_ = columns_.metadata.size();
    const std::uint64_t text_bytes_ = columns_.text_bytes.size();

    /// A refusal at element `index` of section `id`, `within` bytes into it.
    Refusal at_element(std::string name, std::string file, std::uint32_t id, std::uint64_t index,
                       std::string message, std::uint64_t within = 0) const {
        const std::uint64_t offset = byte_of(file, id, index) + within;
        return {std::move(name), std::move(file), offset, section(id), std::move(message)};
    }
};

TEST_F(PackedBounds, NumbersEqualToTheSizeOfTheirTable) {
    ASSERT_GE(steps_, 2U);
    ASSERT_GE(entries_, 2U);
    const std::string texts = " out of range (" + std::to_string(texts_) + " texts)";
    const std::string number = "text number " + std::to_string(texts_) + texts;
    const auto x = static_cast<std::uint32_t>(texts_);
    const auto p = static_cast<std::uint32_t>(steps_);
    const std::uint64_t last_step = steps_ - 1;
    const std::uint64_t last_entry = entries_ - 1;
    const std::uint64_t last_sample = samples_ - 1;
    const std::string steps = " out of range (" + std::to_string(steps_) + " steps)";
    const Refusal cases[] = {
        at_element("first kernel", with_element(good_, kStepKernel, 0, x), kStepKernel, 0,
                   "step 0: " + number),
        at_element("last kernel", with_element(good_, kStepKernel, last_step, x), kStepKernel,
                   last_step, "step " + std::to_string(last_step) + ": " + number),
        at_element("first operation", with_element(good_, kStepOperation, 0, x), kStepOperation, 0,
                   "step 0: " + number),
        at_element("last operation", with_element(good_, kStepOperation, last_step, x),
                   kStepOperation, last_step, "step " + std::to_string(last_step) + ": " + number),
        at_element("first metadata name", with_element(good_, kMetadata, 0, x), kMetadata, 0,
                   "metadata entry 0 (name): " + number),
        at_element("last metadata value", with_element(good_, kMetadata, last_entry, x, 4),
                   kMetadata, last_entry,
                   "metadata entry " + std::to_string(last_entry) + " (value): " + number, 4),
        at_element("first sample's step", with_element(good_, kStep, 0, p), kStep, 0,
                   "sample 0: step number " + std::to_string(p) + steps),
        at_element(
            "last sample's step", with_element(good_, kStep, last_sample, p), kStep, last_sample,
            "sample " + std::to_string(last_sample) + ": step number " + std::to_string(p) + steps),
        at_element("kind one past idle", with_element(good_, kStepKind, last_step, std::uint8_t{4}),
                   kStepKind, last_step,
                   "step " + std::to_string(last_step) + " has kind 4 (kinds are 0 to 3)"),
    };
    for (const Refusal& r : cases) {
        expect_refused(r);
    }
}

TEST_F(PackedBounds, RangesOnePastTheirEndOrOneShort) {
    const std::vector<std::uint64_t> tile_begin(columns_.tile_sample_begin.begin(),
                                                columns_.tile_sample_begin.end());
    const std::vector<std::uint64_t> step_begin(columns_.step_metadata_begin.begin(),
                                                columns_.step_metadata_begin.end());
    const std::vector<std::uint64_t> text_begin(columns_.text_begin.begin(),
                                                columns_.text_begin.end());
    ASSERT_GE(tiles_, 3U);
    ASSERT_EQ(tile_begin[1], 30U);
    // A step and a text whose begin is not 0, for the one after them to begin one lower.
    std::uint64_t step = 1;
    while (step_begin[step] == 0) {
        ++step;
    }
    std::uint64_t text = 1;
    while (text_begin[text] == 0) {
        ++text;
    }
    ASSERT_LT(step + 1, steps_);
    ASSERT_LT(text + 1, texts_);
    const auto one_past = [](std::uint64_t value) { return std::to_string(value + 1); };
    const Refusal cases[] = {
        at_element("tiles end one past the samples",
                   with_element(good_, kTileSampleBegin, tiles_, samples_ + 1), kTileSampleBegin,
                   tiles_,
                   "the tiles end at sample " + one_past(samples_) + ", but there are " +
                       std::to_string(samples_) + " samples"),
        at_element("tile 2 begins one before tile 1 ends",
                   with_element(good_, kTileSampleBegin, 2, tile_begin[1] - 1), kTileSampleBegin, 2,
                   "tile 2's samples begin at " + std::to_string(tile_begin[1] - 1) +
                       ", before tile 1's at " + std::to_string(tile_begin[1])),
        at_element("first tile begins at 1",
                   with_element(good_, kTileSampleBegin, 0, std::uint64_t{1}), kTileSampleBegin, 0,
                   "tile 0's samples begin at 1, expected 0"),
        at_element("steps' metadata end one past the entries",
                   with_element(good_, kStepMetadataBegin, steps_, entries_ + 1),
                   kStepMetadataBegin, steps_,
                   "the steps end at entry " + one_past(entries_) + ", but metadata holds " +
                       std::to_string(entries_) + " entries"),
        at_element("a step's metadata begin one lower than the step's before",
                   with_element(good_, kStepMetadataBegin, step + 1, step_begin[step] - 1),
                   kStepMetadataBegin, step + 1,
                   "step " + std::to_string(step + 1) + "'s metadata begin at " +
                       std::to_string(step_begin[step] - 1)),
        at_element("first step's metadata begin at 1",
                   with_element(good_, kStepMetadataBegin, 0, std::uint64_t{1}), kStepMetadataBegin,
                   0, "step 0's metadata begin at 1, expected 0"),
        at_element("texts end one past their bytes",
                   with_element(good_, kTextBegin, texts_, text_bytes_ + 1), kTextBegin, texts_,
                   "the texts end at byte " + one_past(text_bytes_) + ", but text_bytes holds " +
                       std::to_string(text_bytes_) + " bytes"),
        at_element("a text begins one lower than the text before",
                   with_element(good_, kTextBegin, text + 1, text_begin[text] - 1), kTextBegin,
                   text + 1,
                   "text " + std::to_string(text + 1) + "'s bytes begin at " +
                       std::to_string(text_begin[text] - 1)),
        at_element("first text begins at 1", with_element(good_, kTextBegin, 0, std::uint64_t{1}),
                   kTextBegin, 0, "text 0's bytes begin at 1, expected 0"),
        // Each tile's first and last sample naming the tile beside it, the last sample one past
        // the last tile.
        at_element("last sample of tile 0 in tile 1",
                   with_element(good_, kSampleTile, tile_begin[1] - 1, 1U), kSampleTile,
                   tile_begin[1] - 1,
                   "sample " + std::to_string(tile_begin[1] - 1) +
                       " names tile 1, but lies in tile 0's samples [0, " +
                       std::to_string(tile_begin[1]) + ")"),
        at_element(
            "first sample of tile 1 in tile 0", with_element(good_, kSampleTile, tile_begin[1], 0U),
            kSampleTile, tile_begin[1],
            "sample " + std::to_string(tile_begin[1]) + " names tile 0, but lies in tile 1's"),
        at_element(
            "last sample one past the tiles",
            with_element(good_, kSampleTile, samples_ - 1, static_cast<std::uint32_t>(tiles_)),
            kSampleTile, samples_ - 1,
            "sample " + std::to_string(samples_ - 1) + " names tile " + std::to_string(tiles_) +
                ", but lies in tile " + std::to_string(tiles_ - 1)),
    };
    for (const Refusal& r : cases) {
        expect_refused(r);
    }
}

// Each count one element short of what the other sections imply (a section made one element
// shorter still lies inside the file and overlaps nothing).
TEST_F(PackedBounds, CountsOneShort) {
    const auto shorter = [&](std::uint32_t id) {
        return with_entry(good_, id, kEntrySizeAt,
                          entry_field(good_, id, kEntrySizeAt) - kSections[id].element_size);
    };
    const auto fewer = [&](std::uint32_t id, std::uint64_t count, std::uint64_t expected) {
        return Refusal{std::string(kSections[id].name), shorter(id),
                       entry_field(good_, id, kEntryOffsetAt), section(id),
                       "holds " + std::to_string(count) + " elements, expected " +
                           std::to_string(expected) + " ("};
    };
    std::vector<Refusal> cases = {
        fewer(kTileSampleBegin, tiles_, tiles_ + 1),
        fewer(kStepKernel, steps_ - 1, steps_),
        fewer(kStepOperation, steps_ - 1, steps_),
        fewer(kStepMetadataBegin, steps_, steps_ + 1),
    };
    for (std::uint32_t id = kSampleTile; id <= kStep; ++id) {
        if (id != kStartCycle) {  // the one the others are counted against
            cases.push_back(fewer(id, samples_ - 1, samples_));
        }
    }
    cases.push_back({"no text begins", with_entry(good_, kTextBegin, kEntrySizeAt, 0),
                     entry_field(good_, kTextBegin, kEntryOffsetAt), section(kTextBegin),
                     "holds no elements, expected at least the leading 0"});
    for (const Refusal& r : cases) {
        expect_refused(r);
    }
}

TEST_F(PackedBounds, SectionsOneByteOutside) {
    const std::uint64_t size = good_.size();
    const std::uint64_t bytes_at = entry_field(good_, kTextBytes, kEntryOffsetAt);
    const std::uint64_t kinds_at = entry_field(good_, kStepKind, kEntryOffsetAt);
    const std::uint64_t kernels_at = entry_field(good_, kStepKernel, kEntryOffsetAt);
    ASSERT_EQ(bytes_at + text_bytes_, size) << "text_bytes ends the file";
    ASSERT_GT(kernels_at, kinds_at);
    const auto table = [&](std::uint32_t id) {
        return "section table[" + std::to_string(position_of(good_, id)) + "]";
    };
    const Refusal cases[] = {
        {"one byte past the end", with_entry(good_, kTextBytes, kEntrySizeAt, size - bytes_at + 1),
         entry_byte(good_, kTextBytes, kEntrySizeAt), table(kTextBytes),
         "runs past the end of the file"},
        {"one word inside the table",
         with_entry(good_, kTilePhysical, kEntryOffsetAt, kTableEnd - kAlignment),
         entry_byte(good_, kTilePhysical, kEntryOffsetAt), table(kTilePhysical),
         "inside the header and section table"},
        // step_kind grown by its padding and one byte reaches the first byte of step_kernel.
        {"one byte of overlap",
         with_entry(good_, kStepKind, kEntrySizeAt, kernels_at - kinds_at + 1),
         entry_byte(good_, kStepKernel, kEntryOffsetAt), table(kStepKernel),
         "section step_kernel (from byte " + std::to_string(kernels_at) +
             ") overlaps section step_kind"},
    };
    for (const Refusal& r : cases) {
        expect_refused(r);
    }
}

// The other side of the end of the file: an empty section may begin exactly there.
TEST(PackedBoundsEdges, AnEmptySectionMayBeginAtTheEndOfTheFile) {
    // No metadata: the metadata section holds no bytes. The file is padded to a whole word, so
    // that the section's offset may be the file's size.
    ProfileReport report{.clock_hz = 1000, .tiles = {{.physical_tile = 3, .samples = {{}}}}};
    report.tiles[0].samples[0].step.kernel = "gemm";
    std::string file = packed_bytes(to_columns(report));
    file.resize(next_offset(file.size(), 0));
    store<std::uint64_t>(file.data() + kFileSizeAt, file.size());
    ASSERT_EQ(entry_field(file, kMetadata, kEntrySizeAt), 0U);
    const std::string moved = with_entry(file, kMetadata, kEntryOffsetAt, file.size());
    const auto opened = open_profile_packed_memory(moved);
    ASSERT_TRUE(opened) << to_string(opened.error());
    EXPECT_EQ(to_report(*opened), report);
}

// Step numbers are checked in blocks of 2^14 samples: a bad number just before and just after
// a block boundary, and in the last sample of a partial block.
TEST(PackedBoundsLarge, StepNumbersAroundBlocksOfSamples) {
    const ProfileColumns columns =
        synthetic_columns({.tiles = 2, .steps_per_tile = 8300, .seed = 3});
    const std::string good = packed_bytes(columns);
    const std::uint64_t samples = columns.sample_count();
    const auto steps = static_cast<std::uint32_t>(columns.step_count());
    ASSERT_GT(samples, (std::uint64_t{1} << 14) + 1);
    for (const std::uint64_t sample :
         {(std::uint64_t{1} << 14) - 1, std::uint64_t{1} << 14, samples - 1}) {
        expect_refused({"sample " + std::to_string(sample),
                        with_element(good, kStep, sample, steps), byte_of(good, kStep, sample),
                        section(kStep),
                        "sample " + std::to_string(sample) + ": step number " +
                            std::to_string(steps) + " out of range"});
    }
}

}  // namespace
}  // namespace vorn_package

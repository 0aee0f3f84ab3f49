// Damaged packed files are refused with the section and byte named: faults of the header and
// the section table, a file cut at every section boundary, and faults of the content, the same
// whether the file is checked on one thread or several.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "packed_test_files.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

using namespace packed_test;

// The good file: a small synthetic run, whose table lists the sections in id order.
class BadPackedFile : public testing::Test {
protected:
    const ProfileColumns columns_ =
        synthetic_columns({.tiles = 4, .steps_per_tile = 30, .seed = 2});
    const Arrays arrays_{columns_};
    const std::string good_ = packed_bytes(columns_);
};

TEST_F(BadPackedFile, HeaderAndTableFaults) {
    using namespace packed;
    std::string wrong_magic = good_;
    wrong_magic[1] = 'X';
    std::string newer = good_;
    store<std::uint32_t>(newer.data() + kVersionAt, 2);
    reseal(newer);
    std::string fewer_sections = good_;
    store<std::uint32_t>(fewer_sections.data() + kSectionCountAt, 15);
    reseal(fewer_sections);
    std::string table_flipped = good_;
    table_flipped[entry_byte(kPhase, kEntryChecksumAt)] ^= 1;
    std::string section_flipped = good_;
    section_flipped[byte_of(good_, kStartCycle, 3)] ^= 4;
    const std::uint64_t size = good_.size();
    const Entry phase = entry_of(good_, kPhase);

    const Refusal cases[] = {
        {"wrong magic", wrong_magic, 0, "header", "not a packed profile (wrong magic number)"},
        {"newer version", newer, kVersionAt, "header",
         "unsupported packed format version 2 (this build reads version 1)"},
        {"extended", good_ + std::string(8, '\0'), kFileSizeAt, "header", "(extended)"},
        {"section count", fewer_sections, kSectionCountAt, "header",
         "15 sections in the table, expected 16"},
        {"table checksum", table_flipped, kTableChecksumAt, "header",
         "checksum mismatch in the header and section table"},
        {"section checksum", section_flipped, byte_of(good_, kStartCycle), "section start_cycle",
         "checksum mismatch (stored 0x"},
        {"unknown id", with_entry(good_, 2, 0, 99, false), entry_byte(2, 0), "section table[2]",
         "unknown section id 99"},
        {"listed twice", with_entry(good_, 3, 0, kSampleTile, false), entry_byte(3, 0),
         "section table[3]", "section sample_tile is listed twice"},
        {"element size", with_entry(good_, kStepKind, kEntryElementSizeAt, 4, false),
         entry_byte(kStepKind, kEntryElementSizeAt), "section table[9]",
         "section step_kind has elements of 4 bytes, expected 1"},
        {"misaligned",
         with_entry(good_, kEpoch, kEntryOffsetAt, entry_of(good_, kEpoch).offset + 4, true),
         entry_byte(kEpoch, kEntryOffsetAt), "section table[6]", "not a multiple of 8"},
        {"section inside the table", with_entry(good_, kTilePhysical, kEntryOffsetAt, 40, true),
         entry_byte(kTilePhysical, kEntryOffsetAt), "section table[0]",
         "section tile_physical begins at byte 40, inside the header and section table"},
        {"offset past the end",
         with_entry(good_, kPhase, kEntryOffsetAt, (size + 15) / 8 * 8, true),
         entry_byte(kPhase, kEntrySizeAt), "section table[5]", "runs past the end of the file"},
        {"length past the end",
         with_entry(good_, kPhase, kEntrySizeAt, size - phase.offset + 4, true),
         entry_byte(kPhase, kEntrySizeAt), "section table[5]", "runs past the end of the file"},
        {"length that wraps", with_entry(good_, kPhase, kEntrySizeAt, ~std::uint64_t{7}, true),
         entry_byte(kPhase, kEntrySizeAt), "section table[5]", "runs past the end of the file"},
        {"part of an element", with_entry(good_, kPhase, kEntrySizeAt, phase.size - 2, true),
         entry_byte(kPhase, kEntrySizeAt), "section table[5]",
         "not a whole number of 4-byte elements"},
        {"sections overlap",
         with_entry(good_, kEndCycle, kEntryOffsetAt, entry_of(good_, kStartCycle).offset + 8,
                    true),
         entry_byte(kEndCycle, kEntryOffsetAt), "section table[4]",
         "section end_cycle (from byte " + std::to_string(entry_of(good_, kStartCycle).offset + 8) +
             ") overlaps section start_cycle"},
        {"count differs", with_entry(good_, kPhase, kEntrySizeAt, phase.size - 4, true),
         phase.offset, "section phase", "holds 119 elements, expected 120 (one per sample"},
    };
    for (const Refusal& c : cases) {
        expect_refused(c);
    }
}

TEST_F(BadPackedFile, TruncatedAtEverySectionBoundary) {
    std::vector<std::uint64_t> cuts = {0, 5, 8, 39, packed::kHeaderSize, 300, packed::kTableEnd};
    for (std::uint32_t id = 0; id < packed::kSectionCount; ++id) {
        const Entry entry = entry_of(good_, id);
        cuts.push_back(entry.offset);
        cuts.push_back(entry.offset + entry.size);
        cuts.push_back(entry.offset + entry.size / 2);
    }
    for (const std::uint64_t cut : cuts) {
        if (cut >= good_.size()) {
            continue;
        }
        const std::string file = good_.substr(0, cut);
        const bool in_header = cut < packed::kHeaderSize;
        expect_refused({"cut at " + std::to_string(cut), file,
                        in_header ? cut : packed::kFileSizeAt, "header",
                        in_header ? "the file ends inside the header" : "(truncated)"});
        if (cut < packed::kTableEnd) {
            continue;
        }
        // With the header made to agree, a section that was cut runs past the end.
        std::string agreeing = file;
        store<std::uint64_t>(agreeing.data() + packed::kFileSizeAt, cut);
        packed::reseal(agreeing);
        const auto opened = open_profile_packed_memory(agreeing);
        ASSERT_FALSE(opened) << "cut at " << cut;
        EXPECT_TRUE(opened.error().path.starts_with("section")) << to_string(opened.error());
    }
}

// A file large enough to be checked on several threads reports the fault it reports on one:
// the first in the order of the checks, wherever the threads' ranges fall.
TEST(ProfilePacked, ThreadedChecksReportTheFirstFault) {
    using namespace packed;
    const ProfileColumns columns = synthetic_columns({.tiles = 64, .steps_per_tile = 4200});
    const Arrays arrays(columns);
    const fs::path path = scratch("threaded.packed");
    const auto error_of = [&](const std::string& bytes, std::size_t threads) {
        std::ofstream(path, std::ios::binary) << bytes;
        const auto opened = open_profile_packed(path.string(), threads);
        fs::remove(path);
        return opened ? std::string("opened") : to_string(opened.error());
    };
    const auto damaged = [&](const std::function<void(Arrays&)>& damage) {
        Arrays copy = arrays;
        damage(copy);
        return copy.bytes();
    };
    const std::string good = arrays.bytes();
    std::string two_checksums = good;
    two_checksums[byte_of(good, kPhase, 250'000)] ^= 1;
    two_checksums[byte_of(good, kStartCycle, 260'000)] ^= 1;
    struct Case {
        std::string name;
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"good", good, "opened"},
        {"two checksums", two_checksums, "(section start_cycle): checksum mismatch"},
        {"two tiles", damaged([](Arrays& a) {
             a.sample_tile[262'000] = 0;
             a.sample_tile[170'000] = 1;
         }),
         "sample 170000 names tile 1, but lies in tile 40's"},
        {"two steps", damaged([](Arrays& a) {
             a.step[240'000] = 1u << 30;
             a.step[140'001] = 1u << 31;
         }),
         "sample 140001: step number 2147483648 out of range"},
        {"a step before a tile", damaged([](Arrays& a) {
             a.step[3] = 1u << 30;
             a.sample_tile[250'000] = 7;
         }),
         "sample 250000 names tile 7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string one = error_of(c.bytes, 1);
        EXPECT_NE(one.find(c.message), std::string::npos) << one;
        EXPECT_EQ(error_of(c.bytes, 2), one);
        EXPECT_EQ(error_of(c.bytes, 5), one);
    }
}

TEST_F(BadPackedFile, ContentFaults) {
    using namespace packed;
    const auto texts = static_cast<std::uint32_t>(columns_.text_count());
    const std::string in_range = "out of range (" + std::to_string(texts) + " texts)";
    struct Damage {
        std::string name;
        std::function<void(Arrays&)> damage;
        std::uint32_t section;
        std::uint64_t index;  ///< of the element named
        std::string message;
        std::uint64_t within = 0;  ///< bytes into the element
    };
    const std::uint32_t same_size = arrays_.text_of_size(5);
    const std::uint32_t other = arrays_.text_of_size(5, same_size + 1);
    const std::uint32_t three = arrays_.text_of_size(3);
    const Damage cases[] = {
        {"kernel text number", [&](Arrays& a) { a.step_kernel[1] = texts + 5; }, kStepKernel, 1,
         "step 1: text number " + std::to_string(texts + 5) + " " + in_range},
        {"operation text number", [&](Arrays& a) { a.step_operation[2] = ~0U; }, kStepOperation, 2,
         "step 2: text number 4294967295 " + in_range},
        {"metadata name", [&](Arrays& a) { a.metadata[3].name = texts; }, kMetadata, 3,
         "metadata entry 3 (name): text number"},
        {"metadata value", [&](Arrays& a) { a.metadata[3].value = texts; }, kMetadata, 3,
         "metadata entry 3 (value): text number", 4},
        {"step number", [&](Arrays& a) { a.step[77] = 1000; }, kStep, 77,
         "sample 77: step number 1000 out of range"},
        {"step kind", [&](Arrays& a) { a.step_kind[4] = static_cast<ProfileStepKind>(9); },
         kStepKind, 4, "step 4 has kind 9 (kinds are 0 to 3)"},
        {"first tile not at 0", [&](Arrays& a) { a.tile_sample_begin[0] = 1; }, kTileSampleBegin, 0,
         "tile 0's samples begin at 1, expected 0"},
        {"tiles overlap", [&](Arrays& a) { a.tile_sample_begin[2] = 20; }, kTileSampleBegin, 2,
         "tile 2's samples begin at 20, before tile 1's at 30: the ranges overlap"},
        {"tiles run past the samples", [&](Arrays& a) { a.tile_sample_begin[4] = 125; },
         kTileSampleBegin, 4, "the tiles end at sample 125, but there are 120 samples"},
        {"tiles stop short", [&](Arrays& a) { a.tile_sample_begin[4] = 119; }, kTileSampleBegin, 4,
         "the tiles end at sample 119, but there are 120 samples"},
        {"sample in the wrong tile", [&](Arrays& a) { a.sample_tile[45] = 0; }, kSampleTile, 45,
         "sample 45 names tile 0, but lies in tile 1's samples [30, 60)"},
        {"texts overlap", [&](Arrays& a) { a.text_begin[3] = a.text_begin[2] - 1; }, kTextBegin, 3,
         "text 3's bytes begin at"},
        {"texts run past their bytes", [&](Arrays& a) { a.text_bytes.pop_back(); }, kTextBegin,
         texts, "the texts end at byte"},
        {"invalid UTF-8", [&](Arrays& a) { a.text_bytes[a.text_begin[same_size] + 2] = '\xff'; },
         kTextBytes, arrays_.text_begin[same_size],
         "text " + std::to_string(same_size) + " (5 bytes) is not valid UTF-8"},
        {"encoded surrogate",
         [&](Arrays& a) {
             std::memcpy(a.text_bytes.data() + a.text_begin[three], "\xed\xa0\x80", 3);
         },
         kTextBytes, arrays_.text_begin[three], "is not valid UTF-8"},
        {"text stored twice",
         [&](Arrays& a) {
             std::memcpy(a.text_bytes.data() + a.text_begin[other],
                         a.text_bytes.data() + a.text_begin[same_size], 5);
         },
         kTextBytes, arrays_.text_begin[other],
         "text " + std::to_string(other) + " repeats text " + std::to_string(same_size)},
        {"step stored twice", [&](Arrays& a) { a.copy_step(0, 5); }, kStepKind, 5,
         "step 5 repeats step 0"},
        {"metadata ranges overlap", [&](Arrays& a) { a.step_metadata_begin[2] = 0; },
         kStepMetadataBegin, 2, "step 2's metadata begin at 0, before step 1's"},
    };
    for (const Damage& d : cases) {
        Arrays damaged = arrays_;
        d.damage(damaged);
        const std::string file = damaged.bytes();
        expect_refused({d.name, file, byte_of(file, d.section, d.index) + d.within,
                        "section " + std::string(kSections[d.section].name), d.message});
    }
}

}  // namespace
}  // namespace vorn_package

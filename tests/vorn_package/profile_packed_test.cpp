// Packed profiles: written and opened they give back the same profile, written as they come
// they are the same bytes, the writer refuses counts other than announced, and sections placed
// unusually or steps and texts crafted to collide open as any others.
#include "vorn_package/profile_packed.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "colliding_columns.hpp"
#include "packed_test_files.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

using namespace packed_test;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

CycleSample sample(std::uint32_t start, std::uint32_t end, std::string operation,
                   std::string kernel, std::vector<ProfileMetadata> metadata = {}) {
    CycleSample s;
    s.start_cycle = start;
    s.end_cycle = end;
    s.step.operation = std::move(operation);
    s.step.kernel = std::move(kernel);
    s.step.metadata = std::move(metadata);
    return s;
}

/// Tiles without samples, a repeated tile, extreme numbers, NUL and multi-byte texts.
ProfileReport edge_profile() {
    ProfileReport report{.clock_hz = ~std::uint64_t{0}, .tiles = {}};
    report.tiles.push_back({.physical_tile = 7, .samples = {}});
    report.tiles.push_back(
        {.physical_tile = 7,
         .samples = {sample(4294967291U, 5, "op", ""),
                     sample(5, 5, std::string("a\0b", 3), "k\xc2\xb5s \xe2\x9c\x93",
                            {{"n", "v"}, {"n", "v"}, {"", ""}, {"\xf0\x9f\x98\x80", "n"}})}});
    report.tiles.push_back({.physical_tile = 0, .samples = {}});
    CycleSample& last = report.tiles[1].samples[1];
    last.step.kind = ProfileStepKind::Idle;
    last.step.phase = 4294967295U;
    last.step.epoch = 3;
    last.step.local_index = 9;
    return report;
}

TEST(ProfilePacked, RoundTripsThroughMemoryAndFiles) {
    const ProfileReport cases[] = {
        ProfileReport{},
        edge_profile(),
        synthetic_profile({.tiles = 9, .steps_per_tile = 70, .seed = 4, .clock_hz = 1000}),
    };
    for (const ProfileReport& report : cases) {
        SCOPED_TRACE(report.tiles.size());
        const std::string bytes = packed_bytes(to_columns(report));
        ASSERT_TRUE(is_profile_packed(bytes));
        const auto opened = open_profile_packed_memory(bytes);
        ASSERT_TRUE(opened) << to_string(opened.error());
        EXPECT_EQ(to_report(*opened), report);
        EXPECT_EQ(packed_bytes(*opened), bytes);
        // The columns are the file's own bytes, not a copy.
        const char* begin = bytes.data();
        const auto inside = [&](const void* p) {
            return static_cast<const char*>(p) >= begin &&
                   static_cast<const char*>(p) <= begin + bytes.size();
        };
        EXPECT_TRUE(inside(opened->start_cycle.data()));
        EXPECT_TRUE(inside(opened->text_bytes.data()));
        EXPECT_TRUE(inside(opened->metadata.data()));

        const fs::path path = scratch(".packed");
        std::ofstream(path, std::ios::binary) << bytes;
        const auto mapped = open_profile_packed(path.string());
        fs::remove(path);  // the mapping outlives the name
        ASSERT_TRUE(mapped) << to_string(mapped.error());
        EXPECT_EQ(to_report(*mapped), report);
    }
}

TEST(ProfilePacked, OddlyAlignedBytesAreCopied) {
    const std::string bytes = packed_bytes(to_columns(edge_profile()));
    const std::string shifted = "x" + bytes;
    const auto opened = open_profile_packed_memory(std::string_view(shifted).substr(1));
    ASSERT_TRUE(opened) << to_string(opened.error());
    EXPECT_EQ(to_report(*opened), edge_profile());
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(opened->tile_sample_begin.data()) % 8, 0U);
}

TEST(ProfilePacked, EmptyColumnsMakeAValidFile) {
    const std::string bytes = packed_bytes(ProfileColumns{});
    const auto opened = open_profile_packed_memory(bytes);
    ASSERT_TRUE(opened) << to_string(opened.error());
    EXPECT_EQ(opened->tile_count(), 0U);
    EXPECT_EQ(opened->text_count(), 0U);
    EXPECT_EQ(to_report(*opened), ProfileReport{});
}

TEST(ProfilePacked, TwentyEightBytesASamplePlusWhatStepsShare) {
    const SyntheticOptions options{.tiles = 64, .steps_per_tile = 400};
    const ProfileColumns columns = synthetic_columns(options);
    const std::string bytes = packed_bytes(columns);
    const std::uint64_t shared = bytes.size() - 28 * columns.sample_count();
    EXPECT_LT(shared, columns.text_bytes.size() + 64 * (columns.step_count() + 64) +
                          12 * columns.tile_count());
}

TEST(PackedFileWriter, WritesTheBytesOfTheStreamWriter) {
    // 40 x 500 samples fill each column's buffer more than once.
    for (const SyntheticOptions& options :
         {SyntheticOptions{.tiles = 40, .steps_per_tile = 500, .seed = 3},
          SyntheticOptions{.tiles = 0, .steps_per_tile = 5}}) {
        const fs::path path = scratch(".written");
        auto writer =
            PackedFileWriter::create(path.string(), options.tiles, synthetic_sample_count(options));
        ASSERT_TRUE(writer) << writer.error();
        synthetic_samples(options, *writer);
        const auto size = writer->finish();
        ASSERT_TRUE(size) << size.error();
        const std::string written = slurp(path);
        fs::remove(path);
        EXPECT_EQ(*size, written.size());
        EXPECT_EQ(written, packed_bytes(synthetic_columns(options)));
    }
}

TEST(PackedFileWriter, RefusesCountsOtherThanAnnounced) {
    struct Case {
        const char* name;
        std::function<void(PackedFileWriter&)> write;
        const char* message;
    };
    const Case cases[] = {
        {"fewer samples",
         [](PackedFileWriter& w) {
             w.begin_tile(0);
             w.begin_tile(1);
             w.add_sample(1, 2, 0, 0, 0, 0);
         },
         "2 tiles and 1 samples written, 2 and 3 announced"},
        {"more samples",
         [](PackedFileWriter& w) {
             w.begin_tile(0);
             w.begin_tile(1);
             for (int i = 0; i < 4; ++i) {
                 w.add_sample(1, 2, 0, 0, 0, 0);
             }
         },
         "more samples than the 3 announced"},
        {"more tiles",
         [](PackedFileWriter& w) {
             for (std::uint32_t t = 0; t < 3; ++t) {
                 w.begin_tile(t);
             }
         },
         "more tiles than the 2 announced"},
        {"no tile", [](PackedFileWriter& w) { w.add_sample(1, 2, 0, 0, 0, 0); },
         "a sample before the first tile"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = scratch(".short");
        auto writer = PackedFileWriter::create(path.string(), 2, 3);
        ASSERT_TRUE(writer) << writer.error();
        c.write(*writer);
        const auto size = writer->finish();
        ASSERT_FALSE(size);
        EXPECT_EQ(size.error(), c.message);
        EXPECT_FALSE(fs::exists(path));  // no half-written file is left
    }
    const auto nowhere = PackedFileWriter::create(fs::temp_directory_path().string(), 1, 1);
    ASSERT_FALSE(nowhere);
    EXPECT_TRUE(nowhere.error().starts_with("cannot open for writing: ")) << nowhere.error();
}

TEST(ProfilePacked, EmptySectionsOverlapNothing) {
    // Without metadata the metadata section is empty, and the writer puts it where text_begin
    // begins.
    const ProfileReport report{
        .clock_hz = 5, .tiles = {{.physical_tile = 2, .samples = {sample(1, 9, "op", "k")}}}};
    const std::string good = packed_bytes(to_columns(report));
    const Entry metadata = entry_of(good, packed::kMetadata);
    ASSERT_EQ(metadata.size, 0U);
    ASSERT_EQ(metadata.offset, entry_of(good, packed::kTextBegin).offset);
    const auto moved = [&](std::uint64_t offset) {
        std::string file = good;
        store<std::uint64_t>(file.data() + entry_byte(packed::kMetadata, packed::kEntryOffsetAt),
                             offset);
        packed::reseal(file);
        return file;
    };
    // Entries may come in any order: text_begin listed before the empty section at its start.
    std::string swapped = good;
    std::swap_ranges(
        swapped.begin() + static_cast<std::ptrdiff_t>(entry_byte(packed::kMetadata, 0)),
        swapped.begin() + static_cast<std::ptrdiff_t>(entry_byte(packed::kMetadata + 1, 0)),
        swapped.begin() + static_cast<std::ptrdiff_t>(entry_byte(packed::kTextBegin, 0)));
    packed::reseal(swapped);
    const struct {
        const char* name;
        std::string file;
    } cases[] = {
        {"as written", good},
        {"at the start of step_metadata_begin",
         moved(entry_of(good, packed::kStepMetadataBegin).offset)},
        {"inside start_cycle", moved(entry_of(good, packed::kStartCycle).offset + 8)},
        {"at the end of the file", moved(good.size() / 8 * 8)},
        {"listed after the section that begins at it", swapped},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto opened = open_profile_packed_memory(c.file);
        ASSERT_TRUE(opened) << to_string(opened.error());
        EXPECT_EQ(to_report(*opened), report);
    }
}

// Steps and texts crafted to share one hash value open like any others, and a repeat among
// them is found and named: the lowest-numbered repeat, with the first of its equals.
TEST(ProfilePacked, CollidingStepsAndTextsAreCheckedForRepeats) {
    const ProfileColumns steps = colliding::steps(3000);
    const ProfileColumns texts = colliding::texts(3000);
    for (const ProfileColumns* columns : {&steps, &texts}) {
        const std::string bytes = packed_bytes(*columns);
        const auto opened = open_profile_packed_memory(bytes);
        ASSERT_TRUE(opened) << to_string(opened.error());
        EXPECT_EQ(opened->step_count(), columns->step_count());
        EXPECT_EQ(opened->text_count(), columns->text_count());
        EXPECT_EQ(packed_bytes(*opened), bytes);
    }
    const auto copy_text = [](Arrays& a, std::uint32_t from, std::uint32_t to) {
        std::memcpy(a.text_bytes.data() + a.text_begin[to],
                    a.text_bytes.data() + a.text_begin[from], 16);
    };
    struct Case {
        const char* name;
        const ProfileColumns& columns;
        std::function<void(Arrays&)> damage;
        std::uint32_t section;
        std::uint64_t index;
        std::string message;
    };
    Arrays texts_arrays(texts);
    const Case cases[] = {
        {"one step twice", steps, [](Arrays& a) { a.copy_step(2500, 2900); }, packed::kStepKind,
         2900, "step 2900 repeats step 2500: every step is stored once"},
        {"three alike and another pair", steps,
         [](Arrays& a) {
             a.copy_step(10, 2000);
             a.copy_step(10, 1800);
             a.copy_step(5, 1900);
         },
         packed::kStepKind, 1800, "step 1800 repeats step 10:"},
        {"one text twice", texts, [&](Arrays& a) { copy_text(a, 7, 2999); }, packed::kTextBytes,
         texts_arrays.text_begin[2999], "text 2999 repeats text 7: every text is stored once"},
        {"three alike and another pair", texts,
         [&](Arrays& a) {
             copy_text(a, 300, 2000);
             copy_text(a, 300, 1000);
             copy_text(a, 40, 1500);
         },
         packed::kTextBytes, texts_arrays.text_begin[1000], "text 1000 repeats text 300:"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Arrays damaged(c.columns);
        c.damage(damaged);
        const std::string file = damaged.bytes();
        const auto opened = open_profile_packed_memory(file);
        ASSERT_FALSE(opened) << "read as a profile";
        EXPECT_EQ(opened.error().offset, byte_of(file, c.section, c.index))
            << to_string(opened.error());
        EXPECT_EQ(opened.error().path, "section " + std::string(kSections[c.section].name));
        EXPECT_NE(opened.error().message.find(c.message), std::string::npos)
            << to_string(opened.error());
    }
}

}  // namespace
}  // namespace vorn_package

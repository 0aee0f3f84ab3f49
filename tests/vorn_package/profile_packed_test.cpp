// Packed profiles: written and opened they give back the same profile, written as they come
// they are the same bytes, and every kind of damage is refused with the section and byte named.
#include "vorn_package/profile_packed.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "colliding_columns.hpp"
#include "profile_packed_layout.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

namespace fs = std::filesystem;
using packed::Entry;
using packed::kSections;
using packed::load;
using packed::store;

std::string packed_bytes(const ProfileColumns& columns) {
    std::ostringstream out;
    write_profile_packed(out, columns);
    return out.str();
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

fs::path scratch(const std::string& name) {
    return fs::temp_directory_path() / ("vorn_packed_test_" + std::to_string(getpid()) + name);
}

/// The table entry of section `id`, as stored.
Entry entry_of(const std::string& file, std::uint32_t id) {
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
std::uint64_t byte_of(const std::string& file, std::uint32_t id, std::uint64_t index = 0) {
    return entry_of(file, id).offset + index * kSections[id].element_size;
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
std::string with_entry(std::string file, std::uint64_t position, std::uint64_t field,
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

std::uint64_t entry_byte(std::uint64_t position, std::uint64_t field) {
    return packed::kHeaderSize + packed::kEntrySize * position + field;
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

// The good file: a small synthetic run, whose table lists the sections in id order.
class BadPackedFile : public testing::Test {
protected:
    const ProfileColumns columns_ =
        synthetic_columns({.tiles = 4, .steps_per_tile = 30, .seed = 2});
    const Arrays arrays_{columns_};
    const std::string good_ = packed_bytes(columns_);

    struct Case {
        std::string name;
        std::string file;
        std::uint64_t offset;
        std::string path;
        std::string message;  ///< a fragment of the message
    };

    static void expect_refused(const Case& c) {
        SCOPED_TRACE(c.name);
        const auto opened = open_profile_packed_memory(c.file);
        ASSERT_FALSE(opened) << "read as a profile";
        EXPECT_EQ(opened.error().offset, c.offset) << to_string(opened.error());
        EXPECT_EQ(opened.error().path, c.path) << to_string(opened.error());
        EXPECT_NE(opened.error().message.find(c.message), std::string::npos)
            << to_string(opened.error());
    }
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

    const Case cases[] = {
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
    for (const Case& c : cases) {
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

// The stored profile format: round trips through the writer and reader, the written layout, the
// good and bad file corpora under tests/data, and reading from files and standard input.
#include "vorn_package/profile_json.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const fs::path kData = VORN_TEST_DATA_DIR;
constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

std::string file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string written(const ProfileReport& report) {
    std::ostringstream out;
    write_profile_json(out, report);
    return out.str();
}

CycleSample make_sample(std::uint32_t start, std::uint32_t end, std::string operation,
                        ProfileStepKind kind = ProfileStepKind::Compute, std::string kernel = "",
                        std::vector<ProfileMetadata> metadata = {}) {
    CycleSample made;
    made.start_cycle = start;
    made.end_cycle = end;
    made.step.operation = std::move(operation);
    made.step.kind = kind;
    made.step.kernel = std::move(kernel);
    made.step.metadata = std::move(metadata);
    return made;
}

// The profile shown with the format: tests/data/good/example.json is its written form.
ProfileReport example_profile() {
    ProfileReport report{.clock_hz = 1'500'000'000, .tiles = {}};
    report.tiles.push_back({.physical_tile = 9, .samples = {}});
    report.tiles[0].samples.push_back(
        make_sample(4294967291, 5, "operation 0", ProfileStepKind::Exchange, "", {{"block", "0"}}));
    return report;
}

struct RoundTrip {
    std::string name;
    ProfileReport report;
};

std::vector<RoundTrip> round_trips() {
    std::vector<RoundTrip> cases;
    cases.push_back({"no tiles", {.clock_hz = 0, .tiles = {}}});
    cases.push_back({"empty tiles", {.clock_hz = 1, .tiles = {{0, {}}, {kMax32, {}}}}});

    ProfileReport largest{.clock_hz = kMax64,
                          .tiles = {{kMax32, {make_sample(kMax32, kMax32, "")}}}};
    largest.tiles[0].samples[0].step.local_index = kMax32;
    largest.tiles[0].samples[0].step.phase = kMax32;
    largest.tiles[0].samples[0].step.epoch = kMax32;
    cases.push_back({"largest integers", largest});

    const std::vector<std::string> texts = {
        "",
        "\"",
        "\\",
        "\"\\\"\\\\\"",
        "/ \b\f\n\r\t",
        "nul\0inside\0"s,
        "\0"s,
        "\x01\x1f\x7f",
        "caf\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80",
        "]}{[\":,",
    };
    ProfileReport awkward{.clock_hz = 7, .tiles = {{3, {}}}};
    const ProfileStepKind kinds[] = {ProfileStepKind::Exchange, ProfileStepKind::Compute,
                                     ProfileStepKind::Synchronization, ProfileStepKind::Idle};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& other = texts[(i + 1) % texts.size()];
        awkward.tiles[0].samples.push_back(
            make_sample(static_cast<std::uint32_t>(i), 0, texts[i], kinds[i % 4], other,
                        {{texts[i], other}, {texts[i], texts[i]}, {"", ""}}));
    }
    cases.push_back({"awkward texts", awkward});

    // Escapes and brackets inside strings at every offset of the reader's 64-byte blocks.
    for (std::size_t shift = 0; shift < 64; ++shift) {
        const std::string text =
            std::string(shift, 'x') + "\\\"]}\\\\\"{[\\" + std::string(70, '\\');
        cases.push_back(
            {"block shift " + std::to_string(shift),
             {.clock_hz = 1, .tiles = {{1, {make_sample(1, 2, text, kinds[0], text)}}}}});
    }
    cases.push_back({"synthetic", synthetic_profile({.tiles = 6, .steps_per_tile = 40})});
    return cases;
}

TEST(ProfileJson, WriteThenReadGivesAnEqualProfile) {
    for (const RoundTrip& trip : round_trips()) {
        SCOPED_TRACE(trip.name);
        const std::string text = written(trip.report);
        const auto read = read_profile_json(text);
        ASSERT_TRUE(read) << to_string(read.error());
        EXPECT_TRUE(*read == trip.report);
        EXPECT_EQ(written(*read), text);
        const auto columns = read_profile_columns_json(text);
        ASSERT_TRUE(columns) << to_string(columns.error());
        EXPECT_TRUE(to_report(*columns) == trip.report);
    }
}

TEST(ProfileJson, WritesTheStoredLayout) {
    EXPECT_EQ(written(example_profile()), file_bytes(kData / "good" / "example.json"));

    const ProfileReport escapes{
        .clock_hz = 1, .tiles = {{1, {make_sample(1, 2, "\"\\/\b\f\n\r\t\0\x1f\x7f\xc3\xa9"s)}}}};
    EXPECT_NE(written(escapes).find(R"("operation": "\"\\/\b\f\n\r\t\u0000\u001f)"
                                    "\x7f\xc3\xa9\",\n"),
              std::string::npos)
        << written(escapes);
}

TEST(ProfileJson, ReadsTheGoodFiles) {
    ProfileReport unusual{.clock_hz = kMax64, .tiles = {{kMax32, {}}, {0, {}}}};
    unusual.tiles[1].samples.push_back(make_sample(kMax32, 0, "", ProfileStepKind::Idle));
    unusual.tiles[1].samples[0].step.phase = kMax32;
    const std::string operation =
        "q\"b\\s/ \b\f\n\r\t \0 \xc3\xa9 \xc3\xa9 \xf0\x9f\x98\x80 \xf0\x9f\x98\x80"s;
    unusual.tiles[1].samples.push_back(make_sample(1, 2, operation,
                                                   ProfileStepKind::Synchronization, "k\0"s,
                                                   {{"dup", ""}, {"dup", "second"}}));
    unusual.tiles[1].samples[1].step.local_index = 7;
    unusual.tiles[1].samples[1].step.phase = 2;
    unusual.tiles[1].samples[1].step.epoch = 3;
    const std::map<std::string, ProfileReport> expected = {{"example.json", example_profile()},
                                                           {"unusual_layout.json", unusual}};

    for (const auto& entry : fs::directory_iterator(kData / "good")) {
        SCOPED_TRACE(entry.path().filename().string());
        const auto read = read_profile_json_file(entry.path().string());
        ASSERT_TRUE(read) << to_string(read.error());
        if (const auto found = expected.find(entry.path().filename().string());
            found != expected.end()) {
            EXPECT_TRUE(*read == found->second);
        }
    }
}

struct BadFile {
    std::uint64_t offset = 0;
    std::string path;
    std::string fragment;
};

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? ""
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// tests/data/bad/expected.txt: "name | offset | path | message fragment" per line.
std::map<std::string, BadFile> bad_file_table() {
    std::map<std::string, BadFile> table;
    std::istringstream lines(file_bytes(kData / "bad" / "expected.txt"));
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; fields.size() < 3 && std::getline(parts, field, '|');) {
            fields.push_back(trimmed(field));
        }
        std::string rest;
        std::getline(parts, rest);
        EXPECT_EQ(fields.size(), 3u) << line;
        fields.resize(3);
        table[fields[0]] = {std::stoull(fields[1]), fields[2], trimmed(rest)};
    }
    return table;
}

TEST(ProfileJson, RejectsEachBadFileWithItsOffsetPathAndMessage) {
    const auto table = bad_file_table();
    std::size_t checked = 0;
    for (const auto& entry : fs::directory_iterator(kData / "bad")) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".json") {
            continue;
        }
        SCOPED_TRACE(name);
        const auto row = table.find(name);
        if (row == table.end()) {
            ADD_FAILURE() << "no line in expected.txt";
            continue;
        }
        ++checked;
        const BadFile& want = row->second;
        const auto from_file = read_profile_json_file(entry.path().string());
        ASSERT_FALSE(from_file);
        const ReadError& error = from_file.error();
        EXPECT_EQ(error.offset, want.offset);
        if (want.path.ends_with("...")) {
            EXPECT_TRUE(error.path.starts_with(want.path.substr(0, want.path.size() - 3)))
                << error.path;
        } else {
            EXPECT_EQ(error.path, want.path);
        }
        EXPECT_NE(error.message.find(want.fragment), std::string::npos) << error.message;

        // Read in place from memory, the last tile goes through a padded copy of the tail;
        // into columns, from the file and from memory, the error is the same.
        const std::string text = file_bytes(entry.path());
        const auto from_memory = read_profile_json(text);
        ASSERT_FALSE(from_memory);
        EXPECT_EQ(from_memory.error(), error);
        const auto columns_from_file = read_profile_columns_json_file(entry.path().string());
        ASSERT_FALSE(columns_from_file);
        EXPECT_EQ(columns_from_file.error(), error);
        const auto columns_from_memory = read_profile_columns_json(text);
        ASSERT_FALSE(columns_from_memory);
        EXPECT_EQ(columns_from_memory.error(), error);
    }
    EXPECT_EQ(checked, table.size()) << "expected.txt names files that are missing";
}

TEST(ProfileJson, LimitsNestingTo1024Levels) {
    const auto nested = [](std::size_t levels) {
        return R"({"clock_hz": 1, "tiles": [], "deep": )" + std::string(levels - 1, '[') +
               std::string(levels - 1, ']') + "}";
    };
    EXPECT_TRUE(read_profile_json(nested(1024)));
    const auto deeper = read_profile_json(nested(1025));
    ASSERT_FALSE(deeper);
    EXPECT_EQ(deeper.error().message, "nesting deeper than 1024 levels");
    EXPECT_EQ(deeper.error().offset, 37u + 1023u);
}

TEST(ProfileJson, FormatsErrorsWithOffsetAndPath) {
    EXPECT_EQ(to_string({18342, "tiles[3].samples[17].start_cycle",
                         "expected an unsigned 32-bit integer, found -5"}),
              "at byte 18342 (tiles[3].samples[17].start_cycle): expected an unsigned 32-bit "
              "integer, found -5");
    EXPECT_EQ(to_string({0, "", "empty document"}), "at byte 0: empty document");
}

TEST(ProfileJson, ReportsFilesThatCannotBeRead) {
    const struct {
        fs::path path;
        std::string message;
    } cases[] = {
        {kData / "no-such-file.json", "cannot open: No such file or directory"},
        {kData, "cannot read: Is a directory"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.path.string());
        const auto read = read_profile_json_file(test.path.string());
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error(), (ReadError{0, "", test.message}));
    }
}

// Runs `read` with standard input a pipe that a thread fills with `text`.
template <class Read>
auto read_from_pipe(const std::string& text, Read&& read) {
    std::signal(SIGPIPE, SIG_IGN);  // the reader may stop at an error before the writer is done
    int ends[2];
    EXPECT_EQ(::pipe(ends), 0);
    std::thread writer([&text, fd = ends[1]] {
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
            if (wrote <= 0) {
                break;  // the reader stopped early, at an error
            }
            done += static_cast<std::size_t>(wrote);
        }
        ::close(fd);
    });
    const int saved = ::dup(STDIN_FILENO);
    ::dup2(ends[0], STDIN_FILENO);
    ::close(ends[0]);
    auto result = read();
    ::dup2(saved, STDIN_FILENO);  // closes the read end, so that the writer cannot block
    ::close(saved);
    writer.join();
    return result;
}

// Standard input is read in chunks of 1 MiB: these documents put a tile, a long unknown member,
// long white space and faults across those chunks.
TEST(ProfileJson, ReadsStandardInputInChunksAsFromMemory) {
    const std::string large = written(synthetic_profile({.tiles = 24, .steps_per_tile = 400}));
    ASSERT_GT(large.size(), 3u << 20);
    const std::string head = R"({"clock_hz": 5, )";
    const std::string tiles = R"("tiles": [{"physical_tile": 1, "samples": []}])";
    const std::string long_text(3 << 20, 'x');
    const struct {
        std::string name;
        std::string text;
    } cases[] = {
        {"large profile", large},
        {"fault in the last tile",
         large.substr(0, large.size() - 200) + "!" + large.substr(large.size() - 199)},
        {"truncated", large.substr(0, large.size() - 5)},
        {"long unknown member", head + R"("note": [")" + long_text + R"("], )" + tiles + "}"},
        {"long member name", head + '"' + long_text + R"(": 1, )" + tiles + "}"},
        {"long white space", head + tiles + std::string(3 << 20, ' ') + "}"},
        {"content after long white space", head + tiles + "}" + std::string(3 << 20, ' ') + "x"},
        {"long number", head + R"("extra": )" + std::string(3 << 20, '7') + ", " + tiles + "}"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const auto from_memory = read_profile_json(test.text);
        const auto records = read_from_pipe(test.text, [] { return read_profile_json_file("-"); });
        const auto columns =
            read_from_pipe(test.text, [] { return read_profile_columns_json_file("-"); });
        ASSERT_EQ(records.has_value(), from_memory.has_value());
        ASSERT_EQ(columns.has_value(), from_memory.has_value());
        if (from_memory) {
            EXPECT_TRUE(*records == *from_memory);
            EXPECT_TRUE(to_report(*columns) == *from_memory);
        } else {
            EXPECT_EQ(records.error(), from_memory.error());
            EXPECT_EQ(columns.error(), from_memory.error());
        }
    }
}

// A tile may give its number after its samples; the columns still hold each sample in its tile.
TEST(ProfileJson, ReadsColumnsOfTilesNumberedAfterTheirSamples) {
    const std::string sample =
        R"({"start_cycle": 1, "end_cycle": 2, "step": {"phase": 0, "operation": "o", )"
        R"("kind": "idle", "metadata": [{"name": "k", "value": "v"}]}})";
    const std::string text = R"({"clock_hz": 1, "tiles": [{"samples": [)" + sample + "," + sample +
                             R"(], "physical_tile": 7}, {"physical_tile": 8, "samples": [)" +
                             sample + "]}]}";
    const auto records = read_profile_json(text);
    const auto columns = read_profile_columns_json(text);
    ASSERT_TRUE(records) << to_string(records.error());
    ASSERT_TRUE(columns) << to_string(columns.error());
    EXPECT_TRUE(to_report(*columns) == *records);
    ASSERT_EQ(columns->tile_count(), 2u);
    EXPECT_EQ(columns->tile_physical[0], 7u);
    EXPECT_EQ(columns->tile_sample_begin[1], 2u);
}

// Tiles that repeat the steps of the tile before at the same places, but for one detail each:
// every detail must make a step of its own.
TEST(ProfileJson, ReadsColumnsOfStepsThatDifferFromTheTileBeforeInOneDetail) {
    using Kind = ProfileStepKind;
    const std::vector<CycleSample> first = {
        make_sample(0, 1, "ab", Kind::Compute, "c", {{"n", "v"}}),
        make_sample(1, 2, "op", Kind::Compute, "k", {{"n", "v"}}),
        make_sample(2, 3, "op", Kind::Compute, "k", {{"n", "v"}, {"m", "w"}}),
        make_sample(3, 4, "op", Kind::Compute, "k", {}),
        make_sample(4, 5, "op", Kind::Compute, "k", {{"n", "v"}})};
    const std::vector<CycleSample> second = {
        make_sample(0, 1, "a", Kind::Compute, "bc", {{"n", "v"}}),
        make_sample(1, 2, "op", Kind::Idle, "k", {{"n", "v"}}),
        make_sample(2, 3, "op", Kind::Compute, "k", {{"n", "v"}}),
        make_sample(3, 4, "op", Kind::Compute, "k", {{"", ""}}),
        make_sample(4, 5, "op", Kind::Compute, "k", {{"nv", ""}})};
    ProfileReport report{.clock_hz = 1, .tiles = {{0, first}, {1, second}, {2, first}}};
    const auto columns = read_profile_columns_json(written(report));
    ASSERT_TRUE(columns) << to_string(columns.error());
    EXPECT_TRUE(to_report(*columns) == report);
    EXPECT_EQ(columns->step_count(), 8u);  // four in each of the first two tiles
}

// On a machine with AVX2 the readers parse with simdjson's AVX2 kernel, unless told otherwise.
TEST(ProfileJson, ParsesWithTheSimdKernelWhereTheMachineHasIt) {
    const std::string_view kernel = profile_json_kernel();
    if (std::getenv("SIMDJSON_FORCE_IMPLEMENTATION") != nullptr) {
        GTEST_SKIP() << "kernel chosen by SIMDJSON_FORCE_IMPLEMENTATION: " << kernel;
    }
#if defined(__x86_64__)
    EXPECT_EQ(kernel, __builtin_cpu_supports("avx2") ? "haswell" : "fallback");
#else
    EXPECT_EQ(kernel, "fallback");
#endif
}

TEST(ProfileJson, ReportsProgressUpToTheWholeInput) {
    const std::string text = written(synthetic_profile({.tiles = 32, .steps_per_tile = 200}));
    std::vector<std::uint64_t> done;
    const auto read = read_profile_json(text, [&](std::uint64_t bytes, std::uint64_t total) {
        EXPECT_EQ(total, text.size());
        done.push_back(bytes);
    });
    ASSERT_TRUE(read);
    ASSERT_GT(done.size(), 1u);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
    EXPECT_EQ(done.back(), text.size());
}

}  // namespace
}  // namespace vorn_package

// A JSON profile read on several threads: the same columns, and for a broken file the same first
// error, as one thread gives, for random documents cut into many windows and runs of tiles.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "vorn_package/profile_file.hpp"
#include "vorn_package/profile_json.hpp"

namespace vorn_package {
namespace {

constexpr std::size_t kThreadCounts[] = {2, 3, 7};

// A random document: texts shared between tiles (some escaped, some not ASCII), metadata, a
// tile's number before or after its samples, members the format does not name. `tiles[t]` is
// where tile `t` starts, for placing faults.
struct Document {
    std::string text;
    std::vector<std::size_t> tiles;
};

Document random_document(std::mt19937& random, std::size_t tile_count) {
    static const char* const kTexts[] = {"gemm",       "softmax", "",     "conv\\u0032d",
                                         "ré\\\"seau", "layer",   "block"};
    static const char* const kKinds[] = {"exchange", "compute", "synchronization", "idle"};
    const auto pick = [&](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    const auto number = [&] { return std::to_string(pick(1000)); };
    Document document;
    std::string& out = document.text;
    out = "{\"format\": \"vorn-profile\", \"clock_hz\": 1000, \"tiles\": [";
    for (std::size_t t = 0; t < tile_count; ++t) {
        out += t == 0 ? "\n" : ",\n";
        document.tiles.push_back(out.size());
        const std::string physical = "\"physical_tile\": " + std::to_string(pick(2000));
        out += "{";
        const bool physical_last = pick(3) == 0;
        if (!physical_last) {
            out += physical + ", ";
        }
        if (pick(5) == 0) {
            out += "\"note\": {\"x\": [1, 2]}, ";
        }
        out += "\"samples\": [";
        const std::size_t samples = pick(12);
        for (std::size_t s = 0; s < samples; ++s) {
            out += s == 0 ? "" : ", ";
            out += "{\"start_cycle\": " + number() + ", \"end_cycle\": " + number() +
                   ", \"step\": {\"phase\": " + std::to_string(pick(4)) + ", \"operation\": \"" +
                   kTexts[pick(7)] + "\", \"kind\": \"" + kKinds[pick(4)] + "\"";
            if (pick(2) == 0) {
                out += ", \"kernel\": \"" + std::string(kTexts[pick(7)]) + "\"";
            }
            if (pick(2) == 0) {
                out += ", \"epoch\": " + std::to_string(pick(3));
            }
            const std::size_t entries = pick(3);
            out += ", \"metadata\": [";
            for (std::size_t m = 0; m < entries; ++m) {
                out += std::string(m == 0 ? "" : ", ") + "{\"name\": \"" + kTexts[pick(7)] +
                       "\", \"value\": \"" + kTexts[pick(7)] + "\"}";
            }
            out += "]}}";
        }
        out += "]";
        if (physical_last) {
            out += ", " + physical;
        }
        out += "}";
    }
    out += "\n]}\n";
    return document;
}

class ThreadsTest : public ::testing::Test {
protected:
    ThreadsTest()
        : path_(std::filesystem::temp_directory_path() /
                ("vorn_json_threads_test_" + std::to_string(getpid()) + ".json")) {}
    ~ThreadsTest() override {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

    Result<ProfileColumns, ReadError> read(const std::string& text, std::size_t threads) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
        return read_profile_columns_file(path_.string(), {}, threads);
    }

    std::filesystem::path path_;
};

void expect_same_columns(const ProfileColumns& a, const ProfileColumns& b) {
    EXPECT_EQ(a.clock_hz, b.clock_hz);
    EXPECT_TRUE(std::ranges::equal(a.tile_physical, b.tile_physical));
    EXPECT_TRUE(std::ranges::equal(a.tile_sample_begin, b.tile_sample_begin));
    EXPECT_TRUE(std::ranges::equal(a.sample_tile, b.sample_tile));
    EXPECT_TRUE(std::ranges::equal(a.start_cycle, b.start_cycle));
    EXPECT_TRUE(std::ranges::equal(a.end_cycle, b.end_cycle));
    EXPECT_TRUE(std::ranges::equal(a.phase, b.phase));
    EXPECT_TRUE(std::ranges::equal(a.epoch, b.epoch));
    EXPECT_TRUE(std::ranges::equal(a.local_index, b.local_index));
    EXPECT_TRUE(std::ranges::equal(a.step, b.step));
    EXPECT_TRUE(std::ranges::equal(a.step_kind, b.step_kind));
    EXPECT_TRUE(std::ranges::equal(a.step_kernel, b.step_kernel));
    EXPECT_TRUE(std::ranges::equal(a.step_operation, b.step_operation));
    EXPECT_TRUE(std::ranges::equal(a.step_metadata_begin, b.step_metadata_begin));
    EXPECT_TRUE(std::ranges::equal(a.metadata, b.metadata));
    EXPECT_TRUE(std::ranges::equal(a.text_begin, b.text_begin));
    EXPECT_TRUE(std::ranges::equal(a.text_bytes, b.text_bytes));
}

TEST_F(ThreadsTest, RandomDocumentsReadToTheSameColumns) {
    std::mt19937 random(7);
    for (const std::size_t tiles : {0, 1, 5, 40, 120}) {
        const Document document = random_document(random, tiles);
        const auto one = read(document.text, 1);
        ASSERT_TRUE(one) << to_string(one.error());
        ASSERT_EQ(one->tile_count(), tiles);
        // The records reader sees the same profile.
        const auto records = read_profile_json(document.text);
        ASSERT_TRUE(records);
        EXPECT_EQ(to_report(*one), *records);
        for (const std::size_t threads : kThreadCounts) {
            SCOPED_TRACE(std::to_string(tiles) + " tiles, " + std::to_string(threads) + " threads");
            const auto many = read(document.text, threads);
            ASSERT_TRUE(many) << to_string(many.error());
            expect_same_columns(*one, *many);
        }
    }
}

// Faults inside a tile (found by the tile parser), between tiles or unbalanced (found by the
// scan), after the tiles, and two faults at once, in tiles all over the document: the
// first in file order is reported, with its path and byte, whatever the threads.
TEST_F(ThreadsTest, FirstErrorIsTheSameForEveryThreadCount) {
    struct Fault {
        std::string_view find;
        std::string_view replace;
    };
    const Fault kFaults[] = {
        {"\"start_cycle\": ", "\"start_cycle\": -"},   // a negative number
        {"\"kind\": \"", "\"kind\": \"x"},             // an unknown kind
        {"\"phase\": ", "\"phase\": 1, \"phase\": "},  // a duplicate member
        {"\"samples\": [", "\"samples\": [[}"},        // malformed, the tile still balanced
        {"\"samples\": [", "\"samples\": [{"},         // unbalanced: the scan fails
        {"{\"start_cycle\"", "{\"start_cycle\": 1, \"x\": \"\xff\"}"},  // invalid UTF-8
    };
    std::mt19937 random(11);
    std::size_t checked = 0;
    for (int round = 0; round < 24; ++round) {
        const Document document = random_document(random, 60);
        std::string text = document.text;
        std::vector<std::size_t> tiles = document.tiles;
        if (round % 4 == 3) {
            // No ',' between two tiles.
            text.insert(tiles[30] - 2, " 0");
            std::for_each(tiles.begin() + 30, tiles.end(), [](std::size_t& start) { start += 2; });
        }
        // One fault, or two a few tiles apart (often in one window, in runs of their own), the
        // later one placed first so that the earlier offsets hold.
        const auto first = std::uniform_int_distribution<std::size_t>(0, 55)(random);
        std::vector<std::size_t> at{tiles[first]};
        if (round % 2 == 1) {
            at.push_back(tiles[first + std::uniform_int_distribution<std::size_t>(1, 4)(random)]);
        }
        std::sort(at.rbegin(), at.rend());
        for (const std::size_t start : at) {
            const Fault& fault = kFaults[std::uniform_int_distribution<std::size_t>(0, 5)(random)];
            const std::size_t found = text.find(fault.find, start);
            if (found != std::string::npos) {
                text.replace(found, fault.find.size(), fault.replace);
            }
        }
        const auto one = read(text, 1);
        if (one) {
            continue;  // a tile without samples had nothing to break
        }
        ++checked;
        EXPECT_EQ(to_string(one.error()), to_string(read_profile_columns_json(text).error()));
        for (const std::size_t threads : kThreadCounts) {
            const auto many = read(text, threads);
            ASSERT_FALSE(many);
            EXPECT_EQ(to_string(many.error()), to_string(one.error()))
                << "round " << round << ", " << threads << " threads";
        }
    }
    EXPECT_GE(checked, 16U);
}

}  // namespace
}  // namespace vorn_package

// The generator gives the same profile as records and as columns made sample by sample.
#include "vorn_package/synthetic_profile.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vorn_package {
namespace {

TEST(SyntheticProfile, ColumnsAreTheRecords) {
    const SyntheticOptions cases[] = {
        {.tiles = 1, .steps_per_tile = 1, .seed = 1, .clock_hz = 1},
        {.tiles = 0, .steps_per_tile = 10, .seed = 1, .clock_hz = 1},
        {.tiles = 5, .steps_per_tile = 0, .seed = 1, .clock_hz = 1},
        {.tiles = 13, .steps_per_tile = 333, .seed = 7, .clock_hz = 1'330'000'000},
        {.tiles = 2, .steps_per_tile = 20'000, .seed = 2, .clock_hz = 5},
    };
    for (const SyntheticOptions& options : cases) {
        SCOPED_TRACE(std::to_string(options.tiles) + " x " +
                     std::to_string(options.steps_per_tile));
        const ProfileReport records = synthetic_profile(options);
        const ProfileColumns columns = synthetic_columns(options);
        EXPECT_EQ(columns.sample_count(), synthetic_sample_count(options));
        EXPECT_EQ(to_report(columns), records);
        // Texts and steps are numbered as when the records are turned into columns.
        const ProfileColumns from_records = to_columns(records);
        EXPECT_TRUE(std::ranges::equal(columns.step, from_records.step));
        EXPECT_TRUE(std::ranges::equal(columns.text_bytes, from_records.text_bytes));
        EXPECT_TRUE(std::ranges::equal(columns.step_kernel, from_records.step_kernel));
    }
}

/// The longest a tile runs: the farthest any sample ends from the start of the tile's first.
std::uint64_t longest_tile_span(const ProfileReport& profile) {
    std::uint64_t longest = 0;
    for (const TileProfile& tile : profile.tiles) {
        for (const CycleSample& sample : tile.samples) {
            const std::uint32_t offset = sample.start_cycle - tile.samples.front().start_cycle;
            const std::uint32_t length = sample.end_cycle - sample.start_cycle;
            longest = std::max(longest, std::uint64_t{offset} + length);
        }
    }
    return longest;
}

// Options are refused exactly when a tile would run past what its 32-bit counter can time:
// the longest run that fits comes within 0.4% of 2^32 - 1 with every step whole (well past
// where a bound on the schedule could tell), one more step takes tile 0 over it. Past 2^32 - 1
// samples, options are refused whatever their timing.
TEST(SyntheticProfile, OptionsBeyondTheLimitsAreRefused) {
    const SyntheticOptions fits{
        .tiles = 2, .steps_per_tile = 1160, .slow_kernel = "gemm", .slow_factor = 1000};
    ASSERT_EQ(synthetic_options_error(fits), std::nullopt);
    const ProfileReport profile = synthetic_profile(fits);
    EXPECT_GT(longest_tile_span(profile), 4'277'000'000U);
    EXPECT_LE(longest_tile_span(profile), 0xffff'ffffU);
    for (const CycleSample& sample : profile.tiles[0].samples) {
        if (sample.step.kernel == "gemm") {
            ASSERT_GT(sample.end_cycle - sample.start_cycle, 1'000'000U);
        }
    }

    SyntheticOptions past = fits;
    past.steps_per_tile = 1161;
    const std::optional<std::string> error = synthetic_options_error(past);
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->starts_with("tile 0 would run for 4297554835 cycles")) << *error;
    EXPECT_NE(error->find("2^32 - 1 = 4294967295"), std::string::npos) << *error;

    EXPECT_EQ(synthetic_options_error({.tiles = 65537, .steps_per_tile = 65535}), std::nullopt);
    const auto too_many = synthetic_options_error({.tiles = 65536, .steps_per_tile = 65536});
    ASSERT_TRUE(too_many.has_value());
    EXPECT_NE(too_many->find("4294967296 samples"), std::string::npos) << *too_many;
}

// The kernels listed are those a run's compute steps use, all of them.
TEST(SyntheticProfile, KernelsAreThoseOfTheSteps) {
    std::set<std::string> used;
    for (const TileProfile& tile : synthetic_profile({.tiles = 2}).tiles) {
        for (const CycleSample& sample : tile.samples) {
            if (!sample.step.kernel.empty()) {
                used.insert(sample.step.kernel);
            }
        }
    }
    const std::vector<std::string> kernels = synthetic_kernels();
    EXPECT_EQ(std::vector<std::string>(used.begin(), used.end()), kernels);
}

}  // namespace
}  // namespace vorn_package

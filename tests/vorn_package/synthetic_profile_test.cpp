// The generator gives the same profile as records and as columns made sample by sample.
#include "vorn_package/synthetic_profile.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vorn_package

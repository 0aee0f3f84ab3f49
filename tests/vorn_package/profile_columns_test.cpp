// Columns hold exactly the records they were built from, and intern every text and step once.
#include "vorn_package/profile_columns.hpp"

#include <gtest/gtest.h>

#include "vorn_package/synthetic_profile.hpp"

namespace vorn_package {
namespace {

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

TEST(ProfileColumns, RoundTripsEdgeProfiles) {
    ProfileReport empty;
    EXPECT_EQ(to_report(to_columns(empty)), empty);

    ProfileReport report{.clock_hz = ~std::uint64_t{0}, .tiles = {}};
    report.tiles.push_back({.physical_tile = 7, .samples = {}});
    report.tiles.push_back({.physical_tile = 7,
                            .samples = {sample(4294967291U, 5, "op", ""),
                                        sample(5, 5, std::string("a\0b", 3), "k",
                                               {{"n", "v"}, {"n", "v"}, {"", ""}})}});
    report.tiles.push_back({.physical_tile = 0, .samples = {}});
    report.tiles[1].samples[1].step.kind = ProfileStepKind::Idle;
    report.tiles[1].samples[1].step.phase = 4294967295U;
    report.tiles[1].samples[1].step.epoch = 3;
    report.tiles[1].samples[1].step.local_index = 9;
    const ProfileColumns columns = to_columns(report);
    EXPECT_EQ(columns.tile_count(), 3U);
    EXPECT_EQ(columns.sample_count(), 2U);
    EXPECT_EQ(to_report(columns), report);
}

TEST(ProfileColumns, InternsTextsAndSteps) {
    SyntheticOptions options;
    options.tiles = 8;
    options.steps_per_tile = 50;
    const ProfileReport report = synthetic_profile(options);
    const ProfileColumns columns = to_columns(report);
    EXPECT_EQ(to_report(columns), report);
    // Every tile runs the same schedule, so steps are shared across tiles.
    EXPECT_LE(columns.step_count(), 2U * options.steps_per_tile);
    for (std::uint32_t a = 0; a < columns.text_count(); ++a) {
        for (std::uint32_t b = a + 1; b < columns.text_count(); ++b) {
            ASSERT_NE(columns.text(a), columns.text(b));
        }
    }
    // Copies share the storage and stay valid after the original is gone.
    ProfileColumns copy;
    {
        const ProfileColumns original = to_columns(report);
        copy = original;
    }
    EXPECT_EQ(to_report(copy), report);
}

}  // namespace
}  // namespace vorn_package

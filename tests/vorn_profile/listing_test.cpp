// The sample listing: candidate order, its tie-breaks and the owned records.
#include <gtest/gtest.h>

#include "profile_builder.hpp"
#include "vorn_package/synthetic_profile.hpp"
#include "vorn_profile/analyses.hpp"

namespace vorn_profile {
namespace {

using vorn_test::step;

TEST(CompareCandidates, LongerThenLowerTileThenEarlier) {
    const auto less = std::strong_ordering::less;
    EXPECT_EQ(compare_candidates({9, 50, 30, nullptr}, {1, 0, 20, nullptr}), less);
    EXPECT_EQ(compare_candidates({2, 50, 20, nullptr}, {7, 0, 20, nullptr}), less);
    EXPECT_EQ(compare_candidates({2, 5, 20, nullptr}, {2, 6, 20, nullptr}), less);
    EXPECT_EQ(compare_candidates({2, 5, 0, nullptr}, {2, 5, 0, nullptr}),
              std::strong_ordering::equal);
    // Unsigned keys: the largest 32-bit duration is the longest.
    EXPECT_EQ(compare_candidates({0, 0, 4294967295U, nullptr}, {0, 0, 1, nullptr}), less);
}

TEST(SampleListing, OrderTiesAndRecords) {
    // Tile 7 is stored before tile 2; equal lengths list tile 2 first. The second tile 7 entry
    // repeats a sample exactly: equal on every key, so walk order decides.
    const std::vector<vorn_package::ProfileMetadata> metadata = {{"b", "1"}, {"b", "2"}};
    const auto report = vorn_test::profile({
        {7,
         {step(100, 110, "", 3, 2, vorn_package::ProfileStepKind::Idle, metadata, "first"),
          step(110, 140), step(140, 160)}},
        {2, {step(0, 10), step(10, 10)}},
        {7, {step(100, 110, "x", 0, 0, vorn_package::ProfileStepKind::Exchange, {}, "second")}},
    });
    Query q;
    q.sample_limit = 100;
    q.limit = 0;  // groups cut away still leave their samples listed
    const QueryReport all = query(report, q);
    ASSERT_EQ(all.samples.size(), 6U);
    const std::pair<std::uint32_t, std::uint32_t> order[] = {{7, 30}, {7, 20}, {2, 10},
                                                             {7, 10}, {7, 10}, {2, 0}};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(all.samples[i].physical_tile, order[i].first) << i;
        EXPECT_EQ(all.samples[i].duration, order[i].second) << i;
    }
    EXPECT_EQ(all.samples[3].operation, "first");
    EXPECT_EQ(all.samples[4].operation, "second");
    const SampleRecord& first = all.samples[3];
    EXPECT_EQ(first.kind, "idle");
    EXPECT_EQ(first.kernel, "");
    EXPECT_EQ(first.phase, 3U);
    EXPECT_EQ(first.epoch, 2U);
    EXPECT_EQ(first.offset, 0U);
    EXPECT_EQ(first.metadata, (std::vector<MetadataEntry>{{"b", "1"}, {"b", "2"}}));

    // Every shorter cut is a prefix of the full listing, ties included.
    for (std::uint64_t limit = 0; limit <= 7; ++limit) {
        q.sample_limit = limit;
        const QueryReport cut = query(report, q);
        const std::size_t expected = std::min<std::size_t>(limit, 6);
        ASSERT_EQ(cut.samples.size(), expected);
        EXPECT_TRUE(std::equal(cut.samples.begin(), cut.samples.end(), all.samples.begin()));
    }
}

TEST(SampleListing, TimeOrderAcrossACounterWrap) {
    const auto report = vorn_test::profile({{1, {step(4294967200U, 4294967210U), step(5, 15)}}});
    Query q;
    q.sample_limit = 2;
    const QueryReport result = query(report, q);
    ASSERT_EQ(result.samples.size(), 2U);
    EXPECT_EQ(result.samples[0].offset, 0U);
    EXPECT_EQ(result.samples[1].offset, 101U);
}

// The listing as references makes, record by record, the report's own listing; everything
// else in the report is the same, with and without a window.
TEST(SampleListing, ReferencesMakeTheReportsRecords) {
    const vorn_package::ProfileColumns columns = vorn_package::synthetic_columns(
        {.tiles = 5, .steps_per_tile = 60, .seed = 7, .clock_hz = 1000});
    const TimeWindow window{.from = 2000, .to = 30000};
    for (const std::uint64_t limit : {0, 1, 17, 1000}) {
        SCOPED_TRACE(limit);
        Query q;
        q.group_by = GroupBy::Phase;
        q.sample_limit = limit;
        const std::pair<ListedReport, QueryReport> cases[] = {
            {query_listed(columns, q), query(columns, q)},
            {query_window_listed(columns, q, window), query_window(columns, q, window).report},
        };
        for (const auto& [listed, whole] : cases) {
            EXPECT_TRUE(listed.report.samples.empty());
            QueryReport made = listed.report;
            for (const ListedSample& sample : listed.listed) {
                made.samples.push_back(sample_record(columns, sample));
            }
            EXPECT_EQ(made, whole);
            EXPECT_EQ(listed.listed.size(), std::min(limit, whole.matched_sample_count));
        }
    }
}

}  // namespace
}  // namespace vorn_profile

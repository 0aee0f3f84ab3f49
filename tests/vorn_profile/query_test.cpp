// The query pipeline end to end, and a differential check against a plain model of the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "profile_builder.hpp"
#include "query_model.hpp"
#include "vorn_profile/analyses.hpp"

namespace vorn_profile {
namespace {

using vorn_test::step;

TEST(Query, EmptyProfilesAndTiles) {
    Query q;
    q.at_offset = 5;
    const QueryReport none = query(vorn_test::profile({}, 7), q);
    EXPECT_EQ(none.clock_hz, 7U);
    EXPECT_EQ(none.at_offset, std::optional<std::uint64_t>(5));
    EXPECT_EQ(none.tile_count, 0U);
    EXPECT_EQ(none.sample_count, 0U);
    EXPECT_EQ(none.profile_span_cycles, 0U);
    EXPECT_TRUE(none.groups.empty());

    const QueryReport empty_tile = query(vorn_test::profile({{3, {}}}), Query{});
    EXPECT_EQ(empty_tile.tile_count, 1U);
    EXPECT_EQ(empty_tile.sample_count, 0U);
    EXPECT_EQ(empty_tile.profile_span_cycles, 0U);
}

TEST(Query, CounterWrapAndSpan) {
    // Base 2^32-5: the first step wraps during its run, the second starts after the wrap.
    const auto report =
        vorn_test::profile({{9, {step(4294967291U, 5, ""), step(5, 15, "add")}}}, 1'500'000'000);
    Query q;
    q.sample_limit = 10;
    const QueryReport result = query(report, q);
    EXPECT_EQ(result.profile_span_cycles, 20U);
    EXPECT_EQ(result.profile_span_ms, (20.0 * 1000.0) / 1.5e9);
    ASSERT_EQ(result.groups.size(), 2U);
    // Equal phase cycles: the earlier first offset wins.
    EXPECT_EQ(result.groups[0].name, "(no kernel)");
    EXPECT_EQ(result.groups[1].name, "add");
    EXPECT_EQ(result.groups[1].first_offset, 10U);
    EXPECT_EQ(result.groups[1].last_offset, 20U);
    ASSERT_EQ(result.samples.size(), 2U);
    EXPECT_EQ(result.samples[0].offset, 0U);  // equal lengths, same tile: by offset

    for (const auto& [at, matched] :
         std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 1}, {10, 1}, {12, 1}, {20, 0}}) {
        Query point;
        point.at_offset = at;
        const QueryReport r = query(report, point);
        EXPECT_EQ(r.matched_sample_count, matched) << at;
        EXPECT_EQ(r.profile_span_cycles, 20U) << "filters never change the span";
        EXPECT_EQ(r.sample_count, 2U);
    }
}

TEST(Query, SampleBeforeTheBaseAndInvertedReadings) {
    // Start 90 after base 100 lies near 2^32 on the tile's line; end 5 after start 10 is a
    // length of 2^32 - 5.
    const auto report = vorn_test::profile({{1, {step(100, 110), step(90, 95), step(10, 5)}}});
    Query q;
    q.sample_limit = 3;
    const QueryReport result = query(report, q);
    EXPECT_EQ(result.profile_span_cycles, 4294967206ULL + 4294967291ULL);
    ASSERT_EQ(result.samples.size(), 3U);
    EXPECT_EQ(result.samples[0].duration, 4294967291U);
    EXPECT_EQ(result.samples[0].offset, 4294967206ULL);
    EXPECT_EQ(result.groups[0].last_offset, 4294967206ULL + 4294967291ULL);
}

TEST(Query, GroupDetailsAndLimits) {
    // Walk order (30, 5) then (10, 2); the group is met first on tile 4, later on tile 1.
    const auto report = vorn_test::profile(
        {{4, {step(0, 0), step(30, 35, "g")}}, {1, {step(0, 0, "x"), step(10, 12, "g")}}});
    Query q;
    q.kernel = "g";
    q.group_by = GroupBy::Metadata;
    const QueryReport result = query(report, q);
    ASSERT_EQ(result.groups.size(), 1U);
    const GroupSummary& g = result.groups[0];
    EXPECT_EQ(g.name, "(missing)");
    EXPECT_EQ(g.first_offset, 10U);
    EXPECT_EQ(g.last_offset, 35U);
    EXPECT_EQ(g.tile_count, 2U);
    EXPECT_EQ(g.phase_cycles, 7U);  // [30, 35) and [10, 12) on different tiles, one occurrence

    Query limited;
    limited.limit = 0;
    const QueryReport cut = query(report, limited);
    EXPECT_TRUE(cut.groups.empty());
    EXPECT_EQ(cut.matched_sample_count, 4U);
    limited.limit = 99;
    EXPECT_EQ(query(report, limited).groups.size(), 3U);
}

TEST(Query, PhaseCoverageIsPerOccurrenceAndOrderFree) {
    // The same two intervals in one occurrence, then in two occurrences of the same phase.
    const auto same =
        vorn_test::profile({{1, {step(0, 100, "k", 2, 0)}}, {2, {step(0, 100, "k", 2, 0)}}});
    const auto apart =
        vorn_test::profile({{1, {step(0, 100, "k", 2, 0)}}, {2, {step(0, 100, "k", 2, 1)}}});
    const GroupSummary s = query(same, Query{}).groups.at(0);
    const GroupSummary a = query(apart, Query{}).groups.at(0);
    EXPECT_EQ(s.phase_cycles, 100U);
    EXPECT_EQ(s.average_active_tiles, 2.0);
    EXPECT_EQ(a.phase_cycles, 200U);
    EXPECT_EQ(a.phase_count, 2U);
    EXPECT_EQ(a.average_active_tiles, 1.0);
}

// Phase sets over steps whose phases lie on either side of the edges a set has inside (words of
// 32 and 64 bits, 2^20, the largest number): every set of one or two phases, some of them
// phases no step has, over records and over columns.
TEST(Query, PhaseSetsAcrossTheirEdges) {
    std::vector<std::uint32_t> present = {0, 1, 2};
    present.insert(present.end(), std::begin(model::kEdgePhases), std::end(model::kEdgePhases));
    // One step per phase, step i of i + 1 cycles, so that the work cycles tell which matched.
    vorn_package::TileProfile tile{5, {}};
    std::uint32_t clock = 0;
    for (std::size_t i = 0; i < present.size(); ++i) {
        tile.samples.push_back(step(clock, clock + std::uint32_t(i) + 1, "k", present[i]));
        clock = tile.samples.back().end_cycle;
    }
    const auto report = vorn_test::profile({tile});
    const auto columns = vorn_package::to_columns(report);
    std::vector<std::uint32_t> candidates = present;
    for (const std::uint32_t absent : {34U, 96U, 1048578U, 4294967294U}) {
        candidates.push_back(absent);
    }
    const auto expect_matches = [&](const std::set<std::uint32_t>& phases) {
        std::uint64_t matched = 0;
        std::uint64_t work = 0;
        for (std::size_t i = 0; i < present.size(); ++i) {
            if (phases.contains(present[i])) {
                matched += 1;
                work += i + 1;
            }
        }
        Query q;
        q.phases = phases;
        for (const QueryReport& got : {query(report, q), query(columns, q)}) {
            EXPECT_EQ(got.matched_sample_count, matched);
            EXPECT_EQ(got.groups.empty() ? 0 : got.groups[0].work_cycles, work);
        }
    };
    for (std::size_t a = 0; a < candidates.size(); ++a) {
        for (std::size_t b = a; b < candidates.size(); ++b) {
            SCOPED_TRACE(std::to_string(candidates[a]) + ", " + std::to_string(candidates[b]));
            expect_matches({candidates[a], candidates[b]});
        }
    }
}

// ---- Differential check -------------------------------------------------------------------
// The engine against the plain model of query_model.hpp.

using namespace model;

// Both entry points, records and columns, against the model.
// Past 256 Ki matched samples the durations kept are counted into (value, count) pairs. Here
// the sample that brings the count about is the longest of its group so far: it must be
// counted at its own length, on records and on columns alike.
TEST(Query, CountsTheSampleThatStartsACountAtItsLength) {
    constexpr std::uint32_t kSamples = 300'000;
    constexpr std::uint32_t kLongAt = (1U << 18) - 1;  // the 256 Ki-th sample
    vorn_test::TileProfile tile{0, {}};
    tile.samples.reserve(kSamples);
    for (std::uint32_t i = 0; i < kSamples; ++i) {
        const std::uint32_t start = i * 2000;
        tile.samples.push_back(vorn_test::step(start, start + (i == kLongAt ? 1000 : 1)));
    }
    const vorn_package::ProfileReport report = vorn_test::profile({tile});
    for (const QueryReport& result :
         {query(report, Query{}), query(vorn_package::to_columns(report), Query{})}) {
        ASSERT_EQ(result.groups.size(), 1U);
        const GroupSummary& group = result.groups[0];
        EXPECT_EQ(group.sample_count, kSamples);
        EXPECT_EQ(group.work_cycles, kSamples - 1 + 1000);
        EXPECT_EQ(group.maximum_cycles, 1000U);
        EXPECT_EQ(group.minimum_cycles, 1U);
        EXPECT_EQ(group.p95_cycles, 1U);
    }
}

TEST(QueryDifferential, AgreesWithThePlainModel) {
    std::mt19937_64 random(2026);
    for (int round = 0; round < 4000; ++round) {
        const vorn_package::ProfileReport report = random_profile(random);
        const Query q = random_query(random);
        SCOPED_TRACE("round " + std::to_string(round));
        const QueryReport want = model_query(report, q);
        expect_same(query(report, q), want);
        expect_same(query(vorn_package::to_columns(report), q), want);
        if (HasFailure())
            return;
    }
}

// Time windows: the model clips each step by its own rule, apart from the library's.
TEST(QueryDifferential, WindowsAgreeWithThePlainModel) {
    std::mt19937_64 random(2027);
    for (int round = 0; round < 2500; ++round) {
        const vorn_package::ProfileReport report = random_profile(random);
        const Query q = random_query(random);
        const TimeWindow w = random_window(random, report);
        SCOPED_TRACE("round " + std::to_string(round) + ", window " + std::to_string(w.from) + " " +
                     std::to_string(w.to));
        const QueryReport want = model_query(report, q, w);
        for (const WindowReport& got :
             {query_window(report, q, w), query_window(vorn_package::to_columns(report), q, w)}) {
            EXPECT_EQ(got.from, w.from);
            EXPECT_EQ(got.to, w.to);
            expect_same(got.report, want);
        }
        if (HasFailure())
            return;
    }
}

TEST(QueryDifferential, PhaseCoverageIgnoresTheOrderOfIntervals) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 300; ++round) {
        // One tile per sample, all starting at offset 0: the order of the tiles is the order
        // in which a phase's intervals reach the engine.
        vorn_package::ProfileReport report;
        const int samples = 1 + random() % 10;
        for (int s = 0; s < samples; ++s) {
            report.tiles.push_back({std::uint32_t(s), {step(0, random() % 50, "k", random() % 2)}});
            report.tiles.back().samples.insert(report.tiles.back().samples.begin(),
                                               step(0, 0, "pad"));
        }
        const QueryReport before = query(report, Query{});
        std::shuffle(report.tiles.begin(), report.tiles.end(), random);
        const QueryReport after = query(report, Query{});
        ASSERT_EQ(before.groups.size(), after.groups.size());
        for (std::size_t i = 0; i < before.groups.size(); ++i) {
            EXPECT_EQ(before.groups[i].phase_cycles, after.groups[i].phase_cycles);
        }
    }
}

}  // namespace
}  // namespace vorn_profile

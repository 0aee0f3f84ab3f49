// The analyses (time windows, differences, supersteps) against plain models of their rules, on
// hand-made cases and on many random profiles and windows, through both entry points.
#include "vorn_profile/analyses.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "analyses_model.hpp"
#include "profile_builder.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_profile {
namespace {

using namespace analyses_model;
// ---- Tests -----------------------------------------------------------------------------------

TEST(QueryWindow, ClipsEachStepToTheWindow) {
    // Tile 1: [0, 10) [10, 30) [30, 30) [30, 40); tile 2: [0, 25).
    const ProfileReport report = vorn_test::profile(
        {{1, {step(100, 110, "a"), step(110, 130, "b"), step(130, 130, "z"), step(130, 140, "a")}},
         {2, {step(7, 32, "b")}}});
    struct Case {
        TimeWindow window;
        std::uint64_t matched;
        std::map<std::string, std::uint64_t> work;  // by kernel
    };
    const Case cases[] = {
        {{0, UINT64_MAX}, 5, {{"a", 20}, {"b", 45}, {"z", 0}}},
        {{15, 25}, 2, {{"b", 20}}},           // cuts both b steps
        {{10, 30}, 2, {{"b", 35}}},           // touches a at either end: not in
        {{30, 31}, 2, {{"a", 1}, {"z", 0}}},  // the zero-length step at its start
        {{29, 30}, 1, {{"b", 1}}},            // ... but not at its end
        {{30, 30}, 0, {}},                    // empty
        {{35, 20}, 0, {}},                    // backwards
        {{39, UINT64_MAX}, 1, {{"a", 1}}},    // to 2^64-1
        {{0, 1}, 2, {{"a", 1}, {"b", 1}}},    // from 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.window.from) + ".." + std::to_string(c.window.to));
        const WindowReport got = query_window(report, Query{}, c.window);
        EXPECT_EQ(got.from, c.window.from);
        EXPECT_EQ(got.to, c.window.to);
        EXPECT_EQ(got.report.matched_sample_count, c.matched);
        EXPECT_EQ(got.report.sample_count, 5U);
        EXPECT_EQ(got.report.profile_span_cycles, 40U) << "totals are the whole profile's";
        std::map<std::string, std::uint64_t> work;
        for (const GroupSummary& g : got.report.groups) {
            work[g.name] = g.work_cycles;
        }
        EXPECT_EQ(work, c.work);
    }
    // The filter sees the whole step: at cycle 12 the step [10, 30) runs, clipped to [20, 30).
    Query at;
    at.at_offset = 12;
    at.sample_limit = 5;
    const WindowReport clipped = query_window(report, at, {20, 100});
    ASSERT_EQ(clipped.report.samples.size(), 2U);
    EXPECT_EQ(clipped.report.samples[0].offset, 20U);
    EXPECT_EQ(clipped.report.samples[0].duration, 10U);
    EXPECT_EQ(clipped.report.samples[1].physical_tile, 2U);  // [20, 25): shorter, listed second
}

TEST(AnalysesDifferential, WindowQueryAgreesWithTheModel) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 3000; ++round) {
        const ProfileReport report = random_profile(random, 0);
        const Query q = random_query(random);
        const TimeWindow w = random_window(random, report);
        SCOPED_TRACE("round " + std::to_string(round));
        const WindowReport want = model_window(report, q, w);
        SCOPED_TRACE("window " + std::to_string(w.from) + " " + std::to_string(w.to));
        EXPECT_EQ(query_window(report, q, w), want);
        EXPECT_EQ(query_window(vorn_package::to_columns(report), q, w), want);
        if (w == TimeWindow{}) {
            EXPECT_EQ(want.report, query(report, q)) << "the whole line changes nothing";
        }
        if (HasFailure())
            return;
    }
}

TEST(AnalysesDifferential, DiffAgreesWithTheModel) {
    std::mt19937_64 random(8);
    for (int round = 0; round < 1500; ++round) {
        // Different kernel sets, so that some groups are in one profile only.
        const ProfileReport base = random_profile(random, 0);
        const ProfileReport next = random_profile(random, 2);
        Query q = random_query(random);
        const TimeWindow w = random_window(random, base);
        SCOPED_TRACE("round " + std::to_string(round));
        Query all = q;
        all.limit.reset();
        all.sample_limit = 0;
        const DiffReport want = model_diff(model_window(base, all, w).report,
                                           model_window(next, all, w).report, q.sort_by, q.limit);
        expect_same(diff(query(base, all), query(next, all), q.sort_by, q.limit),
                    model_diff(query(base, all), query(next, all), q.sort_by, q.limit));
        expect_same(diff(base, next, q, w), want);
        expect_same(diff(vorn_package::to_columns(base), vorn_package::to_columns(next), q, w),
                    want);
        if (HasFailure())
            return;
    }
}

/// One step per kernel and tile, one after the other: `kernels` kernels named in an order other
/// than their names' ("k7" before "k10"), each here and there missing, of 0 to 2 cycles. Two
/// such profiles differ by a few cycles in many groups alike.
ProfileReport equal_changes_profile(std::mt19937_64& random, int kernels) {
    ProfileReport report = vorn_test::profile({});
    for (std::uint32_t t = 0; t < 3; ++t) {
        vorn_package::TileProfile& tile = report.tiles.emplace_back();
        tile.physical_tile = t;
        std::uint32_t clock = 0;
        for (int k = kernels - 1; k >= 0; --k) {
            if (random() % 8 == 0) {
                continue;
            }
            tile.samples.push_back(step(clock, clock + random() % 3, "k" + std::to_string(k)));
            clock = tile.samples.back().end_cycle;
        }
    }
    return report;
}

// Dozens of rows share the size of their change (an unstable sort of more than 16 rows would
// shuffle them): every ordering keeps the name order among equals, also when cut by a limit.
TEST(AnalysesDifferential, DiffKeepsTheNameOrderAmongManyEqualChanges) {
    std::mt19937_64 random(12);
    for (int round = 0; round < 25; ++round) {
        const int kernels = 17 + static_cast<int>(random() % 60);
        const ProfileReport base = equal_changes_profile(random, kernels);
        const ProfileReport next = equal_changes_profile(random, kernels);
        const auto base_columns = vorn_package::to_columns(base);
        const auto next_columns = vorn_package::to_columns(next);
        for (const SortBy sort_by : {SortBy::PhaseCycles, SortBy::WorkCycles, SortBy::MaximumCycles,
                                     SortBy::Samples, SortBy::Name}) {
            SCOPED_TRACE("round " + std::to_string(round) + ", sort " +
                         std::to_string(static_cast<int>(sort_by)));
            Query q;
            q.sort_by = sort_by;
            q.limit = random() % 2 == 0 ? std::nullopt : std::optional<std::uint64_t>(20);
            Query all = q;
            all.limit.reset();
            const DiffReport want =
                model_diff(query(base, all), query(next, all), sort_by, q.limit);
            expect_same(diff(base, next, q), want);
            expect_same(diff(base_columns, next_columns, q), want);
            if (HasFailure())
                return;
        }
    }
}

TEST(AnalysesDifferential, SuperstepsAgreeWithTheModel) {
    std::mt19937_64 random(9);
    for (int round = 0; round < 3000; ++round) {
        const ProfileReport report = random_profile(random, 0);
        const Query q = random_query(random);
        const TimeWindow w = random_window(random, report);
        SCOPED_TRACE("round " + std::to_string(round));
        const SuperstepReport want = model_supersteps(report, q, w);
        expect_same(supersteps(report, q, w), want);
        expect_same(supersteps(vorn_package::to_columns(report), q, w), want);
        if (HasFailure())
            return;
    }
}

TEST(Supersteps, RepeatedTilesTiesAndSynchronization) {
    // Physical tile 5 appears twice; together it is as busy as tile 2, and the lower tile wins
    // the tie. Tile 9 only synchronizes: it counts in the occurrence with 0 busy cycles.
    const auto sync = ProfileStepKind::Synchronization;
    const ProfileReport report =
        vorn_test::profile({{5, {step(0, 30, "k"), step(30, 40, "", 0, 0, sync)}},
                            {2, {step(0, 50, "k"), step(50, 60, "", 1)}},
                            {5,
                             {step(0, 20, "k", 0, 0, ProfileStepKind::Exchange),
                              step(20, 25, "", 0, 0, ProfileStepKind::Idle)}},
                            {9, {step(0, 70, "", 0, 0, sync)}}},
                           1000);
    const SuperstepReport got = supersteps(report, Query{});
    ASSERT_EQ(got.occurrences.size(), 2U);
    const SuperstepRow& first = got.occurrences[0];
    EXPECT_EQ(first.phase, 0U);
    EXPECT_EQ(first.tiles, 3U);
    EXPECT_EQ(first.busy_cycles, 100U);
    EXPECT_EQ(first.max_busy, 50U);
    EXPECT_EQ(first.min_busy, 0U);
    EXPECT_EQ(first.straggler, 2U);
    EXPECT_EQ(first.lost_cycles, 50U);
    EXPECT_EQ(first.sync_cycles, 80U);
    EXPECT_EQ(first.span_cycles, 70U);
    EXPECT_EQ(first.imbalance, 50.0 / (100.0 / 3.0));
    EXPECT_EQ(first.lost_ms, 50.0);
    ASSERT_EQ(got.tiles.size(), 3U);
    EXPECT_EQ(got.tiles[0].physical_tile, 2U);
    EXPECT_EQ(got.tiles[0].straggler_count, 2U);  // the lone tile of phase 1 too
    EXPECT_EQ(got.tiles[1].physical_tile, 5U);
    EXPECT_EQ(got.tiles[1].busy_cycles, 50U);
}

// A kernel made slower on a few tiles by the generator is what both analyses point at.
TEST(Analyses, FindTheGeneratorsSlowedKernel) {
    vorn_package::SyntheticOptions options{.tiles = 24, .steps_per_tile = 300, .seed = 5};
    const ProfileReport base = vorn_package::synthetic_profile(options);
    options.slow_kernel = "layernorm";
    options.slow_factor = 1.0;
    EXPECT_EQ(vorn_package::synthetic_profile(options), base) << "a factor of 1 changes nothing";

    options.slow_factor = 2.5;
    const ProfileReport everywhere = vorn_package::synthetic_profile(options);
    Query by_work;
    by_work.sort_by = SortBy::WorkCycles;
    for (const Query& q : {Query{}, by_work}) {
        const DiffReport d = diff(base, everywhere, q);
        ASSERT_FALSE(d.rows.empty());
        EXPECT_EQ(d.rows[0].name, "layernorm");
        // Each step takes 2.5 times as long, give or take the jitter and the truncation; the
        // phase cycles grow a little less, as the tiles do not start the kernel in step.
        EXPECT_NEAR(d.rows[0].next.mean_cycles / d.rows[0].base.mean_cycles, 2.5, 0.01);
        ASSERT_TRUE(d.rows[0].phase_cycles_ratio);
        EXPECT_GT(*d.rows[0].phase_cycles_ratio, 2.0);
        EXPECT_LE(*d.rows[0].phase_cycles_ratio, 2.5);
        EXPECT_EQ(d.rows[0].delta.sample_count, 0);
    }

    options.slow_kernel = "gemm";
    options.slow_factor = 1.5;
    options.slow_tiles = {3, 17};
    const SuperstepReport steps =
        supersteps(vorn_package::to_columns(vorn_package::synthetic_profile(options)), Query{});
    // The slower of the two slowed tiles is the straggler of every phase the kernel runs in; the
    // two are the busiest tiles.
    ASSERT_GE(steps.tiles.size(), 3U);
    EXPECT_TRUE(options.slow_tiles.contains(steps.tiles[0].physical_tile));
    EXPECT_GT(steps.tiles[0].lost_cycles_caused, 10 * steps.tiles[1].lost_cycles_caused);
    std::vector<StragglerTile> by_busy = steps.tiles;
    std::sort(by_busy.begin(), by_busy.end(),
              [](const auto& l, const auto& r) { return l.busy_cycles > r.busy_cycles; });
    EXPECT_EQ(std::set<std::uint32_t>({by_busy[0].physical_tile, by_busy[1].physical_tile}),
              options.slow_tiles);
}

}  // namespace
}  // namespace vorn_profile

// Partial reports and the query on several threads, against the plain model of the query rules:
// one thread, several threads, and random cuts of the tiles into ranges whose partials are
// merged in random trees all give the model's report.
#include "vorn_profile/partial.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "profile_builder.hpp"
#include "query_model.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_profile {
namespace {

using namespace model;
using vorn_test::step;

/// Merges `parts[first, last)` (at least one) in a random tree that keeps their order.
QueryPartial merge_randomly(std::vector<QueryPartial>& parts, std::size_t first, std::size_t last,
                            std::mt19937_64& random) {
    if (last - first == 1) {
        return std::move(parts[first]);
    }
    const std::size_t cut = first + 1 + random() % (last - first - 1);
    QueryPartial left = merge_randomly(parts, first, cut, random);
    return merge(std::move(left), merge_randomly(parts, cut, last, random));
}

/// The report of `q` from the partials of a random cut of the tiles (empty ranges included),
/// merged in a random tree.
QueryReport split_query(const vorn_package::ProfileColumns& columns, const Query& q,
                        std::mt19937_64& random, const TimeWindow& window = {}) {
    const std::uint64_t tiles = columns.tile_count();
    std::vector<std::uint64_t> cuts(random() % 5);
    for (std::uint64_t& cut : cuts) {
        cut = random() % (tiles + 1);
    }
    std::sort(cuts.begin(), cuts.end());
    std::vector<QueryPartial> parts;
    std::uint64_t first = 0;
    for (const std::uint64_t cut : cuts) {
        parts.push_back(partial(columns, q, {first, cut}, window));
        first = cut;
    }
    // The last range runs to the end of the profile however it is given.
    parts.push_back(partial(columns, q, {first, random() % 2 ? tiles : UINT64_MAX}, window));
    return finish(merge_randomly(parts, 0, parts.size(), random));
}

/// A profile of a few tiles with many samples each: groups with hundreds of durations over the
/// whole 32-bit range, occurrences covering many separate runs, physical tiles repeated.
vorn_package::ProfileReport wide_profile(std::mt19937_64& random) {
    const char* kernels[] = {"", "gemm", "add"};
    vorn_package::ProfileReport report;
    report.clock_hz = 1 + random() % 2'000'000'000;
    const int tiles = 2 + random() % 6;
    for (int t = 0; t < tiles; ++t) {
        vorn_package::TileProfile tile;
        tile.physical_tile = random() % 5;
        std::uint32_t clock = random();
        const int samples = random() % 700;
        for (int s = 0; s < samples; ++s) {
            const std::uint32_t length =
                random() % 8 == 0 ? static_cast<std::uint32_t>(random()) : random() % 3000;
            tile.samples.push_back(step(clock, clock + length, kernels[random() % 3], random() % 3,
                                        random() % 2, vorn_package::ProfileStepKind(random() % 4)));
            clock += random() % 4 == 0 ? length : length + 1 + random() % 50;
        }
        report.tiles.push_back(std::move(tile));
    }
    return report;
}

void expect_every_way_agrees(const vorn_package::ProfileReport& report, const Query& q,
                             std::mt19937_64& random) {
    const QueryReport want = model_query(report, q);
    const vorn_package::ProfileColumns columns = vorn_package::to_columns(report);
    for (const std::size_t threads : {0, 1, 2, 3, 8}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        expect_same(query(columns, q, threads), want);
        // The listing as references makes the same records.
        ListedReport listed = query_listed(columns, q, threads);
        for (const ListedSample& sample : listed.listed) {
            listed.report.samples.push_back(sample_record(columns, sample));
        }
        expect_same(listed.report, want);
    }
    for (int split = 0; split < 3; ++split) {
        SCOPED_TRACE("split " + std::to_string(split));
        expect_same(split_query(columns, q, random), want);
    }
}

TEST(PartialDifferential, ThreadsAndMergesAgreeWithThePlainModel) {
    std::mt19937_64 random(18);
    for (int round = 0; round < 2000; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        expect_every_way_agrees(random_profile(random), random_query(random), random);
        if (HasFailure()) {
            return;
        }
    }
}

TEST(PartialDifferential, ManyDurationsAndRunsAgreeWithThePlainModel) {
    std::mt19937_64 random(1472);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Query q = random_query(random);
        q.at_offset.reset();  // keep most samples matched
        expect_every_way_agrees(wide_profile(random), q, random);
        if (HasFailure()) {
            return;
        }
    }
}

TEST(PartialDifferential, WindowsOnThreadsAndMergesAgreeWithOneThread) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 1000; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const vorn_package::ProfileColumns columns = vorn_package::to_columns(
            round % 10 == 0 ? wide_profile(random) : random_profile(random));
        const Query q = random_query(random);
        const std::uint64_t from = random() % 300;
        const TimeWindow window{from, random() % 8 == 0 ? UINT64_MAX : from + random() % 300};
        const WindowReport want = query_window(columns, q, window);
        expect_same(query_window(columns, q, window, 1 + random() % 4).report, want.report);
        expect_same(split_query(columns, q, random, window), want.report);
        if (HasFailure()) {
            return;
        }
    }
}

// Past 256 Ki matched samples a walk counts the durations it kept as (value, count) pairs, and
// goes on counting while that compresses them: its report equals the one merged from ranges
// too short to count before their end, and the one from two threads.
TEST(PartialDifferential, CountedDurationsAgreeWithMergedRanges) {
    vorn_package::SyntheticOptions options;
    options.tiles = 64;
    options.steps_per_tile = 9'000;
    options.slow_kernel = "gemm";
    options.slow_factor = 1.37;
    const vorn_package::ProfileColumns columns = vorn_package::synthetic_columns(options);
    std::mt19937_64 random(41);
    const std::uint64_t eighth = columns.tile_count() / 8;
    Query by_kernel;
    by_kernel.percentiles = {99'000, 99'900, 1};
    Query by_phase;  // durations that hardly repeat within a group: counted once at the end
    by_phase.group_by = GroupBy::Phase;
    by_phase.limit = 30;
    Query by_tile_and_kind;
    by_tile_and_kind.group_by = GroupBy::Tile;
    by_tile_and_kind.then_group_by = {GroupBy::Kind};
    by_tile_and_kind.percentiles = {50'500};
    for (const Query& q : {by_kernel, by_phase, by_tile_and_kind}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(q.group_by)));
        std::vector<QueryPartial> parts;
        for (std::uint64_t first = 0; first < columns.tile_count(); first += eighth) {
            parts.push_back(partial(columns, q, {first, first + eighth}));
        }
        const QueryReport want = query(columns, q, 1);
        expect_same(want, finish(merge_randomly(parts, 0, parts.size(), random)));
        // Two ranges, and the groups' figures found on two threads.
        expect_same(want, query(columns, q, 2));
    }
}

// Grouped by tile, alone or with other keys, over tiles no two records share, a record's groups
// are finished when the walk leaves it, and their coverage is summed up then. Records here meet
// more phase occurrences than one block of slots holds, some twice; one record shares its tile,
// so no group closes there.
TEST(PartialDifferential, TileGroupsClosedRecordByRecordAgreeWithThePlainModel) {
    std::mt19937_64 random(20'000);
    for (const bool shared : {false, true}) {
        SCOPED_TRACE(shared ? "a tile shared" : "tiles unique");
        vorn_package::ProfileReport report = vorn_test::profile({});
        report.tiles.resize(3);
        for (std::size_t t = 0; t < report.tiles.size(); ++t) {
            report.tiles[t].physical_tile = shared && t == 2 ? 0 : static_cast<std::uint32_t>(t);
            std::uint32_t clock = static_cast<std::uint32_t>(random());
            for (std::uint32_t i = 0; i < 16'500; ++i) {
                const std::uint32_t length = random() % 4 == 0 ? 0 : 1 + random() % 40;
                const std::uint32_t phase = random() % 16 == 0 ? i / 2 : i;
                report.tiles[t].samples.push_back(
                    step(clock, clock + length, random() % 3 == 0 ? "gemm" : "k", phase, t % 2,
                         vorn_package::ProfileStepKind(i % 4)));
                clock += length + random() % 3;
            }
        }
        Query by_tile;
        by_tile.group_by = GroupBy::Tile;
        if (shared) {
            by_tile.limit = 1;
        }
        Query by_kernel_and_tile;
        by_kernel_and_tile.group_by = GroupBy::Kernel;
        by_kernel_and_tile.then_group_by = {GroupBy::Tile};
        Query by_tile_and_kind;
        by_tile_and_kind.group_by = GroupBy::Tile;
        by_tile_and_kind.then_group_by = {GroupBy::Kind};
        by_tile_and_kind.limit = 5;
        expect_every_way_agrees(report, by_tile, random);
        if (!shared) {
            expect_every_way_agrees(report, by_kernel_and_tile, random);
            expect_every_way_agrees(report, by_tile_and_kind, random);
        }
    }
}

// Tiles longer than twelve rounds of the walk (1024 samples a tile each), on physical tiles out of
// order and apart: a group comes back to a tile after every other, misses whole tiles and whole
// rounds, and its occurrences cover several runs. The walk in rounds must count each tile once and
// every duration and run as the walk tile by tile does.
TEST(PartialDifferential, WalksInRoundsAgreeWithThePlainModel) {
    std::mt19937_64 random(4096);
    const char* kernels[] = {"", "gemm", "add", "gelu"};
    vorn_package::ProfileReport report = vorn_test::profile({});
    for (const std::uint32_t physical : {7U, 3U, 100U, 4U, 5U}) {
        vorn_package::TileProfile& tile = report.tiles.emplace_back();
        tile.physical_tile = physical;
        std::uint32_t clock = static_cast<std::uint32_t>(random());
        for (std::uint32_t i = 0; i < 13'000; ++i) {
            const std::uint32_t length = random() % 8 == 0 ? 0 : 1 + random() % 60;
            // "gelu" on tiles 7 and 4 only, and only in the second round.
            const char* kernel = kernels[random() % 3];
            if ((physical == 7 || physical == 4) && i / 1024 == 1 && random() % 5 == 0) {
                kernel = kernels[3];
            }
            tile.samples.push_back(step(clock, clock + length, kernel, (i / 50) % 14, i / 700,
                                        vorn_package::ProfileStepKind(random() % 4)));
            clock += length + random() % 4;
        }
    }
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Query q = random_query(random);
        q.sample_limit = 0;  // a listing keeps the walk tile by tile
        q.at_offset.reset();
        expect_every_way_agrees(report, q, random);
        if (HasFailure()) {
            return;
        }
    }
}

// Candidates equal on every key of the listing (two records of one physical tile) keep walk
// order however the tiles are cut.
TEST(Partial, ListingTiesKeepWalkOrderAcrossRanges) {
    const auto columns = vorn_package::to_columns(
        vorn_test::profile({{3, {step(0, 10, "first")}}, {3, {step(0, 10, "second")}}}));
    Query q;
    q.sample_limit = 1;
    const QueryReport split =
        finish(merge(partial(columns, q, {0, 1}), partial(columns, q, {1, 2})));
    ASSERT_EQ(split.samples.size(), 1U);
    EXPECT_EQ(split.samples[0].kernel, "first");
    EXPECT_EQ(query(columns, q, 2).samples.at(0).kernel, "first");
}

// A group met in the same phase occurrence on both sides of a cut covers the union of its
// runs, and a tile met on both sides counts once.
TEST(Partial, CoverageAndTilesJoinAcrossRanges) {
    const auto columns = vorn_package::to_columns(vorn_test::profile(
        {{1, {step(0, 100)}}, {1, {step(0, 50), step(50, 150)}}, {2, {step(200, 300)}}}));
    const QueryReport report =
        finish(merge(merge(partial(columns, Query{}, {0, 1}), partial(columns, Query{}, {1, 2})),
                     partial(columns, Query{}, {2, 3})));
    ASSERT_EQ(report.groups.size(), 1U);
    EXPECT_EQ(report.groups[0].phase_cycles, 150U);  // [0, 150) once, however often covered
    EXPECT_EQ(report.groups[0].tile_count, 2U);
    EXPECT_EQ(report.groups[0].phase_count, 1U);
    EXPECT_EQ(report.tile_count, 3U);
}

// Out-of-order ranges clamp to the profile: a range past its end or inverted holds no tile.
TEST(Partial, RangesPastTheProfileHoldNoTile) {
    const auto columns = vorn_package::to_columns(vorn_test::profile({{1, {step(0, 10)}}}));
    const QueryReport none = finish(partial(columns, Query{}, {5, 9}));
    EXPECT_EQ(none.tile_count, 0U);
    EXPECT_EQ(none.sample_count, 0U);
    EXPECT_TRUE(none.groups.empty());
    EXPECT_EQ(finish(partial(columns, Query{}, {1, 0})).tile_count, 0U);
}

// Supersteps and diff on several threads: the ranges' per-occurrence state merged in tile order
// gives the one-thread report, physical tiles held in several tile records included.
TEST(PartialDifferential, SuperstepsAndDiffOnThreadsAgreeWithOneThread) {
    std::mt19937_64 random(2024);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        vorn_package::ProfileReport report =
            round % 5 == 0 ? wide_profile(random) : random_profile(random);
        if (round % 2 == 1) {
            // Every tile in one record: the ranges fold their tiles' busy cycles themselves.
            for (std::size_t t = 0; t < report.tiles.size(); ++t) {
                report.tiles[t].physical_tile = static_cast<std::uint32_t>(report.tiles.size() - t);
            }
        }
        const vorn_package::ProfileColumns columns = vorn_package::to_columns(report);
        const vorn_package::ProfileColumns other = vorn_package::to_columns(random_profile(random));
        const Query q = random_query(random);
        const std::uint64_t from = random() % 300;
        const TimeWindow window =
            random() % 3 == 0
                ? TimeWindow{}
                : TimeWindow{from, random() % 8 == 0 ? UINT64_MAX : from + random() % 300};
        const SuperstepReport steps = supersteps(columns, q, window);
        const DiffReport compared = diff(columns, other, q, window);
        for (const std::size_t threads : {0, 2, 3, 8}) {
            SCOPED_TRACE(std::to_string(threads) + " threads");
            EXPECT_EQ(supersteps(columns, q, window, threads), steps);
            EXPECT_EQ(diff(columns, other, q, window, threads), compared);
        }
        if (HasFailure()) {
            return;
        }
    }
}

// A physical tile whose records lie in different ranges is one tile of each occurrence: its
// busy cycles add up before the straggler is chosen.
TEST(Partial, SuperstepsJoinATileAcrossRanges) {
    using vorn_package::ProfileStepKind;
    const auto columns = vorn_package::to_columns(
        vorn_test::profile({{1, {step(0, 60, "k", 0, 0, ProfileStepKind::Compute)}},
                            {2, {step(0, 100, "k", 0, 0, ProfileStepKind::Compute)}},
                            {1, {step(60, 120, "k", 0, 0, ProfileStepKind::Compute)}}}));
    for (const std::size_t threads : {1, 2, 3}) {
        const SuperstepReport report = supersteps(columns, Query{}, {}, threads);
        ASSERT_EQ(report.occurrences.size(), 1U);
        EXPECT_EQ(report.occurrences[0].tiles, 2U);
        EXPECT_EQ(report.occurrences[0].straggler, 1U);  // 120 busy cycles against 100
        EXPECT_EQ(report.occurrences[0].max_busy, 120U);
    }
}

}  // namespace
}  // namespace vorn_profile

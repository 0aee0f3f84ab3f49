// Group statistics: interval union, percentiles, milliseconds, group order.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>
#include <random>

#include "vorn_profile/query.hpp"

namespace vorn_profile {
namespace {

TEST(UnionLength, TouchingOverlappingNestedDisjoint) {
    const struct {
        std::vector<Interval> intervals;
        std::uint64_t expected;
    } cases[] = {
        {{}, 0},
        {{{0, 10}, {10, 20}}, 20},
        {{{0, 10}, {5, 20}}, 20},
        {{{0, 100}, {10, 20}}, 100},
        {{{0, 10}, {20, 30}}, 20},
        {{{5, 5}}, 0},
        {{{20, 30}, {5, 5}, {0, 10}, {10, 10}}, 20},
        {{{0, (1ULL << 33) - 2}, {1, 2}}, (1ULL << 33) - 2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(union_length(c.intervals), c.expected);
        std::vector<Interval> reversed(c.intervals.rbegin(), c.intervals.rend());
        EXPECT_EQ(union_length(reversed), c.expected);
    }
}

TEST(UnionLength, MatchesABruteForceCountOfCoveredCycles) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::vector<Interval> intervals(random() % 8);
        std::vector<bool> covered(64, false);
        for (Interval& interval : intervals) {
            interval.start = random() % 48;
            interval.end = interval.start + random() % 16;
            for (std::uint64_t cycle = interval.start; cycle < interval.end; ++cycle) {
                covered[cycle] = true;
            }
        }
        const auto before = intervals;
        EXPECT_EQ(union_length(intervals),
                  static_cast<std::uint64_t>(std::count(covered.begin(), covered.end(), true)));
        EXPECT_EQ(intervals, before);  // the caller's list is left as it was
    }
}

TEST(Percentile, IndexesTruncate) {
    const struct {
        std::uint64_t n, p50, p95;
    } cases[] = {{1, 0, 0},   {2, 0, 0},    {3, 1, 1},    {10, 4, 8},
                 {20, 9, 18}, {21, 10, 19}, {100, 49, 94}};
    for (const auto& c : cases) {
        std::vector<std::uint32_t> values(c.n);
        std::iota(values.begin(), values.end(), 0U);
        EXPECT_EQ(percentile(values, 50), c.p50) << c.n;
        EXPECT_EQ(percentile(values, 95), c.p95) << c.n;
        EXPECT_EQ(percentile(values, 100), c.n - 1) << c.n;
    }
    EXPECT_EQ(percentile({}, 50), 0U);
}

TEST(CyclesToMs, MultipliesBeforeDividing) {
    EXPECT_EQ(cycles_to_ms(1500, 1'000'000), 1.5);
    EXPECT_EQ(cycles_to_ms(12345, 0), 0.0);
    // (1 * 1000.0) / 3e9 and 1 / 3e9 * 1000.0 differ in the last bit.
    EXPECT_EQ(std::bit_cast<std::uint64_t>(cycles_to_ms(1, 3'000'000'000)),
              std::bit_cast<std::uint64_t>((1.0 * 1000.0) / 3e9));
    EXPECT_NE(cycles_to_ms(1, 3'000'000'000), 1.0 / 3e9 * 1000.0);
}

TEST(GroupSummary, StatisticsOfOneGroup) {
    Accumulator accumulator;
    accumulator.dimensions = {{"phase", "0"}};
    accumulator.durations = {30, 10, 20};
    accumulator.tiles = {4, 9};
    accumulator.phases[{0, 0}] = {{0, 30}, {5, 15}};
    accumulator.phases[{0, 1}] = {{100, 120}};
    accumulator.work_cycles = 60;
    accumulator.first_offset = 0;
    accumulator.last_offset = 120;
    const GroupSummary summary = group_summary("g", accumulator, 3'000'000'000);
    EXPECT_EQ(summary.name, "g");
    EXPECT_EQ(summary.dimensions, accumulator.dimensions);
    EXPECT_EQ(summary.sample_count, 3U);
    EXPECT_EQ(summary.tile_count, 2U);
    EXPECT_EQ(summary.phase_count, 2U);
    EXPECT_EQ(summary.phase_cycles, 50U);
    EXPECT_EQ(summary.phase_ms, (50.0 * 1000.0) / 3e9);
    EXPECT_EQ(summary.average_active_tiles, 60.0 / 50.0);
    EXPECT_EQ(summary.mean_cycles, 20.0);
    EXPECT_EQ(summary.p50_cycles, 20U);
    EXPECT_EQ(summary.p95_cycles, 20U);
    EXPECT_EQ(summary.maximum_cycles, 30U);
    EXPECT_EQ(summary.last_offset, 120U);

    const GroupSummary empty = group_summary("e", Accumulator{}, 1000);
    EXPECT_EQ(empty.average_active_tiles, 0.0);
    EXPECT_EQ(empty.mean_cycles, 0.0);
    EXPECT_EQ(empty.maximum_cycles, 0U);
}

TEST(GroupSummary, PercentilesAgreeWithTheSortedList) {
    // Small groups, and large ones (which take another path): wide values, a narrow range,
    // and every value equal.
    std::mt19937 random(3);
    const std::uint32_t ranges[] = {20, 0, 7, 4294967295U};
    for (int round = 0; round < 300; ++round) {
        Accumulator accumulator;
        const bool large = round % 25 == 0;
        accumulator.durations.resize(large ? 20000 + random() % 5000 : 1 + random() % 50);
        const std::uint32_t range = ranges[round % 4];
        for (auto& d : accumulator.durations) {
            d = range == 0 ? 12345 : (range == 7 ? 1000000 + random() % 7 : random() % range);
        }
        auto sorted = accumulator.durations;
        std::sort(sorted.begin(), sorted.end());
        const GroupSummary summary = group_summary("g", accumulator, 0);
        EXPECT_EQ(summary.p50_cycles, percentile(sorted, 50));
        EXPECT_EQ(summary.p95_cycles, percentile(sorted, 95));
        EXPECT_EQ(summary.maximum_cycles, sorted.back());
    }
}

TEST(CompareGroups, KeyThenFirstOffsetThenBytes) {
    auto group = [](std::string name, std::uint64_t cycles, std::uint64_t first) {
        GroupSummary s;
        s.name = std::move(name);
        s.phase_cycles = cycles;
        s.work_cycles = cycles;
        s.maximum_cycles = static_cast<std::uint32_t>(cycles);
        s.sample_count = cycles;
        s.first_offset = first;
        return s;
    };
    const auto less = std::strong_ordering::less;
    const auto greater = std::strong_ordering::greater;
    for (SortBy by :
         {SortBy::PhaseCycles, SortBy::WorkCycles, SortBy::MaximumCycles, SortBy::Samples}) {
        EXPECT_EQ(compare_groups(by, group("z", 3, 9), group("a", 2, 0)), less);
        EXPECT_EQ(compare_groups(by, group("z", 2, 0), group("a", 2, 1)), less);
        EXPECT_EQ(compare_groups(by, group("b", 2, 1), group("a", 2, 1)), greater);
    }
    EXPECT_EQ(compare_groups(SortBy::Name, group("tile 10", 0, 5), group("tile 9", 9, 0)), less);
    EXPECT_EQ(compare_groups(SortBy::Name, group("Z", 0, 5), group("a", 0, 0)), less);
    EXPECT_EQ(compare_groups(SortBy::Name, group("ab", 0, 0), group("abc", 0, 0)), less);
    // Bytes, not signed chars: a UTF-8 lead byte sorts after ASCII.
    EXPECT_EQ(compare_groups(SortBy::Name, group("\xc3\xa9", 0, 0), group("z", 0, 0)), greater);
    EXPECT_EQ(compare_groups(SortBy::Name, group("x", 0, 0), group("x", 0, 0)),
              std::strong_ordering::equal);
}

}  // namespace
}  // namespace vorn_profile

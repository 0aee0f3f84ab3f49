// Queries that make 10^4 to 5 * 10^4 groups (a kernel per sample or so, a tile per group, a phase
// occurrence per sample or so) against the plain model, over records and over columns, with
// every ordering and limits that cut anywhere, also between groups that only their names tell
// apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "profile_builder.hpp"
#include "query_model.hpp"

namespace vorn_profile {
namespace {

using vorn_package::ProfileReport;
using vorn_test::step;

// Durations from a few values, steps one after the other or one cycle apart, and every tile's
// time line starting at 0: many groups share their ordering key and their first offset, so
// that only the name orders them.
std::uint32_t tied_duration(std::mt19937_64& random) {
    constexpr std::uint32_t kDurations[] = {0, 1, 2, 3, 40};
    return kDurations[random() % 5];
}

void add_steps(vorn_package::TileProfile& tile, std::size_t count, std::mt19937_64& random,
               const auto& fill) {
    // Some tiles start near the counter's wrap, and now and then a step starts before the
    // tile's first.
    std::uint32_t clock = random() % 4 == 0 ? 4294967295U - random() % 100 : random();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && random() % 200 == 0) {
            clock -= random() % 300;
        }
        vorn_package::CycleSample sample = step(clock, clock + tied_duration(random));
        clock = sample.end_cycle + random() % 2;
        sample.step.kind = vorn_package::ProfileStepKind(random() % 4);
        sample.step.operation = "op" + std::to_string(random() % 3);
        fill(sample);
        tile.samples.push_back(std::move(sample));
    }
}

/// About `groups` kernels over 64 tiles, most used once, some again later on other tiles and
/// phase occurrences. Kernel texts come in families that differ only in their last bytes
/// ("…/gemm_", "…/gemm_a", "…/gemm_b", "…/gemm_é"), and both the empty kernel and the text
/// "(no kernel)" name the group "(no kernel)".
ProfileReport kernel_profile(std::uint64_t groups, std::mt19937_64& random) {
    const char* endings[] = {"", "a", "b", "\xc3\xa9"};
    ProfileReport report = vorn_test::profile({});
    report.tiles.resize(64);
    std::uint64_t next_kernel = 0;
    const std::size_t per_tile = groups * 5 / 4 / report.tiles.size();
    for (std::size_t t = 0; t < report.tiles.size(); ++t) {
        report.tiles[t].physical_tile = static_cast<std::uint32_t>(t);
        add_steps(report.tiles[t], per_tile, random, [&](vorn_package::CycleSample& sample) {
            const std::uint64_t id =
                random() % 5 == 0 && next_kernel > 0 ? random() % next_kernel : next_kernel++;
            sample.step.kernel =
                id % 997 == 0   ? ""
                : id % 991 == 0 ? "(no kernel)"
                                : "layer " + std::to_string(id / 4) + "/gemm_" + endings[id % 4];
            sample.step.phase = random() % 4;
            sample.step.epoch = random() % 2;
        });
    }
    return report;
}

/// About `groups` tiles, mostly of one sample: one tile record in ten repeats an earlier
/// physical tile, a few hold two or three samples, a few none, and some are tile 4294967295.
ProfileReport tile_profile(std::uint64_t groups, std::mt19937_64& random) {
    ProfileReport report = vorn_test::profile({});
    report.tiles.resize(groups * 11 / 10);
    std::uint32_t next_tile = 0;
    for (std::size_t t = 0; t < report.tiles.size(); ++t) {
        vorn_package::TileProfile& tile = report.tiles[t];
        if (t > 0 && random() % 10 == 0) {
            tile.physical_tile = report.tiles[random() % t].physical_tile;
        } else {
            tile.physical_tile = random() % 1000 == 0 ? 4294967295U : next_tile++;
        }
        const std::size_t count = random() % 50 == 0   ? 0
                                  : random() % 10 == 0 ? 2 + random() % 2
                                                       : 1;
        add_steps(tile, count, random, [&](vorn_package::CycleSample& sample) {
            // Assigned as characters: g++ 12 misreads string assignments here at -O2.
            sample.step.kernel.assign(1, 'k');
            sample.step.phase = random() % 3;
        });
    }
    return report;
}

/// About `groups` phase occurrences over 200 tiles, drawn at random so that most samples have
/// one of their own and some share it: phases 0 to groups / 50 and epochs 0 to 99 ("phase 10/0"
/// and "phase 9/0" both occur), now and then 4294967295 for either.
ProfileReport phase_profile(std::uint64_t groups, std::mt19937_64& random) {
    ProfileReport report = vorn_test::profile({});
    report.tiles.resize(200);
    const std::size_t per_tile = groups * 3 / 2 / report.tiles.size();
    const std::uint64_t phases = groups / 50;
    for (std::size_t t = 0; t < report.tiles.size(); ++t) {
        report.tiles[t].physical_tile = static_cast<std::uint32_t>(t);
        add_steps(report.tiles[t], per_tile, random, [&](vorn_package::CycleSample& sample) {
            sample.step.phase = random() % 5000 == 0 ? 4294967295U : random() % phases;
            sample.step.epoch = random() % 5000 == 0 ? 4294967295U : random() % 100;
            sample.step.kernel.assign(1, 'k').append(std::to_string(random() % 50));
        });
    }
    return report;
}

/// A limit that cuts between two groups that have the same key and first offset, so that only
/// their names decide which is kept: the first such cut after the tenth group, or before it
/// when there is none; 0 when there is none at all.
std::uint64_t limit_inside_ties(SortBy sort_by, const std::vector<GroupSummary>& groups) {
    if (sort_by == SortBy::Name) {
        return 0;
    }
    std::uint64_t found = 0;
    for (std::uint64_t at = 1; at < groups.size(); ++at) {
        const GroupSummary& before = groups[at - 1];
        const GroupSummary& after = groups[at];
        if (model::model_sort_key(sort_by, before) == model::model_sort_key(sort_by, after) &&
            before.first_offset == after.first_offset) {
            found = at;
            if (at >= 10) {
                break;
            }
        }
    }
    return found;
}

struct Case {
    const char* name;
    ProfileReport (*make)(std::uint64_t, std::mt19937_64&);
    GroupBy many;   // the grouping that makes the many groups
    GroupBy other;  // a grouping of fewer, larger groups on the same profile
};

const Case kCases[] = {
    {"kernel", kernel_profile, GroupBy::Kernel, GroupBy::Phase},
    {"tile", tile_profile, GroupBy::Tile, GroupBy::Phase},
    {"phase", phase_profile, GroupBy::Phase, GroupBy::Kernel},
};

/// The engine's answer to `q` over records and over columns against the model's answer
/// `want` to the same query without limit, cut to `q.limit`.
void expect_agrees(const ProfileReport& report, const vorn_package::ProfileColumns& columns,
                   const Query& q, const QueryReport& unlimited) {
    QueryReport want = unlimited;
    if (q.limit && *q.limit < want.groups.size()) {
        want.groups.resize(*q.limit);
    }
    SCOPED_TRACE("limit " + (q.limit ? std::to_string(*q.limit) : std::string("none")));
    {
        SCOPED_TRACE("records");
        model::expect_same(query(report, q), want);
    }
    {
        SCOPED_TRACE("columns");
        model::expect_same(query(columns, q), want);
    }
}

/// Every ordering without limit and cut inside ties, the default one also cut after 10 groups
/// and before the last; then a grouping of fewer groups, and the many grouping behind a filter.
/// The model answers each grouping once; its groups are put in each order by the model's own
/// sort.
void check_orderings_and_limits(const Case& c, std::uint64_t groups) {
    std::mt19937_64 random(groups + static_cast<std::uint64_t>(c.many));
    const ProfileReport report = c.make(groups, random);
    const vorn_package::ProfileColumns columns = vorn_package::to_columns(report);
    Query q;
    q.group_by = c.many;
    const QueryReport answer = model::model_query(report, q);
    ASSERT_GE(answer.groups.size(), groups * 8 / 10);
    for (const SortBy sort_by : {SortBy::PhaseCycles, SortBy::WorkCycles, SortBy::MaximumCycles,
                                 SortBy::Samples, SortBy::Name}) {
        SCOPED_TRACE("sort " + std::to_string(static_cast<int>(sort_by)));
        q.sort_by = sort_by;
        QueryReport unlimited = answer;
        model::model_sort(sort_by, unlimited.groups);
        std::vector<std::optional<std::uint64_t>> limits = {std::nullopt};
        if (sort_by != SortBy::Name) {
            const std::uint64_t tie = limit_inside_ties(sort_by, unlimited.groups);
            ASSERT_GT(tie, 0U) << "the profile makes no ties";
            limits.push_back(tie);
        }
        if (sort_by == SortBy::PhaseCycles) {
            limits.push_back(10);
            limits.push_back(unlimited.groups.size() - 1);
        }
        for (const auto& limit : limits) {
            q.limit = limit;
            expect_agrees(report, columns, q, unlimited);
            if (testing::Test::HasFailure()) {
                return;
            }
        }
    }
    Query other;
    other.group_by = c.other;
    expect_agrees(report, columns, other, model::model_query(report, other));
    Query filtered;
    filtered.group_by = c.many;
    filtered.kind = StepKind::Compute;
    filtered.sample_limit = 7;
    Query limited = filtered;
    limited.limit = 10;
    expect_agrees(report, columns, limited, model::model_query(report, filtered));
}

TEST(ManyGroups, AgreeWithThePlainModel) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        check_orderings_and_limits(c, 10'000);
        if (HasFailure()) {
            return;
        }
    }
}

// Five times the groups, past the first block of every fixed-block list: every summary of the
// whole report.
TEST(ManyGroups, AgreeWithThePlainModelAtFiftyThousand) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        std::mt19937_64 random(c.name[0]);
        const ProfileReport report = c.make(50'000, random);
        Query q;
        q.group_by = c.many;
        const QueryReport want = model::model_query(report, q);
        ASSERT_GE(want.groups.size(), 40'000U);
        expect_agrees(report, vorn_package::to_columns(report), q, want);
        if (HasFailure()) {
            return;
        }
    }
}

// Few groups over thousands of occurrences that each tile meets in its own order: forward,
// backward, forward again around older ones, shuffled. A group's slots are found by look-up only
// once an occurrence comes back, so every way back to an occurrence must find its slot, and
// steps of one occurrence on several tiles must merge into one union.
TEST(ManyGroups, OccurrencesThatComeBackFindTheirCoverage) {
    constexpr std::uint32_t kOccurrences = 3000;
    std::mt19937_64 random(7);
    std::vector<std::uint32_t> forward(kOccurrences);
    for (std::uint32_t i = 0; i < kOccurrences; ++i) {
        forward[i] = i;
    }
    std::vector<std::uint32_t> backward(forward.rbegin(), forward.rend());
    std::vector<std::uint32_t> around;  // 0, 1, 0, 2, 1, 3, 2, ...
    for (std::uint32_t i = 0; i < kOccurrences; ++i) {
        around.push_back(i);
        around.push_back(i == 0 ? 0 : i - 1);
    }
    std::vector<std::uint32_t> shuffled = forward;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    ProfileReport report;
    report.clock_hz = 1'000'000'000;
    std::uint32_t physical = 0;
    for (const auto* order : {&forward, &backward, &around, &shuffled, &forward}) {
        vorn_package::TileProfile& tile = report.tiles.emplace_back();
        tile.physical_tile = physical++;
        std::uint32_t clock = 0;
        for (const std::uint32_t occurrence : *order) {
            vorn_package::CycleSample sample =
                step(clock, clock + 1 + random() % 50, random() % 3 == 0 ? "gemm" : "add",
                     occurrence % 1000, occurrence / 1000);
            clock = sample.end_cycle - random() % 30;  // steps overlap now and then
            tile.samples.push_back(sample);
        }
    }
    const vorn_package::ProfileColumns columns = vorn_package::to_columns(report);
    for (const GroupBy group_by : {GroupBy::Kind, GroupBy::Kernel, GroupBy::Tile}) {
        SCOPED_TRACE(static_cast<int>(group_by));
        Query q;
        q.group_by = group_by;
        expect_agrees(report, columns, q, model::model_query(report, q));
    }
}

// The same ties by hand: equal keys and first offsets, so the names order the groups as bytes.
TEST(ManyGroups, TiesGoToTheNameAsBytes) {
    struct Row {
        GroupBy group_by;
        ProfileReport report;
        std::vector<std::string> order;
    };
    const auto one = [](std::uint32_t tile, vorn_package::CycleSample sample) {
        return vorn_package::TileProfile{tile, {std::move(sample)}};
    };
    const std::vector<Row> rows = {
        {GroupBy::Tile,
         vorn_test::profile({one(9, step(0, 5)), one(10, step(7, 12)), one(100, step(3, 8))}),
         {"tile 10", "tile 100", "tile 9"}},
        {GroupBy::Phase,
         vorn_test::profile({one(1, step(0, 5, "k", 9, 0)), one(2, step(0, 5, "k", 10, 0)),
                             one(3, step(0, 5, "k", 9, 10))}),
         {"phase 10/0", "phase 9/0", "phase 9/10"}},
        {GroupBy::Kernel,
         vorn_test::profile({one(1, step(0, 5, "gemm_b")), one(2, step(0, 5, "gemm_\xc3\xa9")),
                             one(3, step(0, 5, "gemm_a")), one(4, step(0, 5, "gemm_"))}),
         {"gemm_", "gemm_a", "gemm_b", "gemm_\xc3\xa9"}},
    };
    for (const Row& row : rows) {
        for (const auto& columns : {false, true}) {
            for (std::uint64_t limit = 0; limit <= row.order.size(); ++limit) {
                Query q;
                q.group_by = row.group_by;
                q.limit = limit;
                const QueryReport result =
                    columns ? query(vorn_package::to_columns(row.report), q) : query(row.report, q);
                std::vector<std::string> names;
                for (const GroupSummary& group : result.groups) {
                    names.push_back(group.name);
                }
                EXPECT_EQ(names,
                          std::vector<std::string>(row.order.begin(), row.order.begin() + limit))
                    << (columns ? "columns" : "records");
            }
        }
    }
}

}  // namespace
}  // namespace vorn_profile

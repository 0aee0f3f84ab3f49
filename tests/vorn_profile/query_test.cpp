// The query pipeline end to end, and a differential check against a plain model of the rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>

#include "profile_builder.hpp"

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

// ---- Differential check -------------------------------------------------------------------
// A model written from the rules with no regard for speed: maps keyed by built names, every
// list sorted in full. The engine must agree with it field by field, doubles bit for bit.

struct ModelGroup {
    std::map<std::string, std::string> dimensions;
    std::vector<std::uint32_t> durations;
    std::set<std::uint32_t> tiles;
    std::map<std::pair<std::uint32_t, std::uint32_t>,
             std::vector<std::pair<std::uint64_t, std::uint64_t>>>
        phases;
    std::uint64_t work = 0, first = 0, last = 0;
};

std::string model_kind(vorn_package::ProfileStepKind kind) {
    const char* names[] = {"exchange", "compute", "synchronization", "idle"};
    return names[static_cast<int>(kind)];
}

bool model_matches(const Query& q, std::uint32_t tile, const vorn_package::CycleSample& s,
                   std::uint64_t offset, std::uint32_t length) {
    const auto& st = s.step;
    if (q.kind && static_cast<int>(*q.kind) != static_cast<int>(st.kind))
        return false;
    if (q.kernel && *q.kernel != st.kernel)
        return false;
    if (q.operation_contains && st.operation.find(*q.operation_contains) == std::string::npos)
        return false;
    if (!q.tiles.empty() && q.tiles.count(tile) == 0)
        return false;
    if (!q.phases.empty() && q.phases.count(st.phase) == 0)
        return false;
    if (q.at_offset && !(offset <= *q.at_offset && *q.at_offset < offset + length))
        return false;
    for (const auto& f : q.metadata) {
        bool found = false;
        for (const auto& m : st.metadata)
            found = found || (m.name == f.name && (!f.value || m.value == *f.value));
        if (!found)
            return false;
    }
    return true;
}

std::pair<std::string, std::map<std::string, std::string>> model_key(
    const Query& q, std::uint32_t tile, const vorn_package::ProfileStep& st) {
    switch (q.group_by) {
        case GroupBy::Kind:
            return {model_kind(st.kind), {}};
        case GroupBy::Kernel:
            return {st.kernel.empty() ? "(no kernel)" : st.kernel, {}};
        case GroupBy::Operation:
            return {st.operation, {}};
        case GroupBy::Phase:
            return {"phase " + std::to_string(st.phase) + "/" + std::to_string(st.epoch),
                    {{"phase", std::to_string(st.phase)}, {"epoch", std::to_string(st.epoch)}}};
        case GroupBy::Tile:
            return {"tile " + std::to_string(tile), {{"physicalTile", std::to_string(tile)}}};
        case GroupBy::Metadata: {
            const std::string key = q.metadata_key.value_or("");
            std::string value = "(missing)";
            for (auto it = st.metadata.rbegin(); it != st.metadata.rend(); ++it) {
                if (it->name == key)
                    value = it->value;
            }
            return {value, {{"metadataKey", key}, {"metadataValue", value}}};
        }
    }
    return {};
}

QueryReport model_query(const vorn_package::ProfileReport& report, const Query& q) {
    QueryReport out;
    out.clock_hz = report.clock_hz;
    out.tile_count = report.tiles.size();
    out.at_offset = q.at_offset;
    std::map<std::string, ModelGroup> groups;
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint32_t, std::size_t,
                           const vorn_package::CycleSample*>>
        candidates;
    for (const auto& tile : report.tiles) {
        for (const auto& s : tile.samples) {
            const std::uint32_t base = tile.samples[0].start_cycle;
            const std::uint64_t offset = std::uint32_t(s.start_cycle - base);
            const std::uint32_t length = std::uint32_t(s.end_cycle - s.start_cycle);
            out.sample_count++;
            out.profile_span_cycles = std::max(out.profile_span_cycles, offset + length);
            if (!model_matches(q, tile.physical_tile, s, offset, length))
                continue;
            out.matched_sample_count++;
            auto [name, dims] = model_key(q, tile.physical_tile, s.step);
            auto [it, fresh] = groups.try_emplace(name);
            ModelGroup& g = it->second;
            if (fresh) {
                g.dimensions = dims;
                g.first = offset;
            }
            g.durations.push_back(length);
            g.tiles.insert(tile.physical_tile);
            g.phases[{s.step.phase, s.step.epoch}].push_back({offset, offset + length});
            g.work += length;
            g.first = std::min(g.first, offset);
            g.last = std::max(g.last, offset + length);
            if (q.sample_limit > 0)
                candidates.emplace_back(tile.physical_tile, offset, length, candidates.size(), &s);
        }
    }
    out.profile_span_ms = report.clock_hz == 0
                              ? 0.0
                              : double(out.profile_span_cycles) * 1000.0 / double(report.clock_hz);
    for (auto& [name, g] : groups) {
        GroupSummary s;
        s.name = name;
        s.dimensions = g.dimensions;
        std::sort(g.durations.begin(), g.durations.end());
        const std::uint64_t n = g.durations.size();
        for (auto& [occurrence, intervals] : g.phases) {
            std::sort(intervals.begin(), intervals.end());
            std::uint64_t start = intervals[0].first, end = intervals[0].second;
            for (const auto& [a, b] : intervals) {
                if (a <= end) {
                    end = std::max(end, b);
                } else {
                    s.phase_cycles += end - start;
                    start = a;
                    end = b;
                }
            }
            s.phase_cycles += end - start;
        }
        s.sample_count = n;
        s.tile_count = g.tiles.size();
        s.phase_count = g.phases.size();
        s.phase_ms =
            report.clock_hz == 0 ? 0.0 : double(s.phase_cycles) * 1000.0 / double(report.clock_hz);
        s.work_cycles = g.work;
        s.average_active_tiles =
            s.phase_cycles == 0 ? 0.0 : double(g.work) / double(s.phase_cycles);
        s.mean_cycles = double(g.work) / double(n);
        s.p50_cycles = g.durations[(n - 1) * 50 / 100];
        s.p95_cycles = g.durations[(n - 1) * 95 / 100];
        s.maximum_cycles = g.durations.back();
        s.first_offset = g.first;
        s.last_offset = g.last;
        out.groups.push_back(s);
    }
    auto key = [&](const GroupSummary& s) -> std::uint64_t {
        switch (q.sort_by) {
            case SortBy::PhaseCycles:
                return s.phase_cycles;
            case SortBy::WorkCycles:
                return s.work_cycles;
            case SortBy::MaximumCycles:
                return s.maximum_cycles;
            case SortBy::Samples:
                return s.sample_count;
            case SortBy::Name:
                return 0;
        }
        return 0;
    };
    std::sort(out.groups.begin(), out.groups.end(),
              [&](const GroupSummary& l, const GroupSummary& r) {
                  if (key(l) != key(r))
                      return key(l) > key(r);
                  if (q.sort_by == SortBy::Name && l.name != r.name)
                      return l.name < r.name;
                  if (l.first_offset != r.first_offset)
                      return l.first_offset < r.first_offset;
                  return l.name < r.name;
              });
    if (q.limit && *q.limit < out.groups.size())
        out.groups.resize(*q.limit);
    std::sort(candidates.begin(), candidates.end(), [](const auto& l, const auto& r) {
        return std::make_tuple(~std::get<2>(l), std::get<0>(l), std::get<1>(l), std::get<3>(l)) <
               std::make_tuple(~std::get<2>(r), std::get<0>(r), std::get<1>(r), std::get<3>(r));
    });
    for (std::size_t i = 0; i < candidates.size() && i < q.sample_limit; ++i) {
        const auto& [tile, offset, length, seq, s] = candidates[i];
        SampleRecord r{tile,
                       offset,
                       length,
                       s->step.phase,
                       s->step.epoch,
                       model_kind(s->step.kind),
                       s->step.operation,
                       s->step.kernel,
                       {}};
        for (const auto& m : s->step.metadata)
            r.metadata.push_back({m.name, m.value});
        out.samples.push_back(r);
    }
    return out;
}

vorn_package::ProfileReport random_profile(std::mt19937_64& random) {
    const char* kernels[] = {"", "add", "gemm", "Add", "(no kernel)"};
    const char* names[] = {"block", "", "layer", "Block"};
    vorn_package::ProfileReport report;
    report.clock_hz = random() % 4 == 0 ? 0 : 1 + random() % 2'000'000'000;
    const int tiles = random() % 5;
    for (int t = 0; t < tiles; ++t) {
        vorn_package::TileProfile tile;
        tile.physical_tile = random() % 4 == 0 ? 4294967295U : random() % 4;  // repeats happen
        std::uint32_t clock = random() % 3 == 0 ? 4294967295U - random() % 200 : random();
        const int samples = random() % 12;
        for (int s = 0; s < samples; ++s) {
            vorn_package::CycleSample sample;
            if (random() % 10 == 0)
                clock -= random() % 300;  // a step before the tile's base
            sample.start_cycle = clock;
            sample.end_cycle = clock + (random() % 5 == 0 ? 0 : random() % 60);
            if (random() % 25 == 0)
                sample.end_cycle = clock - 1 - random() % 5;
            clock = sample.end_cycle + random() % 3 * (random() % 20);
            sample.step.phase = random() % 3;
            sample.step.epoch = random() % 2;
            sample.step.kind = vorn_package::ProfileStepKind(random() % 4);
            sample.step.kernel = kernels[random() % 5];
            sample.step.operation = "op" + std::to_string(random() % 3);
            const int entries = random() % 3;
            for (int m = 0; m < entries; ++m) {
                // "(missing)" stored as a value names the same group as a missing entry.
                sample.step.metadata.push_back(
                    {names[random() % 4],
                     random() % 8 == 0 ? "(missing)" : std::to_string(random() % 3)});
            }
            tile.samples.push_back(sample);
        }
        report.tiles.push_back(tile);
    }
    return report;
}

Query random_query(std::mt19937_64& random) {
    Query q;
    q.group_by = GroupBy(random() % 6);
    q.sort_by = SortBy(random() % 5);
    if (random() % 6 == 0)
        q.kind = StepKind(random() % 4);
    if (random() % 6 == 0)
        q.kernel = random() % 2 ? "" : "gemm";
    if (random() % 6 == 0)
        q.operation_contains = random() % 2 ? "op" : "1";
    if (random() % 6 == 0)
        q.tiles = {std::uint32_t(random() % 4), 4294967295U};
    if (random() % 6 == 0)
        q.phases = {std::uint32_t(random() % 3)};
    if (random() % 12 == 0)
        q.phases = {std::uint32_t(random() % 3), 4294967295U};  // too wide for a bit set
    if (random() % 6 == 0)
        q.metadata.push_back(
            {"block", random() % 2 ? std::optional<std::string>("1") : std::nullopt});
    if (random() % 3 == 0)
        q.metadata_key = random() % 2 ? "block" : "";
    if (random() % 5 == 0)
        q.at_offset = random() % 200;
    if (random() % 4 == 0)
        q.limit = random() % 4;
    if (random() % 2 == 0)
        q.sample_limit = random() % 3 == 0 ? UINT64_MAX : random() % 6;
    return q;
}

void expect_same(const QueryReport& got, const QueryReport& want) {
    EXPECT_EQ(got.groups.size(), want.groups.size());
    for (std::size_t i = 0; i < std::min(got.groups.size(), want.groups.size()); ++i) {
        const GroupSummary& g = got.groups[i];
        const GroupSummary& w = want.groups[i];
        SCOPED_TRACE("group " + std::to_string(i) + " " + w.name);
        EXPECT_EQ(g.name, w.name);
        EXPECT_EQ(g.dimensions, w.dimensions);
        EXPECT_EQ(g.sample_count, w.sample_count);
        EXPECT_EQ(g.tile_count, w.tile_count);
        EXPECT_EQ(g.phase_count, w.phase_count);
        EXPECT_EQ(g.phase_cycles, w.phase_cycles);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(g.phase_ms),
                  std::bit_cast<std::uint64_t>(w.phase_ms));
        EXPECT_EQ(g.work_cycles, w.work_cycles);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(g.average_active_tiles),
                  std::bit_cast<std::uint64_t>(w.average_active_tiles));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(g.mean_cycles),
                  std::bit_cast<std::uint64_t>(w.mean_cycles));
        EXPECT_EQ(g.p50_cycles, w.p50_cycles);
        EXPECT_EQ(g.p95_cycles, w.p95_cycles);
        EXPECT_EQ(g.maximum_cycles, w.maximum_cycles);
        EXPECT_EQ(g.first_offset, w.first_offset);
        EXPECT_EQ(g.last_offset, w.last_offset);
    }
    EXPECT_EQ(got.samples, want.samples);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got.profile_span_ms),
              std::bit_cast<std::uint64_t>(want.profile_span_ms));
    EXPECT_EQ(got, want);  // and every remaining top-level field
}

// Both entry points, records and columns, against the model.
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

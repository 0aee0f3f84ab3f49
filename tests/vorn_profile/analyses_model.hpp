// Plain models of the analyses' rules (time windows, differences, supersteps), written one
// sample at a time, with field-by-field comparisons and the random profiles, queries and windows
// the analyses' tests draw.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <random>
#include <set>

#include "profile_builder.hpp"
#include "vorn_profile/analyses.hpp"

namespace vorn_profile::analyses_model {

using vorn_package::ProfileReport;
using vorn_package::ProfileStepKind;
using vorn_test::step;

inline std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// ---- Models ---------------------------------------------------------------------------------
// Written from the rules, one sample at a time: the window test and clip, then the query's
// own building blocks (filter, group key, accumulator, summary, orders) as the walk uses them.

/// The window rule: whether a sample passes, and its part inside the window.
inline bool model_clip(const TimeWindow& w, std::uint64_t& offset, std::uint32_t& length) {
    if (w.from >= w.to) {
        return false;  // an empty or backwards window holds nothing
    }
    if (length == 0) {
        return w.from <= offset && offset < w.to;
    }
    if (!(offset < w.to && offset + length > w.from)) {
        return false;
    }
    const std::uint64_t start = std::max(offset, w.from);
    const std::uint64_t end = std::min(offset + length, w.to);
    offset = start;
    length = static_cast<std::uint32_t>(end - start);
    return true;
}

/// Calls `visit(tile, sample, offset, length)` for every sample that passes the filter and the
/// window, clipped; returns the totals of the whole profile.
template <class Visit>
inline std::pair<std::uint64_t, std::uint64_t> model_walk(const ProfileReport& report,
                                                          const Query& q, const TimeWindow& w,
                                                          Visit visit) {
    std::uint64_t samples = 0;
    std::uint64_t span = 0;
    for (const auto& tile : report.tiles) {
        for (const auto& s : tile.samples) {
            std::uint64_t offset = std::uint32_t(s.start_cycle - tile.samples[0].start_cycle);
            std::uint32_t length = s.end_cycle - s.start_cycle;
            samples += 1;
            span = std::max(span, offset + length);
            if (matches_query(q, tile.physical_tile, s, offset, length) &&
                model_clip(w, offset, length)) {
                visit(tile.physical_tile, s, offset, length);
            }
        }
    }
    return {samples, span};
}

inline double model_ms(std::uint64_t cycles, std::uint64_t clock) {
    return clock == 0 ? 0.0 : double(cycles) * 1000.0 / double(clock);
}

inline WindowReport model_window(const ProfileReport& report, const Query& q, const TimeWindow& w) {
    WindowReport out{w.from, w.to, {}};
    QueryReport& r = out.report;
    r.clock_hz = report.clock_hz;
    r.tile_count = report.tiles.size();
    r.at_offset = q.at_offset;
    std::map<std::string, Accumulator> groups;
    std::vector<Candidate> candidates;
    std::tie(r.sample_count, r.profile_span_cycles) =
        model_walk(report, q, w,
                   [&](std::uint32_t tile, const vorn_package::CycleSample& s, std::uint64_t offset,
                       std::uint32_t length) {
                       r.matched_sample_count++;
                       GroupKey key = group_key(q, tile, s);
                       auto [it, fresh] = groups.try_emplace(key.name);
                       Accumulator& a = it->second;
                       if (fresh) {
                           a.dimensions = key.dimensions;
                           a.first_offset = offset;
                       }
                       a.durations.push_back(length);
                       a.tiles.insert(tile);
                       a.phases[{s.step.phase, s.step.epoch}].push_back({offset, offset + length});
                       a.work_cycles += length;
                       a.first_offset = std::min(a.first_offset, offset);
                       a.last_offset = std::max(a.last_offset, offset + length);
                       if (q.sample_limit > 0) {
                           candidates.push_back({tile, offset, length, &s});
                       }
                   });
    r.profile_span_ms = model_ms(r.profile_span_cycles, report.clock_hz);
    std::uint64_t all_work = 0;
    for (const auto& [name, a] : groups) {
        all_work += a.work_cycles;
    }
    for (auto& [name, a] : groups) {
        r.groups.push_back(group_summary(name, std::move(a), report.clock_hz));
        r.groups.back().share =
            all_work == 0 ? 0.0 : double(r.groups.back().work_cycles) / double(all_work);
    }
    std::stable_sort(r.groups.begin(), r.groups.end(), [&](const auto& l, const auto& rr) {
        return compare_groups(q.sort_by, l, rr) < 0;
    });
    if (q.limit && *q.limit < r.groups.size()) {
        r.groups.resize(*q.limit);
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& l, const auto& rr) { return compare_candidates(l, rr) < 0; });
    for (std::size_t i = 0; i < candidates.size() && i < q.sample_limit; ++i) {
        r.samples.push_back(sample_record(candidates[i]));
    }
    return out;
}

inline DiffFigures model_figures(const GroupSummary& g) {
    return {g.sample_count,
            g.tile_count,
            g.phase_count,
            g.phase_cycles,
            g.phase_ms,
            g.work_cycles,
            g.average_active_tiles,
            g.mean_cycles,
            std::uint64_t{g.p95_cycles},
            std::uint64_t{g.maximum_cycles}};
}

inline DiffReport model_diff(const QueryReport& base, const QueryReport& next, SortBy sort_by,
                             std::optional<std::uint64_t> limit) {
    DiffReport out;
    out.base = {base.sample_count, base.matched_sample_count, base.profile_span_cycles,
                base.profile_span_ms};
    out.next = {next.sample_count, next.matched_sample_count, next.profile_span_cycles,
                next.profile_span_ms};
    auto sub = [](std::uint64_t b, std::uint64_t n) { return std::int64_t(n) - std::int64_t(b); };
    out.delta = {sub(base.sample_count, next.sample_count),
                 sub(base.matched_sample_count, next.matched_sample_count),
                 sub(base.profile_span_cycles, next.profile_span_cycles),
                 next.profile_span_ms - base.profile_span_ms};
    std::set<std::string> names;
    for (const auto* report : {&base, &next}) {
        for (const auto& g : report->groups) {
            names.insert(g.name);
        }
    }
    for (const std::string& name : names) {
        DiffRow row;
        row.name = name;
        bool in_base = false, in_next = false;
        for (const auto& g : base.groups) {
            if (g.name == name) {
                row.base = model_figures(g);
                in_base = true;
            }
        }
        for (const auto& g : next.groups) {
            if (g.name == name) {
                row.next = model_figures(g);
                in_next = true;
            }
        }
        row.status = in_base && in_next ? DiffStatus::Both
                     : in_base          ? DiffStatus::Removed
                                        : DiffStatus::Added;
        const DiffFigures &b = row.base, &n = row.next;
        row.delta = {sub(b.sample_count, n.sample_count),
                     sub(b.tile_count, n.tile_count),
                     sub(b.phase_count, n.phase_count),
                     sub(b.phase_cycles, n.phase_cycles),
                     n.phase_ms - b.phase_ms,
                     sub(b.work_cycles, n.work_cycles),
                     n.average_active_tiles - b.average_active_tiles,
                     n.mean_cycles - b.mean_cycles,
                     sub(b.p95_cycles, n.p95_cycles),
                     sub(b.maximum_cycles, n.maximum_cycles)};
        if (b.phase_cycles > 0) {
            row.phase_cycles_ratio = double(n.phase_cycles) / double(b.phase_cycles);
        }
        out.rows.push_back(row);
    }
    auto change = [&](const DiffRow& row) -> std::uint64_t {
        const DiffDelta& d = row.delta;
        const std::int64_t value = sort_by == SortBy::PhaseCycles     ? d.phase_cycles
                                   : sort_by == SortBy::WorkCycles    ? d.work_cycles
                                   : sort_by == SortBy::MaximumCycles ? d.maximum_cycles
                                   : sort_by == SortBy::Samples       ? d.sample_count
                                                                      : 0;
        return value < 0 ? std::uint64_t(-value) : std::uint64_t(value);
    };
    std::sort(out.rows.begin(), out.rows.end(), [&](const DiffRow& l, const DiffRow& r) {
        return change(l) != change(r) ? change(l) > change(r) : l.name < r.name;
    });
    if (limit && *limit < out.rows.size()) {
        out.rows.resize(*limit);
    }
    return out;
}

inline SuperstepReport model_supersteps(const ProfileReport& report, const Query& q,
                                        const TimeWindow& w) {
    struct Occurrence {
        std::map<std::uint32_t, std::uint64_t> busy;  // by physical tile
        std::uint64_t start = UINT64_MAX, end = 0, sync = 0;
    };
    std::map<std::pair<std::uint32_t, std::uint32_t>, Occurrence> occurrences;
    std::map<std::uint32_t, StragglerTile> tiles;
    SuperstepReport out;
    out.clock_hz = report.clock_hz;
    out.tile_count = report.tiles.size();
    out.from = w.from;
    out.to = w.to;
    std::tie(out.sample_count, out.profile_span_cycles) =
        model_walk(report, q, w,
                   [&](std::uint32_t tile, const vorn_package::CycleSample& s, std::uint64_t offset,
                       std::uint32_t length) {
                       out.matched_sample_count++;
                       Occurrence& o = occurrences[{s.step.epoch, s.step.phase}];
                       const bool busy = s.step.kind == ProfileStepKind::Exchange ||
                                         s.step.kind == ProfileStepKind::Compute;
                       o.busy[tile] += busy ? length : 0;
                       o.sync += s.step.kind == ProfileStepKind::Synchronization ? length : 0;
                       o.start = std::min(o.start, offset);
                       o.end = std::max(o.end, offset + length);
                       tiles[tile].physical_tile = tile;
                       tiles[tile].busy_cycles += busy ? length : 0;
                   });
    out.profile_span_ms = model_ms(out.profile_span_cycles, report.clock_hz);
    const std::uint64_t clock = report.clock_hz;
    for (const auto& [key, o] : occurrences) {
        SuperstepRow row;
        row.epoch = key.first;
        row.phase = key.second;
        row.tiles = o.busy.size();
        row.start = o.start;
        row.end = o.end;
        row.span_cycles = o.end - o.start;
        row.span_ms = model_ms(row.span_cycles, clock);
        row.min_busy = UINT64_MAX;
        for (const auto& [tile, busy] : o.busy) {
            row.busy_cycles += busy;
            row.min_busy = std::min(row.min_busy, busy);
            row.max_busy = std::max(row.max_busy, busy);
        }
        for (auto it = o.busy.rbegin(); it != o.busy.rend(); ++it) {
            if (it->second == row.max_busy) {
                row.straggler = it->first;  // the last one met going down is the lowest
            }
        }
        row.max_busy_ms = model_ms(row.max_busy, clock);
        row.min_busy_ms = model_ms(row.min_busy, clock);
        row.mean_busy = double(row.busy_cycles) / double(row.tiles);
        row.imbalance = row.busy_cycles == 0 ? 0.0 : double(row.max_busy) / row.mean_busy;
        row.lost_cycles = row.tiles * row.max_busy - row.busy_cycles;
        row.lost_ms = model_ms(row.lost_cycles, clock);
        row.sync_cycles = o.sync;
        row.sync_ms = model_ms(o.sync, clock);
        tiles[row.straggler].straggler_count++;
        tiles[row.straggler].lost_cycles_caused += row.lost_cycles;
        out.occurrences.push_back(row);
    }
    std::stable_sort(out.occurrences.begin(), out.occurrences.end(),
                     [](const auto& l, const auto& r) { return l.lost_cycles > r.lost_cycles; });
    for (auto& [tile, t] : tiles) {
        t.busy_ms = model_ms(t.busy_cycles, clock);
        t.lost_ms = model_ms(t.lost_cycles_caused, clock);
        out.tiles.push_back(t);
    }
    std::stable_sort(out.tiles.begin(), out.tiles.end(), [](const auto& l, const auto& r) {
        return l.lost_cycles_caused > r.lost_cycles_caused;
    });
    return out;
}

// ---- Field-by-field comparisons, doubles bit for bit ---------------------------------------

inline void expect_same(const SuperstepRow& g, const SuperstepRow& w) {
    EXPECT_EQ(g.epoch, w.epoch);
    EXPECT_EQ(g.phase, w.phase);
    EXPECT_EQ(g.tiles, w.tiles);
    EXPECT_EQ(g.start, w.start);
    EXPECT_EQ(g.end, w.end);
    EXPECT_EQ(g.span_cycles, w.span_cycles);
    EXPECT_EQ(bits(g.span_ms), bits(w.span_ms));
    EXPECT_EQ(g.busy_cycles, w.busy_cycles);
    EXPECT_EQ(g.max_busy, w.max_busy);
    EXPECT_EQ(bits(g.max_busy_ms), bits(w.max_busy_ms));
    EXPECT_EQ(g.min_busy, w.min_busy);
    EXPECT_EQ(bits(g.min_busy_ms), bits(w.min_busy_ms));
    EXPECT_EQ(bits(g.mean_busy), bits(w.mean_busy));
    EXPECT_EQ(bits(g.imbalance), bits(w.imbalance));
    EXPECT_EQ(g.straggler, w.straggler);
    EXPECT_EQ(g.lost_cycles, w.lost_cycles);
    EXPECT_EQ(bits(g.lost_ms), bits(w.lost_ms));
    EXPECT_EQ(g.sync_cycles, w.sync_cycles);
    EXPECT_EQ(bits(g.sync_ms), bits(w.sync_ms));
}

inline void expect_same(const DiffFigures& g, const DiffFigures& w) {
    EXPECT_EQ(g.sample_count, w.sample_count);
    EXPECT_EQ(g.tile_count, w.tile_count);
    EXPECT_EQ(g.phase_count, w.phase_count);
    EXPECT_EQ(g.phase_cycles, w.phase_cycles);
    EXPECT_EQ(bits(g.phase_ms), bits(w.phase_ms));
    EXPECT_EQ(g.work_cycles, w.work_cycles);
    EXPECT_EQ(bits(g.average_active_tiles), bits(w.average_active_tiles));
    EXPECT_EQ(bits(g.mean_cycles), bits(w.mean_cycles));
    EXPECT_EQ(g.p95_cycles, w.p95_cycles);
    EXPECT_EQ(g.maximum_cycles, w.maximum_cycles);
}

inline void expect_same(const DiffReport& got, const DiffReport& want) {
    ASSERT_EQ(got.rows.size(), want.rows.size());
    for (std::size_t i = 0; i < got.rows.size(); ++i) {
        const DiffRow& g = got.rows[i];
        const DiffRow& w = want.rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + " " + w.name);
        EXPECT_EQ(g.name, w.name);
        EXPECT_EQ(g.status, w.status);
        expect_same(g.base, w.base);
        expect_same(g.next, w.next);
        EXPECT_EQ(bits(g.delta.phase_ms), bits(w.delta.phase_ms));
        EXPECT_EQ(bits(g.delta.average_active_tiles), bits(w.delta.average_active_tiles));
        EXPECT_EQ(bits(g.delta.mean_cycles), bits(w.delta.mean_cycles));
        EXPECT_EQ(g.delta, w.delta);
        EXPECT_EQ(g.phase_cycles_ratio.has_value(), w.phase_cycles_ratio.has_value());
        if (g.phase_cycles_ratio && w.phase_cycles_ratio) {
            EXPECT_EQ(bits(*g.phase_cycles_ratio), bits(*w.phase_cycles_ratio));
        }
    }
    EXPECT_EQ(bits(got.delta.profile_span_ms), bits(want.delta.profile_span_ms));
    EXPECT_EQ(got, want);
}

inline void expect_same(const SuperstepReport& got, const SuperstepReport& want) {
    ASSERT_EQ(got.occurrences.size(), want.occurrences.size());
    for (std::size_t i = 0; i < got.occurrences.size(); ++i) {
        SCOPED_TRACE("occurrence " + std::to_string(i));
        expect_same(got.occurrences[i], want.occurrences[i]);
    }
    EXPECT_EQ(got.tiles, want.tiles);
    EXPECT_EQ(got, want);
}

// ---- Random profiles and windows -------------------------------------------------------------

/// Most profiles are small: at most 5 tiles of 13 steps, phases 0 to 2, seven kernels
/// (`kernel_offset` shifts which five). One in 25 is large: up to 25 tiles of 99 steps with
/// longer gaps, and kernels from up to 100 names; half of them keep to phase 0, so that a
/// group's phase occurrence gathers more than 64 runs of steps apart, the others draw phases
/// from a pool of up to 120 numbers below 2^20 + 64, so that groups and supersteps number more
/// than 64.
inline ProfileReport random_profile(std::mt19937_64& random, int kernel_offset) {
    const char* small_kernels[] = {"", "add", "gemm", "Add", "(no kernel)", "mul", "div"};
    std::vector<std::string> kernels(std::begin(small_kernels), std::end(small_kernels));
    std::vector<std::uint32_t> phases{0, 1, 2};
    const bool large = random() % 25 == 0;
    if (large) {
        for (int k = 0, count = 1 + random() % 100; k < count; ++k) {
            kernels.push_back("k" + std::to_string(k + 7));
        }
        if (random() % 2 == 0) {
            phases = {0};
        }
        for (int p = 0, count = phases.size() == 1 ? 0 : random() % 120; p < count; ++p) {
            phases.push_back(random() % 2 == 0 ? random() % 130 : random() % ((1U << 20) + 64));
        }
    }
    const auto kernel = [&] {
        return large ? kernels[random() % kernels.size()]
                     : kernels[(kernel_offset + random() % 5) % 7];
    };
    ProfileReport report;
    report.clock_hz = random() % 4 == 0 ? 0 : 1 + random() % 2'000'000'000;
    const int tiles = large ? 6 + random() % 20 : random() % 6;
    for (int t = 0; t < tiles; ++t) {
        vorn_package::TileProfile tile;
        // Repeats happen.
        tile.physical_tile = random() % 5 == 0 ? 4294967295U : large ? random() % 48 : random() % 4;
        // Some tiles start close to 2^32, so that their counter wraps during the run.
        std::uint32_t clock = random() % 3 == 0 ? 4294967295U - random() % 200 : random();
        const int samples = large ? random() % 100 : random() % 14;
        for (int s = 0; s < samples; ++s) {
            vorn_package::CycleSample sample;
            if (random() % 12 == 0) {
                clock -= random() % 300;  // before the tile's base: an offset near 2^32
            }
            sample.start_cycle = clock;
            sample.end_cycle = clock + (random() % 4 == 0 ? 0 : random() % 60);
            if (random() % (large ? 1000 : 30) == 0) {
                sample.end_cycle = clock - 1 - random() % 5;  // a length near 2^32
            }
            clock = sample.end_cycle + random() % 3 * (random() % (large ? 400 : 20));
            sample.step.phase = phases[random() % phases.size()];
            sample.step.epoch = random() % 2;
            sample.step.kind = ProfileStepKind(random() % 4);
            sample.step.kernel = kernel();
            sample.step.operation = "op" + std::to_string(random() % 3);
            if (random() % 3 == 0) {
                sample.step.metadata.push_back({"block", std::to_string(random() % 3)});
            }
            tile.samples.push_back(sample);
        }
        report.tiles.push_back(tile);
    }
    return report;
}

inline Query random_query(std::mt19937_64& random) {
    Query q;
    q.group_by = GroupBy(random() % 6);
    q.sort_by = SortBy(random() % 5);
    q.metadata_key = "block";
    if (random() % 6 == 0)
        q.kind = StepKind(random() % 4);
    if (random() % 8 == 0)
        q.kernel = random() % 2 ? "" : "gemm";
    if (random() % 8 == 0)
        q.tiles = {std::uint32_t(random() % 4), 4294967295U};
    if (random() % 8 == 0)
        q.phases = {std::uint32_t(random() % 3)};
    if (random() % 8 == 0) {
        // Numbers over several words of bits, now and then one past 2^20.
        q.phases.clear();
        for (int n = 1 + random() % 8; n > 0; --n) {
            q.phases.insert(random() % 4 == 0 ? random() % ((1U << 20) + 64) : random() % 130);
        }
    }
    if (random() % 8 == 0)
        q.at_offset = random() % 200;
    if (random() % 4 == 0)
        q.limit = random() % 4;
    if (random() % 3 == 0)
        q.sample_limit = random() % 2 ? UINT64_MAX : random() % 6;
    return q;
}

/// Windows that start at 0, end at 2^64-1, are empty or backwards, hold a single cycle, or
/// begin or end exactly where a step of the profile begins or ends.
inline TimeWindow random_window(std::mt19937_64& random, const ProfileReport& report) {
    std::vector<std::uint64_t> edges{0, 1, 4294967295ULL, 4294967296ULL};
    for (const auto& tile : report.tiles) {
        for (const auto& s : tile.samples) {
            const std::uint64_t offset = std::uint32_t(s.start_cycle - tile.samples[0].start_cycle);
            edges.push_back(offset);
            edges.push_back(offset + std::uint32_t(s.end_cycle - s.start_cycle));
        }
    }
    auto pick = [&] {
        switch (random() % 4) {
            case 0:
                return edges[random() % edges.size()];
            case 1:
                return edges[random() % edges.size()] + 1;
            default:
                return std::uint64_t(random() % 400);
        }
    };
    TimeWindow w;
    switch (random() % 6) {
        case 0:
            break;  // the whole line
        case 1:
            w.to = pick();  // from 0
            break;
        case 2:
            w.from = pick();  // to 2^64-1
            break;
        case 3:
            w.from = pick();
            w.to = w.from + (random() % 3 == 0 ? 0 : 1);  // empty, or one cycle
            break;
        default:
            w.from = pick();
            w.to = pick();  // sometimes backwards
    }
    return w;
}

}  // namespace vorn_profile::analyses_model

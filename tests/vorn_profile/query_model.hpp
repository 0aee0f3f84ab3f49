// A plain model of the query rules, written with no regard for speed (maps keyed by built
// names, every list sorted in full), and a field by field comparison of a report with the
// model's, doubles bit for bit. The random cases that feed it are in model_random.hpp.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "model_patterns.hpp"
#include "model_random.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile::model {

struct ModelGroup {
    std::map<std::string, std::string> dimensions;
    std::vector<std::uint32_t> durations;
    std::set<std::uint32_t> tiles;
    std::map<std::pair<std::uint32_t, std::uint32_t>,
             std::vector<std::pair<std::uint64_t, std::uint64_t>>>
        phases;
    std::vector<std::string> keys;
    std::uint64_t work = 0, first = 0, last = 0;
};

inline std::string model_kind(vorn_package::ProfileStepKind kind) {
    const char* names[] = {"exchange", "compute", "synchronization", "idle"};
    return names[static_cast<int>(kind)];
}

inline bool model_matches(const Query& q, std::uint32_t tile, const vorn_package::CycleSample& s,
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
    if (!q.epochs.empty() && q.epochs.count(st.epoch) == 0)
        return false;
    for (const StepKind k : q.exclude_kinds)
        if (static_cast<int>(k) == static_cast<int>(st.kind))
            return false;
    for (const std::string& k : q.exclude_kernels)
        if (k == st.kernel)
            return false;
    // The test patterns mean the same in RE2 and ECMAScript.
    if (q.kernel_matches && !contains_match(st.kernel, *q.kernel_matches))
        return false;
    if (q.operation_matches && !contains_match(st.operation, *q.operation_matches))
        return false;
    return true;
}

/// The part [start, end) of a step at `offset` of `length` cycles that counts in window `w`:
/// a step of positive length counts with its cycles inside the window, if it has any; a step
/// of length 0 counts when its offset lies inside.
inline std::optional<std::pair<std::uint64_t, std::uint64_t>> model_part_in_window(
    const TimeWindow& w, std::uint64_t offset, std::uint32_t length) {
    if (length == 0) {
        if (w.from <= offset && offset < w.to)
            return std::make_pair(offset, offset);
        return std::nullopt;
    }
    const std::uint64_t start = std::max(offset, w.from);
    const std::uint64_t end = std::min(offset + length, w.to);
    if (start >= end)
        return std::nullopt;
    return std::make_pair(start, end);
}

inline std::pair<std::string, std::map<std::string, std::string>> model_single_key(
    const Query& q, GroupBy key, std::uint32_t tile, const vorn_package::ProfileStep& st) {
    switch (key) {
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

/// The group's name, dimensions and, with several keys, each key's own name.
struct ModelKey {
    std::string name;
    std::map<std::string, std::string> dimensions;
    std::vector<std::string> keys;
};

inline ModelKey model_key(const Query& q, std::uint32_t tile, const vorn_package::ProfileStep& st) {
    if (q.then_group_by.empty()) {
        auto [name, dims] = model_single_key(q, q.group_by, tile, st);
        return {name, dims, {}};
    }
    std::vector<GroupBy> keys{q.group_by};
    keys.insert(keys.end(), q.then_group_by.begin(), q.then_group_by.end());
    ModelKey out;
    for (const GroupBy key : keys) {
        auto [name, dims] = model_single_key(q, key, tile, st);
        out.name += (out.keys.empty() ? "" : " | ") + name;
        out.keys.push_back(name);
        out.dimensions.insert(dims.begin(), dims.end());
        if (key == GroupBy::Kind)
            out.dimensions["kind"] = name;
        if (key == GroupBy::Kernel)
            out.dimensions["kernel"] = name;
        if (key == GroupBy::Operation)
            out.dimensions["operation"] = name;
    }
    return out;
}

/// The ordering key of a group under `sort_by`; larger first, 0 for `Name`.
inline std::uint64_t model_sort_key(SortBy sort_by, const GroupSummary& s) {
    switch (sort_by) {
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
}

/// Puts groups in report order: the key, then the name for `Name`, then the earlier first
/// offset, then the name.
inline void model_sort(SortBy sort_by, std::vector<GroupSummary>& groups) {
    std::sort(groups.begin(), groups.end(), [&](const GroupSummary& l, const GroupSummary& r) {
        const std::uint64_t kl = model_sort_key(sort_by, l), kr = model_sort_key(sort_by, r);
        if (kl != kr)
            return kl > kr;
        if (sort_by == SortBy::Name && l.name != r.name)
            return l.name < r.name;
        if (l.first_offset != r.first_offset)
            return l.first_offset < r.first_offset;
        return l.name < r.name;
    });
}

/// The query over window `w`: the filter sees each whole step, then the step counts with its
/// part inside the window only. The totals stay the whole profile's.
inline QueryReport model_query(const vorn_package::ProfileReport& report, const Query& q,
                               const TimeWindow& w = {}) {
    QueryReport out;
    out.clock_hz = report.clock_hz;
    out.tile_count = report.tiles.size();
    out.at_offset = q.at_offset;
    out.percentiles = q.percentiles;
    std::map<std::string, ModelGroup> groups;
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint32_t, std::size_t,
                           const vorn_package::CycleSample*>>
        candidates;
    for (const auto& tile : report.tiles) {
        for (const auto& s : tile.samples) {
            const std::uint32_t base = tile.samples[0].start_cycle;
            const std::uint64_t whole_offset = std::uint32_t(s.start_cycle - base);
            const std::uint32_t whole_length = std::uint32_t(s.end_cycle - s.start_cycle);
            out.sample_count++;
            out.profile_span_cycles =
                std::max(out.profile_span_cycles, whole_offset + whole_length);
            if (!model_matches(q, tile.physical_tile, s, whole_offset, whole_length))
                continue;
            const auto part = model_part_in_window(w, whole_offset, whole_length);
            if (!part)
                continue;
            const std::uint64_t offset = part->first;
            const std::uint32_t length = std::uint32_t(part->second - part->first);
            out.matched_sample_count++;
            ModelKey key = model_key(q, tile.physical_tile, s.step);
            auto [it, fresh] = groups.try_emplace(key.name);
            ModelGroup& g = it->second;
            if (fresh) {
                g.dimensions = key.dimensions;
                g.keys = key.keys;
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
    std::uint64_t all_work = 0;
    for (const auto& [name, g] : groups)
        all_work += g.work;
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
        s.minimum_cycles = g.durations.front();
        __extension__ typedef unsigned __int128 u128;
        u128 squares = 0;
        for (const std::uint32_t d : g.durations)
            squares += u128(d) * d;
        const u128 spread = u128(n) * squares - u128(g.work) * g.work;
        s.stddev_cycles = std::sqrt(double(spread) / double(u128(n) * n));
        s.share = all_work == 0 ? 0.0 : double(g.work) / double(all_work);
        for (const std::uint32_t p : q.percentiles)
            s.percentile_cycles.push_back(g.durations[std::size_t(u128(n - 1) * p / 100000)]);
        s.keys = g.keys;
        out.groups.push_back(s);
    }
    model_sort(q.sort_by, out.groups);
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

inline std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

/// Every field equal, doubles bit for bit.
inline bool same_group(const GroupSummary& g, const GroupSummary& w) {
    return g.name == w.name && g.dimensions == w.dimensions && g.sample_count == w.sample_count &&
           g.tile_count == w.tile_count && g.phase_count == w.phase_count &&
           g.phase_cycles == w.phase_cycles && bits(g.phase_ms) == bits(w.phase_ms) &&
           g.work_cycles == w.work_cycles &&
           bits(g.average_active_tiles) == bits(w.average_active_tiles) &&
           bits(g.mean_cycles) == bits(w.mean_cycles) && g.p50_cycles == w.p50_cycles &&
           g.p95_cycles == w.p95_cycles && g.maximum_cycles == w.maximum_cycles &&
           g.first_offset == w.first_offset && g.last_offset == w.last_offset &&
           g.minimum_cycles == w.minimum_cycles && bits(g.stddev_cycles) == bits(w.stddev_cycles) &&
           bits(g.share) == bits(w.share) && g.percentile_cycles == w.percentile_cycles &&
           g.keys == w.keys;
}

/// The report against the model's; of the groups, the first that differs is shown field by
/// field, so that a report of 10^5 groups stays readable.
inline void expect_same(const QueryReport& got, const QueryReport& want) {
    EXPECT_EQ(got.groups.size(), want.groups.size());
    for (std::size_t i = 0; i < std::min(got.groups.size(), want.groups.size()); ++i) {
        const GroupSummary& g = got.groups[i];
        const GroupSummary& w = want.groups[i];
        if (same_group(g, w)) {
            continue;
        }
        SCOPED_TRACE("group " + std::to_string(i) + " " + w.name);
        EXPECT_EQ(g.name, w.name);
        EXPECT_EQ(g.dimensions, w.dimensions);
        EXPECT_EQ(g.sample_count, w.sample_count);
        EXPECT_EQ(g.tile_count, w.tile_count);
        EXPECT_EQ(g.phase_count, w.phase_count);
        EXPECT_EQ(g.phase_cycles, w.phase_cycles);
        EXPECT_EQ(bits(g.phase_ms), bits(w.phase_ms));
        EXPECT_EQ(g.work_cycles, w.work_cycles);
        EXPECT_EQ(bits(g.average_active_tiles), bits(w.average_active_tiles));
        EXPECT_EQ(bits(g.mean_cycles), bits(w.mean_cycles));
        EXPECT_EQ(g.p50_cycles, w.p50_cycles);
        EXPECT_EQ(g.p95_cycles, w.p95_cycles);
        EXPECT_EQ(g.maximum_cycles, w.maximum_cycles);
        EXPECT_EQ(g.first_offset, w.first_offset);
        EXPECT_EQ(g.last_offset, w.last_offset);
        EXPECT_EQ(g.minimum_cycles, w.minimum_cycles);
        EXPECT_EQ(bits(g.stddev_cycles), bits(w.stddev_cycles));
        EXPECT_EQ(bits(g.share), bits(w.share));
        EXPECT_EQ(g.percentile_cycles, w.percentile_cycles);
        EXPECT_EQ(g.keys, w.keys);
        break;
    }
    EXPECT_EQ(got.percentiles, want.percentiles);
    EXPECT_EQ(got.samples, want.samples);
    EXPECT_EQ(bits(got.profile_span_ms), bits(want.profile_span_ms));
    EXPECT_EQ(got.clock_hz, want.clock_hz);
    EXPECT_EQ(got.tile_count, want.tile_count);
    EXPECT_EQ(got.sample_count, want.sample_count);
    EXPECT_EQ(got.matched_sample_count, want.matched_sample_count);
    EXPECT_EQ(got.profile_span_cycles, want.profile_span_cycles);
    EXPECT_EQ(got.at_offset, want.at_offset);
}

}  // namespace vorn_profile::model

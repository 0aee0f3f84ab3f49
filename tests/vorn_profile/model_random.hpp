// Random profiles, queries and time windows for the plain model of the query rules: small
// profiles with repeated tiles, edge phase numbers and awkward names, queries that mix every
// filter, grouping and statistic, and windows whose edges fall on or beside a step's.
#pragma once

#include <algorithm>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "vorn_package/profile.hpp"
#include "vorn_profile/analyses.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile::model {

/// Phase numbers on either side of the edges a set of phases has inside: words of 32 and 64
/// bits, 2^20, and the largest number.
inline constexpr std::uint32_t kEdgePhases[] = {
    31, 32, 33, 63, 64, 65, 127, 128, 1000, 1048575, 1048576, 1048577, 1048639, 4294967295U};

/// A phase of a random step: mostly 0 to 2, now and then one of the edge phases.
inline std::uint32_t random_phase(std::mt19937_64& random) {
    return random() % 4 == 0 ? kEdgePhases[random() % std::size(kEdgePhases)]
                             : std::uint32_t(random() % 3);
}

inline vorn_package::ProfileReport random_profile(std::mt19937_64& random) {
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
            sample.step.phase = random_phase(random);
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

inline Query random_query(std::mt19937_64& random) {
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
    if (random() % 4 == 0) {
        q.phases.clear();
        for (int n = 1 + random() % 3; n > 0; --n)
            q.phases.insert(random_phase(random));
    }
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
    if (random() % 6 == 0)
        q.epochs = {std::uint32_t(random() % 2)};
    if (random() % 8 == 0)
        q.epochs = {std::uint32_t(random() % 2), 4294967295U};
    const char* patterns[] = {"^g", "d+", "^$", "A|e", "(?:op)[12]", "^op0$", "[a-z]{3}"};
    if (random() % 6 == 0)
        q.kernel_matches = patterns[random() % std::size(patterns)];
    if (random() % 6 == 0)
        q.operation_matches = patterns[random() % std::size(patterns)];
    if (random() % 6 == 0)
        q.exclude_kinds = {StepKind(random() % 4), StepKind(random() % 4)};
    if (random() % 6 == 0)
        q.exclude_kernels = {random() % 2 ? "" : "gemm"};
    if (random() % 3 == 0) {
        // Two or three distinct keys.
        std::vector<GroupBy> all{GroupBy::Kind,  GroupBy::Kernel, GroupBy::Operation,
                                 GroupBy::Phase, GroupBy::Tile,   GroupBy::Metadata};
        std::shuffle(all.begin(), all.end(), random);
        q.group_by = all[0];
        q.then_group_by.assign(all.begin() + 1, all.begin() + 2 + random() % 2);
    }
    if (random() % 4 == 0) {
        for (int n = 1 + random() % 3; n > 0; --n)
            q.percentiles.push_back(random() % 3 == 0 ? std::uint32_t(random() % 100001)
                                                      : std::uint32_t(random() % 101) * 1000);
    }
    return q;
}

/// Windows over the whole line, from 0, to 2^64-1, empty, backwards, one cycle wide, or with
/// an edge exactly where a step of `report` begins or ends, or one cycle either side of it.
inline TimeWindow random_window(std::mt19937_64& random,
                                const vorn_package::ProfileReport& report) {
    std::vector<std::uint64_t> edges{0, 4294967295ULL, 4294967296ULL, UINT64_MAX};
    for (const auto& tile : report.tiles) {
        for (const auto& s : tile.samples) {
            const std::uint64_t offset = std::uint32_t(s.start_cycle - tile.samples[0].start_cycle);
            edges.push_back(offset);
            edges.push_back(offset + std::uint32_t(s.end_cycle - s.start_cycle));
        }
    }
    auto pick = [&]() -> std::uint64_t {
        const std::uint64_t edge = edges[random() % edges.size()];
        switch (random() % 4) {
            case 0:
                return edge;
            case 1:
                return edge == UINT64_MAX ? edge : edge + 1;
            case 2:
                return edge == 0 ? edge : edge - 1;
            default:
                return random() % 300;
        }
    };
    TimeWindow w;
    switch (random() % 6) {
        case 0:
            break;
        case 1:
            w.to = pick();
            break;
        case 2:
            w.from = pick();
            break;
        case 3:
            w.from = pick();
            w.to = w.from == UINT64_MAX ? w.from : w.from + random() % 2;
            break;
        default:
            w.from = pick();
            w.to = pick();
    }
    return w;
}

}  // namespace vorn_profile::model

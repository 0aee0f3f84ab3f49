// Queries over profiles with many groups: every sample its own kernel, every tile (of one sample)
// its own group, every sample its own phase occurrence; at 10^4, 10^5 and 10^6 groups, over
// records and over columns, with all groups and with the ten first. Each profile is also asked a
// query that puts all its samples in one group, which costs the walk over the samples and
// nothing per group. The table at the end gives what a group costs beyond that walk: time and
// heap bytes per group, and how the time grows from 10^5 to 10^6 groups.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "vorn_profile/query.hpp"

namespace {

using vorn_package::ProfileReport;
using vorn_profile::GroupBy;
using vorn_profile::Query;

/// How a profile makes its groups.
struct Shape {
    const char* name;
    GroupBy many;  // a group per sample
    GroupBy one;   // all samples in one group
};
constexpr Shape kShapes[] = {
    {"kernel", GroupBy::Kernel, GroupBy::Phase},  // one phase occurrence
    {"tile", GroupBy::Tile, GroupBy::Kernel},     // one kernel
    {"phase", GroupBy::Phase, GroupBy::Kind},     // one kind
};
constexpr std::uint64_t kGroupCounts[] = {10'000, 100'000, 1'000'000};
constexpr std::uint32_t kTilesOfManySamples = 100;
constexpr int kRepetitions = 3;

/// A profile of `groups` samples. Durations vary (1 to 1000 cycles) so that the ordering has
/// work to do; steps follow each other on a tile with small gaps.
ProfileReport make_profile(const Shape& shape, std::uint64_t groups) {
    const bool tile_per_sample = shape.many == GroupBy::Tile;
    const std::uint64_t tiles = tile_per_sample ? groups : kTilesOfManySamples;
    const std::uint64_t per_tile = groups / tiles;
    ProfileReport report;
    report.clock_hz = 1'330'000'000;
    report.tiles.resize(tiles);
    std::uint64_t random = 0x9e3779b97f4a7c15ULL;
    std::uint64_t number = 0;
    for (std::uint64_t t = 0; t < tiles; ++t) {
        vorn_package::TileProfile& tile = report.tiles[t];
        tile.physical_tile = static_cast<std::uint32_t>(t);
        tile.samples.resize(per_tile);
        std::uint32_t clock = static_cast<std::uint32_t>(t * 7919);
        for (std::uint64_t i = 0; i < per_tile; ++i, ++number) {
            random = random * 6364136223846793005ULL + 1442695040888963407ULL;
            vorn_package::CycleSample& sample = tile.samples[i];
            sample.start_cycle = clock;
            sample.end_cycle = clock + 1 + static_cast<std::uint32_t>((random >> 33) % 1000);
            clock = sample.end_cycle + static_cast<std::uint32_t>((random >> 20) % 16);
            sample.step.local_index = static_cast<std::uint32_t>(i);
            sample.step.kind = vorn_package::ProfileStepKind::Compute;
            sample.step.operation = "matmul";
            if (shape.many == GroupBy::Kernel) {
                sample.step.kernel = "layer " + std::to_string(number) + "/matmul_fwd";
            } else {
                sample.step.kernel = "matmul_fwd";
            }
            if (shape.many == GroupBy::Phase) {
                sample.step.phase = static_cast<std::uint32_t>(i);
                sample.step.epoch = static_cast<std::uint32_t>(t);
            }
        }
    }
    return report;
}

/// The profile of one shape and size, as records and as columns. Only one is held at a time:
/// the benchmarks run shape by shape and size by size.
struct Held {
    const Shape* shape = nullptr;
    std::uint64_t groups = 0;
    std::unique_ptr<ProfileReport> records;
    std::unique_ptr<vorn_package::ProfileColumns> columns;
};

Held& held(const Shape& shape, std::uint64_t groups) {
    static Held current;
    if (current.shape != &shape || current.groups != groups) {
        current.records.reset();
        current.columns.reset();
        current.records = std::make_unique<ProfileReport>(make_profile(shape, groups));
        current.columns = std::make_unique<vorn_package::ProfileColumns>(
            vorn_package::to_columns(*current.records));
        current.shape = &shape;
        current.groups = groups;
    }
    return current;
}

enum class Entry { Records, Columns };
enum class Ask { One, All, Limit10 };
constexpr const char* kEntryNames[] = {"records", "columns"};
constexpr const char* kAskNames[] = {"one", "all", "limit-10"};

Query query_for(const Shape& shape, Ask ask) {
    Query query;
    query.group_by = ask == Ask::One ? shape.one : shape.many;
    if (ask == Ask::Limit10) {
        query.limit = 10;
    }
    return query;
}

template <class Profile>
void run(benchmark::State& state, const Profile& profile, const Query& query,
         std::uint64_t groups) {
    const std::size_t baseline = vorn_bench::live_bytes();
    vorn_bench::reset_peak();
    std::uint64_t reported = 0;
    for (auto _ : state) {
        const vorn_profile::QueryReport report = vorn_profile::query(profile, query);
        reported = report.groups.size();
        benchmark::DoNotOptimize(report);
    }
    state.counters["extra_bytes"] = static_cast<double>(vorn_bench::peak_bytes() - baseline);
    state.counters["groups"] = static_cast<double>(reported);
    state.counters["ns_per_group"] = benchmark::Counter(
        static_cast<double>(groups) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void query_pass(benchmark::State& state, const Shape& shape, std::uint64_t groups, Entry entry,
                Ask ask) {
    const Held& profile = held(shape, groups);
    const Query query = query_for(shape, ask);
    if (entry == Entry::Records) {
        run(state, *profile.records, query, groups);
    } else {
        run(state, *profile.columns, query, groups);
    }
}

/// Prints the usual console output, then the per-group table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) {
                continue;
            }
            // CPU time per query, the least of the repetitions: on a shared machine other
            // processes only ever add to it.
            const double seconds =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const auto [it, fresh] = measured_.try_emplace(
                run.run_name.function_name, Measure{seconds, run.counters.at("extra_bytes")});
            it->second.seconds = std::min(it->second.seconds, seconds);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf(
            "\nPer group beyond the walk: (query - one-group query) / groups, time and peak heap "
            "beyond the input.\n");
        std::printf("%-7s %-8s %9s %9s %9s %9s %10s %10s %10s %10s %9s %9s\n", "shape", "entry",
                    "groups", "one ms", "all ms", "lim10 ms", "all ns/g", "lim10 ns/g", "all B/g",
                    "lim10 B/g", "all x10", "lim10 x10");
        for (const Shape& shape : kShapes) {
            for (const char* entry : kEntryNames) {
                for (const std::uint64_t groups : kGroupCounts) {
                    print_row(shape.name, entry, groups);
                }
            }
        }
        std::printf(
            "x10: time of the query at 10^6 groups over its time at 10^5 (10 times the groups "
            "and samples).\n");
        std::fflush(stdout);
    }

private:
    struct Measure {
        double seconds = 0;
        double extra_bytes = 0;
    };

    static std::string name(const char* shape, const char* entry, std::uint64_t groups,
                            const char* ask) {
        return std::string(shape) + "/" + entry + "/" + std::to_string(groups) + "/" + ask;
    }

    const Measure* find(const std::string& key) const {
        const auto it = measured_.find(key);
        return it == measured_.end() ? nullptr : &it->second;
    }

    /// One row; a cell whose benchmarks did not run (see --benchmark_filter) shows "-".
    void print_row(const char* shape, const char* entry, std::uint64_t groups) const {
        const Measure* one = find(name(shape, entry, groups, "one"));
        const Measure* all = find(name(shape, entry, groups, "all"));
        const Measure* limit = find(name(shape, entry, groups, "limit-10"));
        if (one == nullptr && all == nullptr && limit == nullptr) {
            return;
        }
        const auto g = static_cast<double>(groups);
        const auto cell = [](bool known, double value) {
            char text[32] = "-";
            if (known) {
                std::snprintf(text, sizeof text, "%.2f", value);
            }
            return std::string(text);
        };
        const auto time_ms = [&](const Measure* m) {
            return cell(m != nullptr, m ? m->seconds * 1e3 : 0);
        };
        const auto ns_per_group = [&](const Measure* m) {
            return cell(m != nullptr && one != nullptr,
                        m && one ? (m->seconds - one->seconds) * 1e9 / g : 0);
        };
        const auto bytes_per_group = [&](const Measure* m) {
            return cell(m != nullptr && one != nullptr,
                        m && one ? (m->extra_bytes - one->extra_bytes) / g : 0);
        };
        const auto growth = [&](const char* ask, const Measure* now) {
            const Measure* before = find(name(shape, entry, groups / 10, ask));
            return cell(now != nullptr && before != nullptr && before->seconds > 0,
                        now && before ? now->seconds / before->seconds : 0);
        };
        std::printf("%-7s %-8s %9llu %9s %9s %9s %10s %10s %10s %10s %9s %9s\n", shape, entry,
                    static_cast<unsigned long long>(groups), time_ms(one).c_str(),
                    time_ms(all).c_str(), time_ms(limit).c_str(), ns_per_group(all).c_str(),
                    ns_per_group(limit).c_str(), bytes_per_group(all).c_str(),
                    bytes_per_group(limit).c_str(), growth("all", all).c_str(),
                    growth("limit-10", limit).c_str());
    }

    std::map<std::string, Measure> measured_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Shape& shape : kShapes) {
        for (const std::uint64_t groups : kGroupCounts) {
            for (const Entry entry : {Entry::Records, Entry::Columns}) {
                for (const Ask ask : {Ask::One, Ask::All, Ask::Limit10}) {
                    const std::string name =
                        std::string(shape.name) + "/" + kEntryNames[static_cast<int>(entry)] + "/" +
                        std::to_string(groups) + "/" + kAskNames[static_cast<int>(ask)];
                    benchmark::RegisterBenchmark(name.c_str(), query_pass, shape, groups, entry,
                                                 ask)
                        ->Unit(benchmark::kMillisecond)
                        ->Repetitions(kRepetitions);
                }
            }
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

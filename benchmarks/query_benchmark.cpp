// Query benchmarks over generated profiles of three sizes, against a floor: one pass that reads
// only what the default query must read of each sample. At the end a table gives, per query and
// size, nanoseconds per sample, the ratio to the floor of the same size and the memory a query
// needed beyond its input.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "vorn_package/synthetic_profile.hpp"
#include "vorn_profile/query.hpp"

namespace {

struct Size {
    const char* name;
    std::uint32_t tiles;
    std::uint32_t steps_per_tile;
};
constexpr Size kSizes[] = {{"small", 16, 100}, {"medium", 1472, 100}, {"large", 1472, 1000}};

const vorn_package::ProfileReport& profile_of(const Size& size) {
    static std::map<std::string, std::unique_ptr<vorn_package::ProfileReport>> profiles;
    auto& slot = profiles[size.name];
    if (!slot) {
        slot = std::make_unique<vorn_package::ProfileReport>(vorn_package::synthetic_profile(
            {.tiles = size.tiles, .steps_per_tile = size.steps_per_tile}));
    }
    return *slot;
}

std::uint64_t sample_count(const vorn_package::ProfileReport& profile) {
    std::uint64_t count = 0;
    for (const auto& tile : profile.tiles) {
        count += tile.samples.size();
    }
    return count;
}

/// An offset in the middle of the tiles' time lines: a few samples per tile run there.
std::uint64_t middle_offset(const vorn_package::ProfileReport& profile) {
    vorn_profile::Query totals_only;
    totals_only.limit = 0;
    return vorn_profile::query(profile, totals_only).profile_span_cycles / 2;
}

struct NamedQuery {
    const char* name;
    void (*set)(vorn_profile::Query&, const vorn_package::ProfileReport&);
};

using vorn_package::ProfileReport;
using vorn_profile::Query;

const NamedQuery kQueries[] = {
    {"default", [](Query&, const ProfileReport&) {}},
    {"group-by-phase",
     [](Query& q, const ProfileReport&) { q.group_by = vorn_profile::GroupBy::Phase; }},
    {"group-by-block",
     [](Query& q, const ProfileReport&) {
         q.group_by = vorn_profile::GroupBy::Metadata;
         q.metadata_key = "block";
     }},
    {"compute-operation",
     [](Query& q, const ProfileReport&) {
         q.kind = vorn_profile::StepKind::Compute;
         q.operation_contains = "matmul";
     }},
    {"at-offset", [](Query& q, const ProfileReport& p) { q.at_offset = middle_offset(p); }},
    {"sample-limit-10", [](Query& q, const ProfileReport&) { q.sample_limit = 10; }},
    {"group-by-tile-limit-5",
     [](Query& q, const ProfileReport&) {
         q.group_by = vorn_profile::GroupBy::Tile;
         q.limit = 5;
     }},
};

void set_counters(benchmark::State& state, std::uint64_t samples, std::size_t extra_bytes) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * samples));
    state.counters["ns_per_sample"] = benchmark::Counter(
        static_cast<double>(samples) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["extra_mb"] = static_cast<double>(extra_bytes) / 1e6;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1e3;
}

void floor_pass(benchmark::State& state, const Size& size) {
    const vorn_package::ProfileReport& profile = profile_of(size);
    for (auto _ : state) {
        std::uint64_t checksum = 0;
        for (const auto& tile : profile.tiles) {
            for (const auto& sample : tile.samples) {
                for (const char byte : sample.step.kernel) {
                    checksum = checksum * 31 + static_cast<unsigned char>(byte);
                }
                checksum += sample.step.phase ^ (std::uint64_t{sample.step.epoch} << 32);
                checksum += sample.start_cycle * 7 + sample.end_cycle;
            }
        }
        benchmark::DoNotOptimize(checksum);
    }
    set_counters(state, sample_count(profile), 0);
}

void query_pass(benchmark::State& state, const Size& size, const NamedQuery& named) {
    const vorn_package::ProfileReport& profile = profile_of(size);
    vorn_profile::Query query;
    named.set(query, profile);
    const std::size_t baseline = vorn_bench::live_bytes();
    vorn_bench::reset_peak();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorn_profile::query(profile, query));
    }
    set_counters(state, sample_count(profile), vorn_bench::peak_bytes() - baseline);
}

/// Prints the usual console output, then the summary table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            rows_.push_back({run.benchmark_name(), run.counters.at("ns_per_sample").value,
                             run.counters.at("extra_mb").value,
                             run.counters.at("peak_rss_mb").value});
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::map<std::string, double> floors;
        for (const Row& row : rows_) {
            if (row.name.starts_with("floor/")) {
                floors[row.name.substr(6)] = row.ns_per_sample;
            }
        }
        std::printf("\n%-24s %-7s %14s %14s %12s %13s\n", "query", "size", "ns per sample",
                    "ratio to floor", "extra MB", "peak RSS MB");
        for (const Row& row : rows_) {
            const std::size_t slash = row.name.find('/');
            const std::string query = row.name.substr(0, slash);
            const std::string size = row.name.substr(slash + 1);
            const double floor = floors.count(size) ? floors[size] : 0.0;
            std::printf("%-24s %-7s %14.2f %14.2f %12.1f %13.1f\n", query.c_str(), size.c_str(),
                        row.ns_per_sample, floor > 0 ? row.ns_per_sample / floor : 0.0,
                        row.extra_mb, row.peak_rss_mb);
        }
        std::fflush(stdout);
    }

private:
    struct Row {
        std::string name;
        double ns_per_sample;
        double extra_mb;
        double peak_rss_mb;
    };
    std::vector<Row> rows_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const Size& size : kSizes) {
        benchmark::RegisterBenchmark((std::string("floor/") + size.name).c_str(), floor_pass, size)
            ->Unit(benchmark::kMillisecond);
        for (const NamedQuery& named : kQueries) {
            benchmark::RegisterBenchmark((std::string(named.name) + "/" + size.name).c_str(),
                                         query_pass, size, named)
                ->Unit(benchmark::kMillisecond);
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

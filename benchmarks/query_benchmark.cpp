// Query benchmarks over generated profiles of three sizes, held as records and as columns, each
// against a floor: one pass over the same representation that reads only what the default query
// must read of each sample. At the end a table gives, per query and size, nanoseconds per sample
// over records and over columns, the speed-up of columns, their ratio to the columns floor and
// the memory a query needed beyond its input.
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

const vorn_package::ProfileColumns& columns_of(const Size& size) {
    static std::map<std::string, std::unique_ptr<vorn_package::ProfileColumns>> columns;
    auto& slot = columns[size.name];
    if (!slot) {
        slot = std::make_unique<vorn_package::ProfileColumns>(
            vorn_package::to_columns(profile_of(size)));
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

/// The same floor over columns: the kernel's text number through the step table, phase, epoch
/// and both readings.
void columns_floor_pass(benchmark::State& state, const Size& size) {
    const vorn_package::ProfileColumns& columns = columns_of(size);
    for (auto _ : state) {
        std::uint64_t checksum = 0;
        const std::uint64_t samples = columns.sample_count();
        for (std::uint64_t i = 0; i < samples; ++i) {
            checksum = checksum * 31 + columns.step_kernel[columns.step[i]];
            checksum += columns.phase[i] ^ (std::uint64_t{columns.epoch[i]} << 32);
            checksum += columns.start_cycle[i] * 7 + columns.end_cycle[i];
        }
        benchmark::DoNotOptimize(checksum);
    }
    set_counters(state, columns.sample_count(), 0);
}

template <class Profile>
void run_query(benchmark::State& state, const Profile& profile, const vorn_profile::Query& query,
               std::uint64_t samples) {
    const std::size_t baseline = vorn_bench::live_bytes();
    vorn_bench::reset_peak();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorn_profile::query(profile, query));
    }
    set_counters(state, samples, vorn_bench::peak_bytes() - baseline);
}

void query_pass(benchmark::State& state, const Size& size, const NamedQuery& named) {
    const vorn_package::ProfileReport& profile = profile_of(size);
    vorn_profile::Query query;
    named.set(query, profile);
    run_query(state, profile, query, sample_count(profile));
}

void columns_query_pass(benchmark::State& state, const Size& size, const NamedQuery& named) {
    const vorn_package::ProfileReport& profile = profile_of(size);
    vorn_profile::Query query;
    named.set(query, profile);
    const vorn_package::ProfileColumns& columns = columns_of(size);
    run_query(state, columns, query, columns.sample_count());
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
        // Rows are named records/QUERY/SIZE and columns/QUERY/SIZE; floors are QUERY "floor".
        std::map<std::string, const Row*> by_name;
        for (const Row& row : rows_) {
            by_name[row.name] = &row;
        }
        std::printf("\n%-22s %-7s %12s %12s %9s %13s %10s %10s\n", "query", "size", "records ns",
                    "columns ns", "speed-up", "ratio floor", "extra MB", "peak RSS MB");
        for (const Row& row : rows_) {
            if (!row.name.starts_with("records/")) {
                continue;
            }
            const std::string rest = row.name.substr(8);
            const std::string size = rest.substr(rest.find('/') + 1);
            const auto columns = by_name.find("columns/" + rest);
            const auto floor = by_name.find("columns/floor/" + size);
            if (columns == by_name.end() || floor == by_name.end()) {
                continue;
            }
            const double ns = columns->second->ns_per_sample;
            std::printf("%-22s %-7s %12.2f %12.2f %9.2f %13.2f %10.1f %10.1f\n",
                        rest.substr(0, rest.find('/')).c_str(), size.c_str(), row.ns_per_sample, ns,
                        ns > 0 ? row.ns_per_sample / ns : 0.0,
                        floor->second->ns_per_sample > 0 ? ns / floor->second->ns_per_sample : 0.0,
                        columns->second->extra_mb, columns->second->peak_rss_mb);
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
        const std::string suffix = std::string("/") + size.name;
        benchmark::RegisterBenchmark(("records/floor" + suffix).c_str(), floor_pass, size)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("columns/floor" + suffix).c_str(), columns_floor_pass, size)
            ->Unit(benchmark::kMillisecond);
        for (const NamedQuery& named : kQueries) {
            const std::string name = named.name + suffix;
            benchmark::RegisterBenchmark(("records/" + name).c_str(), query_pass, size, named)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("columns/" + name).c_str(), columns_query_pass, size,
                                         named)
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

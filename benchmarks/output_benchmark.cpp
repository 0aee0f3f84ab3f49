// Writing a large report: the JSON, CSV and table writers of the tool over a report of 10^6
// groups (every sample its own kernel), written through the tool's buffered standard output to
// /dev/null, against the query that made the report. At the end a table gives, per writer,
// nanoseconds per group, the ratio to the query's time and the heap the writer needed beyond
// the report.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "allocation_counter.hpp"
#include "output.hpp"
#include "vorn_package/buffered_output.hpp"
#include "vorn_profile/query.hpp"

namespace {

constexpr std::uint32_t kTiles = 1000;
constexpr std::uint32_t kSamplesPerTile = 1000;
constexpr std::uint64_t kGroups = std::uint64_t{kTiles} * kSamplesPerTile;

/// Every sample has a kernel of its own, so the default query (by kernel) has one group each.
const vorn_package::ProfileReport& profile() {
    static const auto kProfile = [] {
        auto made = std::make_unique<vorn_package::ProfileReport>();
        made->clock_hz = 1'330'000'000;
        for (std::uint32_t t = 0; t < kTiles; ++t) {
            vorn_package::TileProfile& tile = made->tiles.emplace_back();
            tile.physical_tile = t;
            std::uint32_t cycle = 1000 * t;
            for (std::uint32_t i = 0; i < kSamplesPerTile; ++i) {
                vorn_package::CycleSample& sample = tile.samples.emplace_back();
                sample.step.local_index = i;
                sample.step.phase = i % 24;
                sample.step.epoch = i / 24;
                sample.step.operation = "matmul";
                sample.step.kind = vorn_package::ProfileStepKind::Compute;
                sample.step.kernel = "kernel." + std::to_string(t * kSamplesPerTile + i);
                sample.start_cycle = cycle;
                cycle += 50 + (i * 7 + t) % 400;
                sample.end_cycle = cycle;
            }
        }
        return made;
    }();
    return *kProfile;
}

const vorn_profile::QueryReport& report() {
    static const vorn_profile::QueryReport kReport = vorn_profile::query(profile(), {});
    return kReport;
}

void set_counters(benchmark::State& state, std::size_t extra_bytes) {
    state.counters["ns_per_group"] = benchmark::Counter(
        static_cast<double>(kGroups) * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["extra_mb"] = static_cast<double>(extra_bytes) / 1e6;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1e3;
}

void query_pass(benchmark::State& state) {
    const vorn_package::ProfileReport& input = profile();
    for (auto _ : state) {
        benchmark::DoNotOptimize(vorn_profile::query(input, {}));
    }
    set_counters(state, 0);
}

using Writer = void (*)(std::ostream&, const vorn_profile::QueryReport&);

void write_pass(benchmark::State& state, Writer write) {
    const vorn_profile::QueryReport& written = report();
    if (written.groups.size() != kGroups) {
        state.SkipWithError("the report does not have one group per sample");
        return;
    }
    const int fd = open("/dev/null", O_WRONLY);
    const std::size_t baseline = vorn_bench::live_bytes();
    vorn_bench::reset_peak();
    for (auto _ : state) {
        vorn_package::BufferedOutput buffer(fd);
        std::ostream out(&buffer);
        write(out, written);
        if (buffer.finish() != 0) {
            state.SkipWithError("cannot write to /dev/null");
        }
    }
    close(fd);
    set_counters(state, vorn_bench::peak_bytes() - baseline);
}

/// Prints the usual console output, then the summary table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred) {
                rows_.push_back({run.benchmark_name(), run.counters.at("ns_per_group").value,
                                 run.counters.at("extra_mb").value});
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        double query = 0;
        for (const Row& row : rows_) {
            if (row.name.starts_with("query/")) {
                query = row.ns_per_group;
            }
        }
        std::printf("\n%-22s %13s %17s %10s\n", "10^6 groups", "ns per group", "ratio to query",
                    "extra MB");
        for (const Row& row : rows_) {
            std::printf("%-22s %13.1f %17.3f %10.2f\n", row.name.c_str(), row.ns_per_group,
                        query > 0 ? row.ns_per_group / query : 0.0, row.extra_mb);
        }
        std::fflush(stdout);
    }

private:
    struct Row {
        std::string name;
        double ns_per_group;
        double extra_mb;
    };
    std::vector<Row> rows_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("query/1000000", query_pass)->Unit(benchmark::kMillisecond);
    const std::pair<const char*, Writer> writers[] = {
        {"write-json/1000000",
         [](std::ostream& out, const vorn_profile::QueryReport& r) {
             vorn_cli::write_json(out, r);
         }},
        {"write-csv/1000000", vorn_cli::write_csv},
        {"write-table/1000000", [](std::ostream& out, const vorn_profile::QueryReport& r) {
             vorn_cli::write_table(out, r);
         }}};
    for (const auto& [name, writer] : writers) {
        benchmark::RegisterBenchmark(name, write_pass, writer)->Unit(benchmark::kMillisecond);
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

// The analyses on the large generated profile (1472 tiles x 1000 steps), held as records and
// as columns, each beside the query it is measured against: a window query against the same
// query without a window, supersteps against the default query, a diff of two profiles
// against the two queries it runs. The table at the end gives the ratios and their bounds.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "vorn_package/synthetic_profile.hpp"
#include "vorn_profile/analyses.hpp"

namespace {

using vorn_package::ProfileColumns;
using vorn_package::ProfileReport;
using vorn_profile::Query;
using vorn_profile::TimeWindow;

struct Profiles {
    ProfileReport base;
    ProfileReport slowed;  // gemm 1.5 times as long
    ProfileColumns base_columns;
    ProfileColumns slowed_columns;
    TimeWindow half;  // the middle half of the longest time line
};

const Profiles& profiles() {
    static const Profiles kProfiles = [] {
        vorn_package::SyntheticOptions options{.tiles = 1472, .steps_per_tile = 1000};
        Profiles p;
        p.base = vorn_package::synthetic_profile(options);
        options.slow_kernel = "gemm";
        options.slow_factor = 1.5;
        p.slowed = vorn_package::synthetic_profile(options);
        p.base_columns = vorn_package::to_columns(p.base);
        p.slowed_columns = vorn_package::to_columns(p.slowed);
        Query totals_only;
        totals_only.limit = 0;
        const std::uint64_t span = vorn_profile::query(p.base, totals_only).profile_span_cycles;
        p.half = {span / 4, span * 3 / 4};
        return p;
    }();
    return kProfiles;
}

// Every sample passes through the clip, and all but the first of each tile stay in.
constexpr TimeWindow kAlmostAll{1, UINT64_MAX};

template <class Profile>
void run(benchmark::State& state, const char* what, const Profile& base, const Profile& slowed) {
    const Profiles& p = profiles();
    const std::string name = what;
    for (auto _ : state) {
        if (name == "query") {
            benchmark::DoNotOptimize(vorn_profile::query(base, Query{}));
        } else if (name == "window-half") {
            benchmark::DoNotOptimize(vorn_profile::query_window(base, Query{}, p.half));
        } else if (name == "window-almost-all") {
            benchmark::DoNotOptimize(vorn_profile::query_window(base, Query{}, kAlmostAll));
        } else if (name == "supersteps") {
            benchmark::DoNotOptimize(vorn_profile::supersteps(base, Query{}));
        } else if (name == "two-queries") {
            benchmark::DoNotOptimize(vorn_profile::query(base, Query{}));
            benchmark::DoNotOptimize(vorn_profile::query(slowed, Query{}));
        } else if (name == "diff") {
            benchmark::DoNotOptimize(vorn_profile::diff(base, slowed, Query{}));
        }
    }
}

const char* const kWhat[] = {"query",      "window-half", "window-almost-all",
                             "supersteps", "two-queries", "diff"};

/// The ratios of each analysis to its reference, per representation.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            ms_[run.benchmark_name()] = run.GetAdjustedCPUTime();  // the machine is shared
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        struct Line {
            const char* analysis;
            const char* reference;
            double bound;
        };
        const Line lines[] = {{"window-half", "query", 1.2},
                              {"window-almost-all", "query", 1.2},
                              {"supersteps", "query", 2.0},
                              {"diff", "two-queries", 2.2}};
        std::printf("\n%-18s %-12s %6s %11s %11s %9s %11s %11s %9s\n", "analysis", "reference",
                    "bound", "records ms", "ref ms", "ratio", "columns ms", "ref ms", "ratio");
        std::printf("(CPU time per call)\n");
        for (const Line& line : lines) {
            std::printf("%-18s %-12s %6.1f", line.analysis, line.reference, line.bound);
            for (const char* source : {"records/", "columns/"}) {
                const auto analysis = ms_.find(source + std::string(line.analysis));
                const auto reference = ms_.find(source + std::string(line.reference));
                if (analysis == ms_.end() || reference == ms_.end()) {
                    std::printf(" %11s %11s %9s", "-", "-", "-");
                    continue;
                }
                std::printf(" %11.2f %11.2f %9.2f", analysis->second, reference->second,
                            reference->second > 0 ? analysis->second / reference->second : 0.0);
            }
            std::printf("\n");
        }
        std::fflush(stdout);
    }

private:
    std::map<std::string, double> ms_;
};

}  // namespace

int main(int argc, char** argv) {
    for (const char* what : kWhat) {
        benchmark::RegisterBenchmark((std::string("records/") + what).c_str(),
                                     [what](benchmark::State& state) {
                                         run(state, what, profiles().base, profiles().slowed);
                                     })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("columns/") + what).c_str(),
                                     [what](benchmark::State& state) {
                                         run(state, what, profiles().base_columns,
                                             profiles().slowed_columns);
                                     })
            ->Unit(benchmark::kMillisecond);
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

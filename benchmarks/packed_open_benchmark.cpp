// Opening packed files, and reading JSON ones, crafted against hash tables: files whose steps,
// or whose texts, all share one value of a fixed hash, at two sizes, one twice the other.
// Opening checks that no step and no text is stored twice, and the JSON reader interns every
// text and step as it comes; done with a fixed hash either would be quadratic (twice the file,
// four times the time). The table at the end gives each file's open time and the
// growth from the smaller to the larger, and the run fails (exit status 1) when a growth passes
// kMaxGrowth: n log n comes to a little over 2.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "colliding_columns.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/profile_packed.hpp"

namespace {

constexpr double kMaxGrowth = 3.0;
constexpr std::uint32_t kSmall = 32'000;
constexpr std::uint32_t kLarge = 2 * kSmall;
static_assert(kLarge <= vorn_package::colliding::kMaxSteps);

struct Shape {
    const char* name;
    vorn_package::ProfileColumns (*make)(std::uint32_t);
    bool json;  ///< stored as JSON, whose reader interns every text and step as it comes
};
const Shape kShapes[] = {
    {"steps", vorn_package::colliding::steps, false},
    {"texts", vorn_package::colliding::texts, false},
    {"json-texts", vorn_package::colliding::texts, true},
};

/// One tile whose samples name every text of `columns` in turn, as kernels.
vorn_package::ProfileReport naming_every_text(const vorn_package::ProfileColumns& columns) {
    vorn_package::ProfileReport report;
    vorn_package::TileProfile& tile = report.tiles.emplace_back();
    for (std::uint32_t t = 0; t < columns.text_count(); ++t) {
        vorn_package::CycleSample& sample = tile.samples.emplace_back();
        sample.start_cycle = t;
        sample.end_cycle = t + 1;
        sample.step.local_index = t;
        sample.step.kind = vorn_package::ProfileStepKind::Compute;
        sample.step.kernel = columns.text(t);
    }
    return report;
}

std::string stored(const vorn_package::ProfileColumns& columns, bool json) {
    std::ostringstream out;
    if (json) {
        vorn_package::write_profile_json(out, naming_every_text(columns));
    } else {
        vorn_package::write_profile_packed(out, columns);
    }
    return out.str();
}

/// How many distinct values std::hash gives the texts: 1 when the crafting hit its target.
std::size_t distinct_text_hashes(const vorn_package::ProfileColumns& columns) {
    std::unordered_set<std::size_t> hashes;
    for (std::uint32_t t = 0; t < columns.text_count(); ++t) {
        hashes.insert(std::hash<std::string_view>{}(columns.text(t)));
    }
    return hashes.size();
}

void open_file(benchmark::State& state, const std::string& file, bool json) {
    for (auto _ : state) {
        const auto opened = json ? vorn_package::read_profile_columns_json(file)
                                 : vorn_package::open_profile_packed_memory(file);
        if (!opened) {
            state.SkipWithError(vorn_package::to_string(opened.error()).c_str());
            return;
        }
        benchmark::DoNotOptimize(opened->step_count());
    }
    state.counters["bytes"] = static_cast<double>(file.size());
}

/// The console output, then the growth table; `failed` tells whether a growth passed the limit.
class GrowthReporter : public benchmark::ConsoleReporter {
public:
    bool failed = false;

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) {
                continue;
            }
            // The least CPU time of the repetitions: other processes only ever add to it.
            const double seconds =
                run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const auto [it, fresh] = seconds_.try_emplace(run.run_name.function_name, seconds);
            it->second = std::min(it->second, seconds);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-10s %10s %10s %10s %8s\n", "shape", "small ms", "large ms", "growth",
                    "limit");
        for (const Shape& shape : kShapes) {
            const auto small = seconds_.find(name(shape, kSmall));
            const auto large = seconds_.find(name(shape, kLarge));
            if (small == seconds_.end() || large == seconds_.end()) {
                continue;
            }
            const double growth = large->second / small->second;
            const bool over = growth > kMaxGrowth;
            failed = failed || over;
            std::printf("%-10s %10.2f %10.2f %10.2f %8.1f%s\n", shape.name, small->second * 1e3,
                        large->second * 1e3, growth, kMaxGrowth, over ? "  TOO SLOW" : "");
        }
        std::printf("growth: open time of %u colliding elements over that of %u.\n", kLarge,
                    kSmall);
        std::fflush(stdout);
    }

    static std::string name(const Shape& shape, std::uint32_t count) {
        return std::string("open/") + shape.name + "/" + std::to_string(count);
    }

private:
    std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    files.reserve(std::size(kShapes) * 2);
    for (const Shape& shape : kShapes) {
        for (const std::uint32_t count : {kSmall, kLarge}) {
            const vorn_package::ProfileColumns columns = shape.make(count);
            if (shape.make == vorn_package::colliding::texts) {
                std::printf("%u crafted texts: %zu distinct std::hash values\n", count,
                            distinct_text_hashes(columns));
            }
            const std::string& file = files.emplace_back(stored(columns, shape.json));
            benchmark::RegisterBenchmark(GrowthReporter::name(shape, count).c_str(), open_file,
                                         std::cref(file), shape.json)
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(3);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    GrowthReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.failed ? 1 : 0;
}

// Opening a packed profile and querying it: the time to map and check the file, a bare pass
// over its columns (the floor any query stands on), the default query and a group-by-phase
// query, each with the peak RSS so far. scripts/bench-100m runs it on 100 M samples.
//
//     vorn-profile-packed-bench big.packed
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

#include "vorn_package/profile_packed.hpp"
#include "vorn_profile/partial.hpp"
#include "vorn_profile/query.hpp"

namespace {

double peak_rss_gb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / (1024.0 * 1024.0);  // ru_maxrss is KiB
}

template <class Work>
auto timed(const char* what, Work&& work) {
    const auto start = std::chrono::steady_clock::now();
    auto result = work();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%-24s %9.3f s   peak RSS %6.2f GB\n", what, took.count(), peak_rss_gb());
    std::fflush(stdout);
    return result;
}

void run_query(const char* what, const vorn_package::ProfileColumns& columns,
               const vorn_profile::Query& query, std::size_t threads) {
    try {
        const vorn_profile::QueryReport report =
            timed(what, [&] { return vorn_profile::query(columns, query, threads); });
        std::printf("%-22s %zu groups, %llu samples\n", "", report.groups.size(),
                    static_cast<unsigned long long>(report.sample_count));
    } catch (const std::bad_alloc&) {
        std::printf("%-22s out of memory (peak RSS %.2f GB)\n", what, peak_rss_gb());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vorn-profile-packed-bench FILE.packed\n");
        return 2;
    }
    // Once on two threads, then on one: the file is in the page cache for both.
    {
        const auto first = timed("open and check, 2 thr",
                                 [&] { return vorn_package::open_profile_packed(argv[1], 2); });
        if (!first) {
            std::fprintf(stderr, "error: %s: %s\n", argv[1],
                         vorn_package::to_string(first.error()).c_str());
            return 1;
        }
    }
    const auto opened = timed("open and check, 1 thr",
                              [&] { return vorn_package::open_profile_packed(argv[1], 1); });
    if (!opened) {
        std::fprintf(stderr, "error: %s: %s\n", argv[1],
                     vorn_package::to_string(opened.error()).c_str());
        return 1;
    }
    const vorn_package::ProfileColumns& columns = *opened;
    std::printf("%-22s %llu tiles, %llu samples, %llu steps, %llu texts\n", "",
                static_cast<unsigned long long>(columns.tile_count()),
                static_cast<unsigned long long>(columns.sample_count()),
                static_cast<unsigned long long>(columns.step_count()),
                static_cast<unsigned long long>(columns.text_count()));

    const std::uint64_t cycles = timed("bare pass", [&] {
        std::uint64_t total = 0;
        for (std::uint64_t s = 0; s < columns.sample_count(); ++s) {
            total += static_cast<std::uint32_t>(columns.end_cycle[s] - columns.start_cycle[s]) +
                     static_cast<std::uint32_t>(columns.step_kind[columns.step[s]]) +
                     columns.phase[s];
        }
        return total;
    });
    std::printf("%-22s checksum %llu\n", "", static_cast<unsigned long long>(cycles));

    vorn_profile::Query by_phase;
    by_phase.group_by = vorn_profile::GroupBy::Phase;
    for (const std::size_t threads : {1, 2}) {
        const std::string suffix = ", " + std::to_string(threads) + " thr";
        run_query(("default query" + suffix).c_str(), columns, vorn_profile::Query{}, threads);
        run_query(("group by phase" + suffix).c_str(), columns, by_phase, threads);
    }
    return 0;
}

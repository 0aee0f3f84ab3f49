// Reading a stored profile: the reader against simdjson's own DOM parse of the same file, and
// the heap the reader needs beyond the file's bytes and the records it returns.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "allocation_counter.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace {

struct Input {
    std::string path;
    std::uint64_t file_bytes = 0;
    std::uint64_t record_bytes = 0;
};

std::uint64_t text_bytes(const std::string& text) {
    // Short strings live inside the record; longer ones own a heap block.
    return text.capacity() > 15 ? text.capacity() + 1 : 0;
}

/// Heap and inline bytes that a profile's records occupy.
std::uint64_t record_bytes(const vorn_package::ProfileReport& profile) {
    std::uint64_t bytes =
        sizeof(profile) + profile.tiles.capacity() * sizeof(vorn_package::TileProfile);
    for (const auto& tile : profile.tiles) {
        bytes += tile.samples.capacity() * sizeof(vorn_package::CycleSample);
        for (const auto& sample : tile.samples) {
            bytes += text_bytes(sample.step.operation) + text_bytes(sample.step.kernel);
            bytes += sample.step.metadata.capacity() * sizeof(vorn_package::ProfileMetadata);
            for (const auto& entry : sample.step.metadata) {
                bytes += text_bytes(entry.name) + text_bytes(entry.value);
            }
        }
    }
    return bytes;
}

const Input& large_input() {
    static const Input input = [] {
        Input made;
        made.path =
            (std::filesystem::temp_directory_path() / "vorn-profile-read-bench.json").string();
        const auto profile =
            vorn_package::synthetic_profile({.tiles = 1472, .steps_per_tile = 1000});
        {
            std::ofstream out(made.path, std::ios::binary);
            vorn_package::write_profile_json(out, profile);
        }
        made.file_bytes = std::filesystem::file_size(made.path);
        const auto read = vorn_package::read_profile_json_file(made.path);
        if (!read) {
            std::fprintf(stderr, "reading the generated file failed: %s\n",
                         vorn_package::to_string(read.error()).c_str());
            std::exit(1);
        }
        made.record_bytes = record_bytes(*read);
        return made;
    }();
    return input;
}

void set_rate(benchmark::State& state, const Input& input) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * input.file_bytes));
    state.counters["file_mb"] = static_cast<double>(input.file_bytes) / 1e6;
}

void simdjson_parse(benchmark::State& state) {
    const Input& input = large_input();
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::padded_string text;
        if (simdjson::padded_string::load(input.path).get(text) != simdjson::SUCCESS) {
            state.SkipWithError("cannot load the file");
            return;
        }
        simdjson::dom::element document;
        benchmark::DoNotOptimize(parser.parse(text).get(document));
    }
    set_rate(state, input);
}

void read_profile(benchmark::State& state) {
    const Input& input = large_input();
    const std::size_t baseline = vorn_bench::live_bytes();
    vorn_bench::reset_peak();
    for (auto _ : state) {
        auto read = vorn_package::read_profile_json_file(input.path);
        benchmark::DoNotOptimize(read);
    }
    set_rate(state, input);
    const double beyond = static_cast<double>(vorn_bench::peak_bytes() - baseline) -
                          static_cast<double>(input.file_bytes + input.record_bytes);
    state.counters["records_mb"] = static_cast<double>(input.record_bytes) / 1e6;
    state.counters["peak_heap_mb"] = static_cast<double>(vorn_bench::peak_bytes() - baseline) / 1e6;
    state.counters["beyond_file_and_records_mb"] = beyond / 1e6;
}

BENCHMARK(simdjson_parse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(read_profile)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();

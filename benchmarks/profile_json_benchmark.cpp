// Reading a stored profile: into records and into columns, against simdjson's own DOM parse of
// the same file, with the heap each reader needs beyond what it returns. The file is mapped,
// not copied to the heap. The label names the simdjson kernel the reader ran on
// (SIMDJSON_FORCE_IMPLEMENTATION=fallback runs the portable one, for comparison).
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "allocation_counter.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace {

struct Input {
    std::string path;
    std::uint64_t file_bytes = 0;
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

template <class T>
std::uint64_t span_bytes(std::span<const T> values) {
    return values.size() * sizeof(T);
}

/// Bytes of the arrays of `columns`.
std::uint64_t column_bytes(const vorn_package::ProfileColumns& c) {
    return span_bytes(c.tile_physical) + span_bytes(c.tile_sample_begin) +
           span_bytes(c.sample_tile) + span_bytes(c.start_cycle) + span_bytes(c.end_cycle) +
           span_bytes(c.phase) + span_bytes(c.epoch) + span_bytes(c.local_index) +
           span_bytes(c.step) + span_bytes(c.step_kind) + span_bytes(c.step_kernel) +
           span_bytes(c.step_operation) + span_bytes(c.step_metadata_begin) +
           span_bytes(c.metadata) + span_bytes(c.text_begin) + span_bytes(c.text_bytes);
}

template <class Read, class Size>
void read_with(benchmark::State& state, const Read& read, const Size& size, const char* what) {
    const Input& input = large_input();
    const std::size_t baseline = vorn_bench::live_bytes();
    vorn_bench::reset_peak();
    std::uint64_t result_bytes = 0;
    for (auto _ : state) {
        auto result = read(input.path);
        if (!result) {
            state.SkipWithError("reading failed");
            return;
        }
        result_bytes = size(*result);
        benchmark::DoNotOptimize(result);
    }
    set_rate(state, input);
    const auto peak = static_cast<double>(vorn_bench::peak_bytes() - baseline);
    state.counters[std::string(what) + "_mb"] = static_cast<double>(result_bytes) / 1e6;
    state.counters["peak_heap_mb"] = peak / 1e6;
    state.counters["beyond_result_mb"] = (peak - static_cast<double>(result_bytes)) / 1e6;
    state.SetLabel(std::string(vorn_package::profile_json_kernel()));
}

void read_profile(benchmark::State& state) {
    read_with(
        state, [](const std::string& path) { return vorn_package::read_profile_json_file(path); },
        [](const vorn_package::ProfileReport& report) { return record_bytes(report); }, "records");
}

void read_columns(benchmark::State& state) {
    read_with(
        state,
        [](const std::string& path) { return vorn_package::read_profile_columns_json_file(path); },
        [](const vorn_package::ProfileColumns& columns) { return column_bytes(columns); },
        "columns");
}

BENCHMARK(simdjson_parse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(read_profile)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(read_columns)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();

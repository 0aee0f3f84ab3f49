// The timeline's answers against the samples themselves: the steps of a narrow range exactly,
// a summary's busy cycles exactly where it walks the samples and within the buckets' rounding
// where it sums them.
#include "serve_timeline.hpp"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <random>

#include "vorn_package/synthetic_profile.hpp"

namespace {

using vorn_cli::TimelineIndex;
using vorn_cli::TimelineRequest;

struct Expected {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> steps;  // offset, duration
    std::uint64_t busy[vorn_view::kKindCount] = {};              // clipped to the range
};

/// Per physical tile, what the samples passing `query` show in [from, to).
std::map<std::uint32_t, Expected> brute_force(const vorn_package::ProfileColumns& columns,
                                              const TimelineRequest& request) {
    std::map<std::uint32_t, Expected> expected;
    const vorn_view::SampleFilter filter(columns, request.filters);
    std::vector<vorn_view::TimedSample> samples;
    for (const vorn_view::PhysicalTile& tile : vorn_view::physical_tiles(columns)) {
        if (!filter.keeps_tile(tile.physical)) {
            continue;
        }
        Expected& e = expected[tile.physical];
        vorn_view::select_samples(columns, filter, {request.from, request.to}, tile, samples);
        for (const vorn_view::TimedSample& s : samples) {
            const std::uint32_t duration =
                columns.end_cycle[s.sample] - columns.start_cycle[s.sample];
            const std::uint32_t base =
                columns.start_cycle[columns.tile_sample_begin[columns.sample_tile[s.sample]]];
            const std::uint64_t offset =
                static_cast<std::uint32_t>(columns.start_cycle[s.sample] - base);
            e.steps.emplace_back(offset, duration);
            e.busy[vorn_view::kind_slot(columns.step_kind[columns.step[s.sample]])] +=
                s.end - s.start;
        }
        std::sort(e.steps.begin(), e.steps.end());
    }
    return expected;
}

const vorn_package::ProfileColumns& columns() {
    static const vorn_package::ProfileColumns made = [] {
        vorn_package::SyntheticOptions options;
        options.tiles = 6;
        options.steps_per_tile = 300;
        return vorn_package::synthetic_columns(options);
    }();
    return made;
}

TEST(TimelineIndex, NarrowRangesGiveExactlyTheirSteps) {
    const TimelineIndex index(columns(), 2);
    std::mt19937 random(3);
    simdjson::dom::parser parser;
    for (int round = 0; round < 40; ++round) {
        TimelineRequest request;
        request.from = random() % index.span();
        request.to = request.from + 1 + random() % 40'000;
        request.width = 2000;
        if (round % 4 == 1) {
            request.filters.kind = vorn_profile::StepKind::Compute;
        }
        if (round % 4 == 2) {
            request.filters.tiles = {1, 4};
        }
        const auto expected = brute_force(columns(), request);
        const simdjson::dom::element answer = parser.parse(index.answer(request, 2));
        std::size_t tiles = 0;
        for (const simdjson::dom::element tile : answer["tiles"].get_array()) {
            const auto physical = static_cast<std::uint32_t>(tile["tile"].get_uint64());
            ASSERT_TRUE(expected.contains(physical));
            std::vector<std::pair<std::uint64_t, std::uint64_t>> steps;
            for (const simdjson::dom::element step : tile["steps"].get_array()) {
                steps.emplace_back(step.at(0).get_uint64(), step.at(1).get_uint64());
                // Its texts are listed once, under its number.
                const std::uint64_t number = step.at(4).get_uint64();
                const simdjson::dom::element texts = answer["steps"][std::to_string(number)];
                EXPECT_EQ(std::string_view(texts.at(0).get_string()),
                          columns().text(columns().step_operation[number]));
                EXPECT_EQ(texts.at(1).get_array().size(),
                          columns().step_metadata(static_cast<std::uint32_t>(number)).size());
            }
            std::sort(steps.begin(), steps.end());
            EXPECT_EQ(steps, expected.at(physical).steps) << "tile " << physical;
            ++tiles;
        }
        EXPECT_EQ(tiles, expected.size());
    }
}

TEST(TimelineIndex, OneVeryLongStepDoesNotWidenTheSearch) {
    // Tile 0: a synchronization over the whole run, and 20,000 computes of 10 cycles under it.
    vorn_package::ColumnsBuilder builder;
    const std::uint32_t none = builder.intern("");
    const std::uint32_t sync = builder.intern_step(vorn_package::ProfileStepKind::Synchronization,
                                                   none, builder.intern("wait"), {});
    const std::uint32_t gemm = builder.intern_step(
        vorn_package::ProfileStepKind::Compute, builder.intern("gemm"), builder.intern("mm"), {});
    for (std::uint32_t tile = 0; tile < 2; ++tile) {
        builder.begin_tile(tile);
        if (tile == 0) {
            builder.add_sample(0, 200'010, 0, 0, 0, sync);
        }
        for (std::uint32_t i = 0; i < 20'000; ++i) {
            builder.add_sample(10 * i + 5, 10 * i + 15, 0, 0, i + 1, gemm);
        }
    }
    const vorn_package::ProfileColumns columns = builder.finish();
    const TimelineIndex index(columns, 2);
    simdjson::dom::parser parser;
    TimelineRequest request;
    request.from = 190'000;
    request.to = 190'100;
    request.width = 50;
    const auto expected = brute_force(columns, request);
    const simdjson::dom::element answer = parser.parse(index.answer(request, 1));
    for (const simdjson::dom::element tile : answer["tiles"].get_array()) {
        const auto physical = static_cast<std::uint32_t>(tile["tile"].get_uint64());
        // A handful of steps run there: listed, not summed over the 19,000 that start earlier.
        simdjson::dom::array steps;
        ASSERT_EQ(tile["steps"].get(steps), simdjson::SUCCESS) << "tile " << physical;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> listed;
        for (const simdjson::dom::element step : steps) {
            listed.emplace_back(step.at(0).get_uint64(), step.at(1).get_uint64());
        }
        EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end()));
        EXPECT_EQ(listed, expected.at(physical).steps) << "tile " << physical;
        EXPECT_EQ(listed.size(), physical == 0 ? 12u : 10u);  // tile 1 begins at cycle 5
    }
}

/// Busy cycles per kind summed over the pixels of each tile of a summary.
std::map<std::uint32_t, std::array<std::uint64_t, 4>> summed(simdjson::dom::element answer) {
    std::map<std::uint32_t, std::array<std::uint64_t, 4>> sums;
    for (const simdjson::dom::element tile : answer["tiles"].get_array()) {
        auto& sum = sums[static_cast<std::uint32_t>(tile["tile"].get_uint64())];
        sum = {};
        simdjson::dom::array pixels;
        EXPECT_EQ(tile["pixels"].get(pixels), simdjson::SUCCESS) << "not a summary";
        for (const simdjson::dom::element pixel : pixels) {
            for (std::size_t k = 0; k < 4; ++k) {
                sum[k] += pixel.at(1 + k).get_uint64();
            }
        }
    }
    return sums;
}

TEST(TimelineIndex, SummariesAddUpToTheBusyCycles) {
    // A small bucket budget, so that wide ranges are summed from the buckets.
    const TimelineIndex index(columns(), 2, 64);
    ASSERT_GT(index.bucket_cycles(), 1u);
    std::mt19937 random(5);
    simdjson::dom::parser parser;
    for (int round = 0; round < 30; ++round) {
        TimelineRequest request;
        request.width = 1 + random() % 60;
        request.from = random() % (index.span() / 2);
        request.to = request.from + index.span() / 4 + random() % index.span();
        // Every filter but `tile` is answered from the samples, exactly.
        const bool walked = round % 2 == 1;
        switch (round % 12) {
            case 1:
                request.filters.kind = vorn_profile::StepKind::Compute;
                break;
            case 3:
                request.filters.epochs = {1};
                break;
            case 5:
                request.filters.exclude_kinds = {vorn_profile::StepKind::Idle};
                break;
            case 7:
                request.filters.kernel_matches = "e";
                break;
            case 9:
                request.filters.operation_matches = "[a-m]";
                break;
            case 11:
                request.filters.exclude_kernels = {""};
                break;
        }
        const auto expected = brute_force(columns(), request);
        const auto sums = summed(parser.parse(index.answer(request, 2)));
        ASSERT_EQ(sums.size(), expected.size());
        // Buckets spread their cycles evenly: the two cut by the range's ends may be off by
        // their width, and each part a pixel takes loses less than a cycle to rounding.
        const std::uint64_t slack =
            walked ? 0
                   : 2 * index.bucket_cycles() + request.width +
                         (request.to - request.from) / index.bucket_cycles() + 2;
        for (const auto& [tile, sum] : sums) {
            for (std::size_t k = 0; k < 4; ++k) {
                const std::uint64_t want = expected.at(tile).busy[k];
                EXPECT_LE(sum[k], want + slack) << "tile " << tile << " kind " << k;
                EXPECT_GE(sum[k] + slack, want) << "tile " << tile << " kind " << k;
            }
        }
    }
}

}  // namespace

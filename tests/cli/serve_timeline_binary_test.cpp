// The timeline's binary answer, decoded here by its documented layout, holds the numbers and
// texts of the JSON answer to the same request.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <bit>
#include <cstring>
#include <random>

#include "serve_timeline.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace {

using vorn_cli::TimelineIndex;
using vorn_cli::TimelineRequest;

/// Reads the binary answer by its layout, failing the test where it breaks it.
class Decoded {
public:
    explicit Decoded(const std::string& bytes) : bytes_(bytes) {
        EXPECT_EQ(bytes.substr(0, 4), "VTLB");
        EXPECT_EQ(u32(4), 1u);
        from = u64(8);
        to = u64(16);
        clock_hz = u64(24);
        bucket_cycles = u64(32);
        cycles_per_pixel = std::bit_cast<double>(u64(40));
        width = u32(48);
        const std::uint32_t tiles = u32(52), summaries = u32(56), rows = u32(60), steps = u32(64),
                            pairs = u32(68), strings = u32(72), kinds = u32(76), kernels = u32(80);
        std::size_t at = 96;
        const auto next = [&](std::size_t bytes) {
            const std::size_t here = at;
            at = (at + bytes + 7) / 8 * 8;
            return here;
        };
        tiles_at_ = next(16 * tiles);
        for (std::size_t p = 0; p < 6; ++p) {
            plane_bytes_[p] = static_cast<unsigned char>(bytes[84 + p]);
            EXPECT_TRUE(std::has_single_bit(plane_bytes_[p]) && plane_bytes_[p] <= 8);
            planes_at_[p] = next(std::size_t{summaries} * width * plane_bytes_[p]);
        }
        for (std::size_t c = 0; c < 5; ++c) {
            columns_at_[c] = next(4 * rows);
        }
        steps_at_ = next(24 * steps);
        pairs_at_ = next(8 * pairs);
        const std::size_t offsets = at;
        at += 4 * (strings + 1);
        for (std::uint32_t s = 0; s < strings; ++s) {
            texts_.push_back(bytes.substr(at + u32(offsets + 4 * s),
                                          u32(offsets + 4 * s + 4) - u32(offsets + 4 * s)));
        }
        EXPECT_EQ(u32(offsets + 4 * strings), u32(92));
        EXPECT_EQ(at + u32(92), bytes.size()) << "the answer ends after the string bytes";
        for (std::uint32_t t = 0; t < tiles; ++t) {
            this->tiles.push_back({u32(tiles_at_ + 16 * t), u32(tiles_at_ + 16 * t + 4),
                                   u32(tiles_at_ + 16 * t + 8), u32(tiles_at_ + 16 * t + 12)});
        }
        this->kinds.assign(texts_.begin(), texts_.begin() + kinds);
        this->kernels.assign(texts_.begin() + kinds, texts_.begin() + kinds + kernels);
    }

    struct Tile {
        std::uint32_t physical, summary, first_row, rows;
    };
    std::uint64_t from, to, clock_hz, bucket_cycles;
    double cycles_per_pixel;
    std::uint32_t width;
    std::vector<Tile> tiles;
    std::vector<std::string> kinds, kernels;

    std::uint64_t plane(std::size_t p, std::uint32_t summary, std::size_t pixel) const {
        return read(planes_at_[p] + (std::size_t{summary} * width + pixel) * plane_bytes_[p],
                    plane_bytes_[p]);
    }
    /// Step row `row` as the JSON's `[offset, duration, kind, kernel, step, phase, epoch]`.
    std::vector<std::uint64_t> step(std::uint32_t row) const {
        const std::uint32_t distinct = u32(columns_at_[2] + 4 * row);
        const std::size_t fields = steps_at_ + 24 * distinct;
        return {u32(columns_at_[0] + 4 * row),
                u32(columns_at_[1] + 4 * row),
                u32(fields + 4),
                u32(fields + 8),
                u32(fields),
                u32(columns_at_[3] + 4 * row),
                u32(columns_at_[4] + 4 * row)};
    }
    /// The operation and metadata of step row `row`.
    std::pair<std::string, std::vector<std::pair<std::string, std::string>>> texts(
        std::uint32_t row) const {
        const std::size_t fields = steps_at_ + 24 * u32(columns_at_[2] + 4 * row);
        std::vector<std::pair<std::string, std::string>> metadata;
        for (std::uint32_t m = 0; m < u32(fields + 20); ++m) {
            const std::size_t pair = pairs_at_ + 8 * (u32(fields + 16) + m);
            metadata.emplace_back(texts_.at(u32(pair)), texts_.at(u32(pair + 4)));
        }
        return {texts_.at(u32(fields + 12)), metadata};
    }

private:
    std::uint64_t read(std::size_t at, unsigned bytes) const {
        EXPECT_LE(at + bytes, bytes_.size());
        std::uint64_t value = 0;
        for (unsigned i = 0; i < bytes && at + i < bytes_.size(); ++i) {
            value |= std::uint64_t{static_cast<unsigned char>(bytes_[at + i])} << (8 * i);
        }
        return value;
    }
    std::uint32_t u32(std::size_t at) const { return static_cast<std::uint32_t>(read(at, 4)); }
    std::uint64_t u64(std::size_t at) const { return read(at, 8); }

    const std::string& bytes_;
    std::size_t tiles_at_ = 0, steps_at_ = 0, pairs_at_ = 0;
    std::size_t planes_at_[6] = {}, columns_at_[5] = {};
    unsigned plane_bytes_[6] = {};
    std::vector<std::string> texts_;
};

void expect_same(const std::string& json, const std::string& binary) {
    simdjson::dom::parser parser;
    const simdjson::dom::element answer = parser.parse(json);
    const Decoded decoded(binary);
    EXPECT_EQ(decoded.from, answer["from"].get_uint64().value());
    EXPECT_EQ(decoded.to, answer["to"].get_uint64().value());
    EXPECT_EQ(decoded.width, answer["width"].get_uint64().value());
    EXPECT_EQ(decoded.clock_hz, answer["clock_hz"].get_uint64().value());
    EXPECT_EQ(decoded.bucket_cycles, answer["bucket_cycles"].get_uint64().value());
    EXPECT_DOUBLE_EQ(decoded.cycles_per_pixel, answer["cycles_per_pixel"].get_double().value());
    std::vector<std::string> kinds, kernels;
    for (const simdjson::dom::element kind : answer["kinds"].get_array()) {
        kinds.emplace_back(kind.get_string().value());
    }
    for (const simdjson::dom::element kernel : answer["kernels"].get_array()) {
        kernels.emplace_back(kernel.get_string().value());
    }
    EXPECT_EQ(decoded.kinds, kinds);
    EXPECT_EQ(decoded.kernels, kernels);

    const simdjson::dom::array tiles = answer["tiles"].get_array();
    ASSERT_EQ(decoded.tiles.size(), tiles.size());
    std::size_t t = 0;
    for (const simdjson::dom::element tile : tiles) {
        const Decoded::Tile& got = decoded.tiles[t++];
        ASSERT_EQ(got.physical, tile["tile"].get_uint64().value());
        simdjson::dom::array steps;
        if (tile["steps"].get(steps) == simdjson::SUCCESS) {
            EXPECT_EQ(got.summary, 0xFFFFFFFFu);
            ASSERT_EQ(got.rows, steps.size());
            std::uint32_t row = got.first_row;
            for (const simdjson::dom::element step : steps) {
                std::vector<std::uint64_t> want;
                for (const simdjson::dom::element field : step.get_array()) {
                    want.push_back(field.get_uint64());
                }
                EXPECT_EQ(decoded.step(row), want) << "tile " << got.physical;
                const simdjson::dom::element texts = answer["steps"][std::to_string(want[4])];
                const auto [operation, metadata] = decoded.texts(row);
                EXPECT_EQ(operation, std::string_view(texts.at(0).get_string()));
                ASSERT_EQ(metadata.size(), texts.at(1).get_array().size());
                for (std::size_t m = 0; m < metadata.size(); ++m) {
                    EXPECT_EQ(metadata[m].first, std::string_view(texts.at(1).at(m).at(0)));
                    EXPECT_EQ(metadata[m].second, std::string_view(texts.at(1).at(m).at(1)));
                }
                ++row;
            }
            continue;
        }
        ASSERT_NE(got.summary, 0xFFFFFFFFu);
        EXPECT_EQ(got.rows, 0u);
        // JSON lists the pixels holding anything; the binary form has every pixel.
        std::vector<std::vector<std::uint64_t>> want(decoded.width,
                                                     std::vector<std::uint64_t>(6, 0));
        for (const simdjson::dom::element pixel : tile["pixels"].get_array()) {
            auto& values = want.at(pixel.at(0).get_uint64());
            for (std::size_t k = 0; k < 5; ++k) {
                values[k] = pixel.at(1 + k).get_uint64();
            }
            values[5] = pixel.at(6).is_null() ? 0 : pixel.at(6).get_uint64().value() + 1;
        }
        for (std::uint32_t i = 0; i < decoded.width; ++i) {
            std::vector<std::uint64_t> values;
            for (std::size_t p = 0; p < 6; ++p) {
                values.push_back(decoded.plane(p, got.summary, i));
            }
            ASSERT_EQ(values, want[i]) << "tile " << got.physical << " pixel " << i;
        }
    }
}

TEST(TimelineBinary, HoldsTheNumbersOfTheJsonAnswer) {
    vorn_package::SyntheticOptions options;
    options.tiles = 5;
    options.steps_per_tile = 400;
    const vorn_package::ProfileColumns columns = vorn_package::synthetic_columns(options);
    // A small bucket budget, so that wide ranges are summed from the buckets.
    const TimelineIndex index(columns, 2, 256);
    std::mt19937 random(11);
    for (int round = 0; round < 24; ++round) {
        TimelineRequest request;
        request.width = 1 + random() % (round % 3 == 0 ? 3000 : 300);
        request.from = random() % index.span();
        request.to = request.from + 1 + random() % (round % 2 == 0 ? index.span() : 30'000);
        if (round % 4 == 1) {
            request.filters.kind = vorn_profile::StepKind::Exchange;
        }
        if (round % 5 == 2) {
            request.filters.tiles = {0, 3};
        }
        SCOPED_TRACE("from " + std::to_string(request.from) + " to " + std::to_string(request.to) +
                     " width " + std::to_string(request.width));
        expect_same(index.answer(request, 2), index.binary_answer(request, 2));
    }
    // No tile shown: a header, and the kinds and kernels.
    TimelineRequest none;
    none.to = 10;
    none.filters.tiles = {99};
    expect_same(index.answer(none, 1), index.binary_answer(none, 1));
}

TEST(TimelineBinary, PixelsOfBillionsOfCyclesTakeEightBytes) {
    // Two overlapping computes of 4 billion cycles on one tile: 8 billion busy cycles in a
    // pixel, past 32 bits.
    vorn_package::ColumnsBuilder builder;
    const std::uint32_t none = builder.intern("");
    const std::uint32_t step = builder.intern_step(vorn_package::ProfileStepKind::Compute, none,
                                                   builder.intern("long"), {});
    builder.begin_tile(0);
    builder.add_sample(0, 4'000'000'000, 0, 0, 0, step);
    builder.add_sample(0, 4'000'000'000, 0, 0, 1, step);
    builder.add_sample(1, 2, 0, 0, 2, step);
    const vorn_package::ProfileColumns columns = builder.finish();
    const TimelineIndex index(columns, 2, 1024);
    for (const bool walked : {false, true}) {
        TimelineRequest request;
        request.to = 4'000'000'000;
        request.width = 1;
        if (walked) {
            request.filters.kind = vorn_profile::StepKind::Compute;
        }
        const std::string binary = index.binary_answer(request, 2);
        EXPECT_EQ(binary[84], 8) << "compute plane";
        expect_same(index.answer(request, 2), binary);
    }
}

}  // namespace

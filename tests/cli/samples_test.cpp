// `vorn-profile samples` against the plain query model: the rows are exactly the model's
// matched steps in stored order, clipped to the window, and each command's help describes
// every option it takes.
#include "samples.hpp"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli_harness.hpp"
#include "query_model.hpp"
#include "text_table.hpp"
#include "vorn_package/profile_columns.hpp"

namespace {

using namespace cli_test;
using vorn_profile::TimeWindow;
namespace model = vorn_profile::model;

/// The CSV the model expects: every step the model's filter admits, in stored order, with its
/// part inside the window.
std::string model_csv(const vorn_package::ProfileReport& report, const Query& q,
                      const TimeWindow& w) {
    std::string text =
        "physical_tile,offset,duration,kind,phase,epoch,local_index,operation,kernel,metadata\r\n";
    for (const auto& tile : report.tiles) {
        for (const auto& s : tile.samples) {
            const std::uint64_t offset = std::uint32_t(s.start_cycle - tile.samples[0].start_cycle);
            const std::uint32_t length = s.end_cycle - s.start_cycle;
            if (!model::model_matches(q, tile.physical_tile, s, offset, length)) {
                continue;
            }
            const auto part = model::model_part_in_window(w, offset, length);
            if (!part) {
                continue;
            }
            std::string metadata;
            for (const auto& m : s.step.metadata) {
                metadata += (metadata.empty() ? "" : ";") + m.name + "=" + m.value;
            }
            text += std::to_string(tile.physical_tile) + "," + std::to_string(part->first) + "," +
                    std::to_string(part->second - part->first) + "," +
                    model::model_kind(s.step.kind) + "," + std::to_string(s.step.phase) + "," +
                    std::to_string(s.step.epoch) + "," + std::to_string(s.step.local_index) + "," +
                    s.step.operation + "," + s.step.kernel + "," + metadata + "\r\n";
        }
    }
    return text;
}

TEST(SamplesDifferential, RowsAreTheModelsMatchedSteps) {
    std::mt19937_64 random(11);
    for (int round = 0; round < 1500; ++round) {
        vorn_package::ProfileReport report = model::random_profile(random);
        for (auto& tile : report.tiles) {
            for (auto& s : tile.samples) {
                s.step.local_index = static_cast<std::uint32_t>(random() % 5);
            }
        }
        const Query q = model::random_query(random);
        const TimeWindow w = model::random_window(random, report);
        if (w.from >= w.to) {
            continue;  // the tool refuses an empty window
        }
        SCOPED_TRACE("round " + std::to_string(round));
        std::ostringstream out;
        vorn_cli::write_samples(out, vorn_package::to_columns(report), q, w,
                                vorn_cli::SampleFormat::Csv);
        ASSERT_EQ(out.str(), model_csv(report, q, w));
    }
}

// Rows are made from pieces copied whole and digits made in place: numbers of every length up
// to 2^32 - 1 and past it (an offset clipped by a window beyond it), texts shorter and much
// longer than a piece, and more step text than is kept made, all read as the model says.
TEST(SamplesDifferential, NumbersOfEveryLengthAndLongTexts) {
    vorn_package::ProfileReport report;
    report.clock_hz = 1;
    vorn_package::TileProfile tile;
    tile.physical_tile = 4294967295U;
    std::uint32_t start = 4000000000U;
    std::uint32_t power = 1;
    for (std::uint32_t i = 0; i < 40; ++i) {
        vorn_package::CycleSample s;
        s.start_cycle = start;
        const std::uint32_t length = i == 39 ? 1500000000U : power - (i % 2) + 1;
        s.end_cycle = start + length;  // wraps past 2^32 - 1, as a counter does
        start = s.end_cycle;
        s.step.kind = static_cast<vorn_package::ProfileStepKind>(i % 4);
        s.step.phase = power - 1;
        s.step.epoch = i * 977;
        s.step.local_index = 4294967295U - power;
        s.step.operation = std::string(i * 3, 'o');
        s.step.kernel = "k" + std::to_string(i);
        // The last steps carry more text than is kept made: each is made for its row.
        s.step.metadata = {{"m", std::string(i < 30 ? i * 7 : std::size_t{2} << 20, 'v')}};
        tile.samples.push_back(s);
        power = power >= 1000000000U ? 1 : power * 10;
    }
    report.tiles.push_back(tile);
    const vorn_package::ProfileColumns columns = vorn_package::to_columns(report);
    for (const TimeWindow w : {TimeWindow{}, TimeWindow{4400000000ULL, 5000000000ULL}}) {
        std::ostringstream out;
        vorn_cli::write_samples(out, columns, Query{}, w, vorn_cli::SampleFormat::Csv);
        EXPECT_EQ(out.str(), model_csv(report, Query{}, w)) << w.from;
    }
    std::ostringstream far;
    vorn_cli::write_samples(far, columns, Query{}, TimeWindow{4400000000ULL, 5000000000ULL},
                            vorn_cli::SampleFormat::Csv);
    EXPECT_NE(far.str().find("\r\n4294967295,4400000000,544444464,"), std::string::npos);
    std::ostringstream json;
    vorn_cli::write_samples(json, columns, Query{}, TimeWindow{},
                            vorn_cli::SampleFormat::JsonLines);
    simdjson::dom::parser parser;
    std::istringstream lines(json.str());
    std::size_t row = 0;
    for (std::string line; std::getline(lines, line); ++row) {
        ASSERT_LT(row, tile.samples.size());
        const vorn_package::CycleSample& s = tile.samples[row];
        simdjson::dom::element got;
        ASSERT_EQ(parser.parse(line).get(got), simdjson::SUCCESS) << row;
        EXPECT_EQ(std::uint64_t(got["physical_tile"]), tile.physical_tile);
        EXPECT_EQ(std::uint64_t(got["duration"]), std::uint32_t(s.end_cycle - s.start_cycle));
        EXPECT_EQ(std::uint64_t(got["phase"]), s.step.phase);
        EXPECT_EQ(std::uint64_t(got["epoch"]), s.step.epoch);
        EXPECT_EQ(std::uint64_t(got["local_index"]), s.step.local_index);
        EXPECT_EQ(std::string_view(got["kind"]), model::model_kind(s.step.kind));
        EXPECT_EQ(std::string_view(got["operation"]), s.step.operation);
        EXPECT_EQ(std::string_view(got["metadata"].at(0)["value"]), s.step.metadata[0].value);
    }
    EXPECT_EQ(row, tile.samples.size());
}

/// The records of RFC 4180 text: a quoted field may hold commas, doubled quotes and line breaks;
/// a record ends at a CRLF outside quotes.
std::vector<std::vector<std::string>> read_csv(std::string_view text) {
    std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (quoted && text.substr(i, 2) == "\"\"") {
            records.back().back() += text[++i];
        } else if (text[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && text[i] == ',') {
            records.back().emplace_back();
        } else if (!quoted && text.substr(i, 2) == "\r\n") {
            records.emplace_back(1);
            ++i;
        } else {
            records.back().back() += text[i];
        }
    }
    records.pop_back();  // what follows the last CRLF
    return records;
}

// The listing reads back to the profile's fields whatever the texts hold (separators, quotes,
// line breaks, more than a copied piece) and however the numbers' lengths and the epoch change
// from row to row; a filter that keeps every step lists the same bytes.
TEST(SamplesDifferential, EveryRowReadsBackWithAwkwardTexts) {
    const std::string texts[] = {"",
                                 "a,b",
                                 "say \"hi\"",
                                 "two\r\nlines",
                                 "bare\nbreak",
                                 "x;y=z\\w",
                                 std::string(150, 'q') + ",\""};
    std::mt19937_64 random(5);
    const auto number = [&] { return std::uint32_t(random() >> (32 + random() % 32)); };
    vorn_package::ProfileReport report;
    for (const std::uint32_t physical : {7U, 4294967295U}) {
        vorn_package::TileProfile tile{physical, {}};
        for (std::uint32_t i = 0, clock = number(); i < 60; ++i, clock += number() / 4) {
            vorn_package::CycleSample s;
            s.start_cycle = clock;
            s.end_cycle = clock += number() / 4;
            s.step.kind = vorn_package::ProfileStepKind(i % 4);
            s.step.phase = number();
            s.step.epoch = i % 7 == 0 ? number() : i / 20;
            s.step.local_index = number();
            s.step.operation = texts[random() % 7];
            s.step.kernel = texts[random() % 7];
            s.step.metadata = {{texts[random() % 7], texts[random() % 7]}};
            tile.samples.push_back(s);
        }
        report.tiles.push_back(tile);
    }
    const vorn_package::ProfileColumns columns = vorn_package::to_columns(report);
    Query keep_all;
    keep_all.exclude_kernels = {"no such kernel"};
    std::ostringstream plain;
    std::ostringstream filtered;
    vorn_cli::write_samples(plain, columns, Query{}, TimeWindow{}, vorn_cli::SampleFormat::Csv);
    vorn_cli::write_samples(filtered, columns, keep_all, TimeWindow{}, vorn_cli::SampleFormat::Csv);
    EXPECT_EQ(plain.str(), filtered.str());
    const auto records = read_csv(plain.str());
    ASSERT_EQ(records.size(), 121U);
    for (std::size_t row = 1; row < records.size(); ++row) {
        const vorn_package::TileProfile& tile = report.tiles[(row - 1) / 60];
        const vorn_package::CycleSample& s = tile.samples[(row - 1) % 60];
        std::string metadata;
        for (const char c : s.step.metadata[0].name + '\0' + s.step.metadata[0].value) {
            metadata += c == '\0' ? "=" : std::string(std::strchr(";=\\", c) ? "\\" : "") + c;
        }
        const std::vector<std::string> want = {
            std::to_string(tile.physical_tile),
            std::to_string(s.start_cycle - tile.samples[0].start_cycle),
            std::to_string(s.end_cycle - s.start_cycle),
            model::model_kind(s.step.kind),
            std::to_string(s.step.phase),
            std::to_string(s.step.epoch),
            std::to_string(s.step.local_index),
            s.step.operation,
            s.step.kernel,
            metadata};
        EXPECT_EQ(records[row], want) << row;
    }
}

TEST_F(CliTest, SamplesEscapeAndReadBack) {
    vorn_package::ProfileReport report;
    report.clock_hz = 1000;
    vorn_package::TileProfile tile;
    tile.physical_tile = 7;
    vorn_package::CycleSample step;
    step.start_cycle = 100;
    step.end_cycle = 160;
    step.step.kind = vorn_package::ProfileStepKind::Compute;
    step.step.kernel = "ge,mm";
    step.step.operation = "say \"hi\"";
    step.step.metadata = {{"a=b", "x;y\\z"}, {"layer", "1"}};
    tile.samples.push_back(step);
    step.start_cycle = 160;
    step.end_cycle = 200;
    step.step.kernel = "";
    step.step.metadata = {};
    tile.samples.push_back(step);
    report.tiles.push_back(tile);
    const std::string path = (scratch() / "escape.json").string();
    save(path, profile_text(report));

    const Outcome csv = run_tool({"samples", path, "--from", "30"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_EQ(csv.out,
              "physical_tile,offset,duration,kind,phase,epoch,local_index,operation,kernel,"
              "metadata\r\n"
              "7,30,30,compute,0,0,0,\"say \"\"hi\"\"\",\"ge,mm\",a\\=b=x\\;y\\\\z;layer=1\r\n"
              "7,60,40,compute,0,0,0,\"say \"\"hi\"\"\",,\r\n");

    const Outcome json = run_tool({"samples", path, "--format", "json", "--kernel", ""});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out,
              "{\"physical_tile\": 7, \"offset\": 60, \"duration\": 40, \"kind\": \"compute\", "
              "\"phase\": 0, \"epoch\": 0, \"local_index\": 0, \"operation\": \"say \\\"hi\\\"\", "
              "\"kernel\": \"\", \"metadata\": []}\n");

    // Every line of the synthetic run's JSON Lines parses, and there is one per matched step.
    const Outcome lines = run_tool({"samples", path_, "--format", "json", "--kind", "compute"});
    ASSERT_EQ(lines.status, 0) << lines.err;
    Query compute;
    compute.kind = StepKind::Compute;
    const QueryReport want = vorn_profile::query(profile_, compute);
    simdjson::dom::parser parser;
    std::istringstream in(lines.out);
    std::uint64_t count = 0;
    for (std::string line; std::getline(in, line); ++count) {
        simdjson::dom::element row;
        ASSERT_EQ(parser.parse(line).get(row), simdjson::SUCCESS) << line;
        EXPECT_EQ(std::string_view(row["kind"].get_string().value()), "compute");
    }
    EXPECT_EQ(count, want.matched_sample_count);
}

// Each option in a command's help has words that say what it does.
TEST(CliHelp, EveryOptionIsDescribed) {
    for (const char* command : {"query", "diff", "supersteps", "info", "samples", "generate",
                                "pack", "unpack", "export", "report"}) {
        const Outcome help = run_tool({command, "--help"});
        ASSERT_EQ(help.status, 0) << command;
        std::istringstream in(help.out);
        int options = 0;
        for (std::string line; std::getline(in, line);) {
            const std::size_t first = line.find_first_not_of(' ');
            if (first == std::string::npos || first == 0 || line[first] != '-') {
                continue;
            }
            // "  --kind K   Keep ..." : the option, maybe its value's name, then the words.
            std::istringstream words(line.substr(first));
            std::vector<std::string> tokens;
            for (std::string word; words >> word;) {
                tokens.push_back(word);
            }
            options += 1;
            EXPECT_GE(tokens.size(), 3U) << command << ": " << line;
        }
        EXPECT_GT(options, 1) << command;
    }
    const Outcome query = run_tool({"query", "--help"});
    for (const char* option :
         {"--epoch", "--kernel-matches", "--operation-matches", "--exclude-kind",
          "--exclude-kernel", "--percentiles", "--kernel ''", "help columns"}) {
        EXPECT_NE(query.out.find(option), std::string::npos) << option;
    }
}

// A fitted table: names shortened in the middle, chosen columns in order, lines broken to fit.
TEST(CliTable, FitsTheTerminalView) {
    EXPECT_EQ(vorn_cli::shorten_middle("encoder.layer.11.attention", 11), "encod\u2026ntion");
    EXPECT_EQ(vorn_cli::shorten_middle("gemm", 4), "gemm");
    EXPECT_EQ(vorn_cli::shorten_middle("\u00e9\u00e9\u00e9\u00e9\u00e9", 4),
              "\u00e9\u00e9\u2026\u00e9");
    vorn_cli::set_table_view({30, {}});
    vorn_cli::TextTable table({{"group"}, {"samples", vorn_cli::Align::Right}, {"extra"}},
                              {"group", "samples"});
    std::ostringstream out;
    table.write(out, [](auto emit) {
        emit(std::vector<std::string>{std::string(40, 'a') + "z", "7", "x"});
    });
    EXPECT_EQ(out.str(),
              "group                  samples\n"
              "aaaaaaaaaa\u2026aaaaaaaaaz        7\n");
    EXPECT_EQ(vorn_cli::fit_line("one, two, three four five\n"), "one, two, three four five\n");
    vorn_cli::set_table_view({12, {"extra", "group"}});
    EXPECT_EQ(vorn_cli::fit_line("one, two, three four\n"), "one, two,\n  three four\n");
    std::ostringstream chosen;
    vorn_cli::TextTable again({{"group"}, {"samples", vorn_cli::Align::Right}, {"extra"}});
    again.write(chosen, [](auto emit) { emit(std::vector<std::string>{"g", "7", "x"}); });
    EXPECT_EQ(chosen.str(), "extra  group\nx      g\n");
    vorn_cli::set_table_view({});
}

// `help columns` explains every column of the query report and the units of the others.
TEST(CliHelp, ColumnsAreExplained) {
    const Outcome help = run_tool({"help", "columns"});
    ASSERT_EQ(help.status, 0) << help.err;
    for (const char* column : {"name / group",
                               "dimensions",
                               "sample_count",
                               "tile_count",
                               "phase_count",
                               "phase_cycles",
                               "phase_ms",
                               "work_cycles",
                               "average_active_tiles / avg_tiles",
                               "mean_cycles",
                               "p50_cycles",
                               "p95_cycles",
                               "pN_cycles",
                               "maximum_cycles",
                               "minimum_cycles",
                               "stddev_cycles",
                               "share",
                               "first_offset",
                               "last_offset",
                               "keys",
                               "lost_tile_ms",
                               "more than the span",
                               "n/a",
                               "--columns",
                               "lists the ones it has"}) {
        EXPECT_NE(help.out.find(column), std::string::npos) << column;
    }
    // Each command that takes --columns says a name its table lacks is an error.
    for (const char* command : {"query", "diff", "supersteps", "info"}) {
        const Outcome usage = run_tool({command, "--help"});
        EXPECT_NE(usage.out.find("lists the ones it has"), std::string::npos) << command;
    }
    expect_failure(run_tool({"help", "rows"}), 2);
}

}  // namespace

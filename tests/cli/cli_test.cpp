// The vorn-profile binary run as a user runs it: exit status, standard output and standard
// error of each invocation, compared with what the library gives for the same request.
#include <gtest/gtest.h>
#include <simdjson.h>

#include <bit>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.hpp"
#include "output.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace {

using namespace cli_test;

// Every query option lands in its Query field: the tool's JSON equals the library's report
// for the Query built by hand.
TEST_F(CliTest, QueryOptionsReachTheQuery) {
    struct Case {
        std::vector<std::string> options;
        std::function<void(Query&)> expect;
    };
    const Case cases[] = {
        {{"--group-by", "kind"}, [](Query& q) { q.group_by = GroupBy::Kind; }},
        {{"--group-by", "operation"}, [](Query& q) { q.group_by = GroupBy::Operation; }},
        {{"--group-by", "phase"}, [](Query& q) { q.group_by = GroupBy::Phase; }},
        {{"--group-by", "tile"}, [](Query& q) { q.group_by = GroupBy::Tile; }},
        {{"--group-by", "kernel,tile"},
         [](Query& q) {
             q.group_by = GroupBy::Kernel;
             q.then_group_by = {GroupBy::Tile};
         }},
        {{"--group-by", "phase,kind,metadata", "--metadata-key", "layer"},
         [](Query& q) {
             q.group_by = GroupBy::Phase;
             q.then_group_by = {GroupBy::Kind, GroupBy::Metadata};
             q.metadata_key = "layer";
         }},
        {{"--epoch", "1"}, [](Query& q) { q.epochs = {1}; }},
        {{"--phase", "1", "--epoch", "0-1"},
         [](Query& q) {
             q.phases = {1};
             q.epochs = {0, 1};
         }},
        {{"--kernel-matches", "^ge"}, [](Query& q) { q.kernel_matches = "^ge"; }},
        {{"--operation-matches", "bwd$"}, [](Query& q) { q.operation_matches = "bwd$"; }},
        {{"--exclude-kind", "idle", "--exclude-kind", "compute"},
         [](Query& q) {
             q.exclude_kinds = {StepKind::Idle, StepKind::Compute};
         }},
        {{"--exclude-kernel", "", "--exclude-kernel", "gemm"},
         [](Query& q) {
             q.exclude_kernels = {"", "gemm"};
         }},
        {{"--percentiles", "50,90,99.9,0.125,90"},
         [](Query& q) {
             q.percentiles = {90000, 99900, 125};
         }},
        {{"--group-by", "metadata", "--metadata-key", "layer"},
         [](Query& q) {
             q.group_by = GroupBy::Metadata;
             q.metadata_key = "layer";
         }},
        {{"--sort-by", "work-cycles"}, [](Query& q) { q.sort_by = SortBy::WorkCycles; }},
        {{"--sort-by", "maximum-cycles"}, [](Query& q) { q.sort_by = SortBy::MaximumCycles; }},
        {{"--sort-by", "samples"}, [](Query& q) { q.sort_by = SortBy::Samples; }},
        {{"--sort-by", "name"}, [](Query& q) { q.sort_by = SortBy::Name; }},
        {{"--kind", "exchange"}, [](Query& q) { q.kind = StepKind::Exchange; }},
        {{"--kind", "compute"}, [](Query& q) { q.kind = StepKind::Compute; }},
        {{"--kind", "synchronization"}, [](Query& q) { q.kind = StepKind::Synchronization; }},
        {{"--kind", "idle"}, [](Query& q) { q.kind = StepKind::Idle; }},
        {{"--kernel", "gemm"}, [](Query& q) { q.kernel = "gemm"; }},
        {{"--kernel", ""}, [](Query& q) { q.kernel = ""; }},
        {{"--operation-contains", ".bwd"}, [](Query& q) { q.operation_contains = ".bwd"; }},
        {{"--tile", "1,3-4", "--tile", "0005"},
         [](Query& q) {
             q.tiles = {1, 3, 4, 5};
         }},
        {{"--phase", "3", "--phase", "0-1"},
         [](Query& q) {
             q.phases = {0, 1, 3};
         }},
        {{"--metadata", "layer=encoder.1", "--metadata", "tensor"},
         [](Query& q) {
             q.metadata = {{"layer", "encoder.1"}, {"tensor", std::nullopt}};
         }},
        {{"--metadata", "tensor=grad.w1"},
         [](Query& q) {
             q.metadata = {{"tensor", "grad.w1"}};
         }},
        {{"--at-offset", "60000"}, [](Query& q) { q.at_offset = 60000; }},
        {{"--limit", "0"}, [](Query& q) { q.limit = 0; }},
        {{"--limit", "2", "--sample-limit", "3"},
         [](Query& q) {
             q.limit = 2;
             q.sample_limit = 3;
         }},
    };
    const QueryReport plain = vorn_profile::query(profile_, Query{});
    for (const Case& c : cases) {
        std::vector<std::string> args{"query", path_};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"--format", "json"});
        SCOPED_TRACE(testing::PrintToString(c.options));
        Query query;
        c.expect(query);
        const QueryReport expected = vorn_profile::query(profile_, query);
        // A row whose option changed nothing would pass even if the option were ignored.
        EXPECT_NE(expected, plain);
        const Outcome run = run_tool(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, json_of(expected));
    }
    const Outcome run = run_tool({"query", path_, "--format", "json"});
    EXPECT_EQ(run.out, json_of(plain));
    EXPECT_EQ(run_tool({"query", "-", "--format", "json"}, path_).out, json_of(plain));
}

// What a script reads back from --format json is the library's report, doubles bit for bit,
// every double written as a JSON fraction, strings escaped.
TEST(CliJson, ReadsBackExactly) {
    vorn_package::ProfileReport profile{.clock_hz = 3, .tiles = {}};
    auto step = [](std::uint32_t start, std::uint32_t end, std::string kernel) {
        vorn_package::CycleSample sample;
        sample.step.operation = "op \"quoted\"\n\x01";
        sample.step.kind = vorn_package::ProfileStepKind::Compute;
        sample.step.kernel = std::move(kernel);
        sample.step.metadata = {{"layer", "caf\xc3\xa9\\"}};
        sample.start_cycle = start;
        sample.end_cycle = end;
        return sample;
    };
    profile.tiles.push_back({7, {step(4294967290, 4, "a,\"b\""), step(4, 24, "a,\"b\"")}});
    profile.tiles.push_back({2, {step(100, 107, "tab\there"), step(107, 110, "x")}});
    const std::string path = (scratch() / "small.json").string();
    save(path, profile_text(profile));

    for (const auto& group_by : {"kernel", "phase", "metadata"}) {
        SCOPED_TRACE(group_by);
        Query query;
        query.group_by = group_by == std::string("kernel")  ? GroupBy::Kernel
                         : group_by == std::string("phase") ? GroupBy::Phase
                                                            : GroupBy::Metadata;
        // The key is refused without the metadata grouping that uses it.
        const bool by_metadata = query.group_by == GroupBy::Metadata;
        if (by_metadata) {
            query.metadata_key = "layer";
        }
        query.sample_limit = 10;
        const QueryReport expected = vorn_profile::query(profile, query);
        std::vector<std::string> args{"query",          path, "--group-by", group_by,
                                      "--sample-limit", "10", "--format",   "json"};
        if (by_metadata) {
            args.insert(args.end(), {"--metadata-key", "layer"});
        }
        const Outcome run = run_tool(args);
        ASSERT_EQ(run.status, 0) << run.err;

        simdjson::dom::parser parser;
        const simdjson::padded_string text(run.out);
        const simdjson::dom::element doc = parser.parse(text);
        const auto exact = [](simdjson::dom::element value, double want) {
            EXPECT_EQ(value.type(), simdjson::dom::element_type::DOUBLE);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(double(value)),
                      std::bit_cast<std::uint64_t>(want));
        };
        EXPECT_EQ(std::uint64_t(doc["matched_sample_count"]), expected.matched_sample_count);
        exact(doc["profile_span_ms"], expected.profile_span_ms);
        EXPECT_TRUE(doc["at_offset"].is_null());
        const simdjson::dom::array groups = doc["groups"];
        ASSERT_EQ(groups.size(), expected.groups.size());
        std::size_t i = 0;
        for (const simdjson::dom::element group : groups) {
            const vorn_profile::GroupSummary& want = expected.groups[i++];
            EXPECT_EQ(std::string_view(group["name"]), want.name);
            std::map<std::string, std::string> dimensions;
            for (const auto field : simdjson::dom::object(group["dimensions"])) {
                dimensions[std::string(field.key)] = std::string_view(field.value);
            }
            EXPECT_EQ(dimensions, want.dimensions);
            EXPECT_EQ(std::uint64_t(group["phase_cycles"]), want.phase_cycles);
            EXPECT_EQ(std::uint64_t(group["last_offset"]), want.last_offset);
            exact(group["phase_ms"], want.phase_ms);
            exact(group["average_active_tiles"], want.average_active_tiles);
            exact(group["mean_cycles"], want.mean_cycles);
        }
        const simdjson::dom::array samples = doc["samples"];
        ASSERT_EQ(samples.size(), expected.samples.size());
        const simdjson::dom::element first = samples.at(0);
        EXPECT_EQ(std::string_view(first["operation"]), expected.samples[0].operation);
        EXPECT_EQ(std::string_view(first["kernel"]), expected.samples[0].kernel);
        EXPECT_EQ(std::string_view(first["metadata"].at(0)["value"]), "caf\xc3\xa9\\");
    }
}

// CSV: the header in record order, one row per group, RFC 4180 quoting; the table: the totals
// first, then a row per group and per listed step.
TEST_F(CliTest, CsvAndTableLayout) {
    Query query;
    query.group_by = GroupBy::Phase;
    const QueryReport expected = vorn_profile::query(profile_, query);
    const Outcome csv = run_tool({"query", path_, "--group-by", "phase", "--format", "csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    std::istringstream lines(csv.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line,
              "name,dimensions,sample_count,tile_count,phase_count,phase_cycles,phase_ms,"
              "work_cycles,average_active_tiles,mean_cycles,p50_cycles,p95_cycles,"
              "maximum_cycles,first_offset,last_offset,minimum_cycles,stddev_cycles,share\r");
    const vorn_profile::GroupSummary& top = expected.groups.front();
    std::getline(lines, line);
    EXPECT_EQ(line,
              top.name + "," + vorn_cli::joined_dimensions(top) + "," +
                  std::to_string(top.sample_count) + "," + std::to_string(top.tile_count) + "," +
                  std::to_string(top.phase_count) + "," + std::to_string(top.phase_cycles) + "," +
                  vorn_cli::shortest_double(top.phase_ms) + "," + std::to_string(top.work_cycles) +
                  "," + vorn_cli::shortest_double(top.average_active_tiles) + "," +
                  vorn_cli::shortest_double(top.mean_cycles) + "," +
                  std::to_string(top.p50_cycles) + "," + std::to_string(top.p95_cycles) + "," +
                  std::to_string(top.maximum_cycles) + "," + std::to_string(top.first_offset) +
                  "," + std::to_string(top.last_offset) + "," + std::to_string(top.minimum_cycles) +
                  "," + vorn_cli::shortest_double(top.stddev_cycles) + "," +
                  vorn_cli::shortest_double(top.share) + "\r");
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), expected.groups.size() + 1);

    vorn_package::ProfileReport odd{.clock_hz = 1, .tiles = {}};
    vorn_package::CycleSample sample;
    sample.step.kernel = "say \"hi\", twice\n";
    sample.end_cycle = 5;
    odd.tiles.push_back({0, {sample}});
    const std::string odd_path = (scratch() / "odd.json").string();
    save(odd_path, profile_text(odd));
    EXPECT_TRUE(run_tool({"query", odd_path, "--format", "csv"})
                    .out.ends_with("\r\n\"say \"\"hi\"\", twice\n\",,1,1,1,5,5000.0,5,1.0,5.0,5,5,"
                                   "5,0,5,5,0.0,1.0\r\n"));

    const Outcome table = run_tool({"query", path_, "--group-by", "kind", "--sample-limit", "2"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_TRUE(table.out.starts_with("6 tiles, 720 samples (720 matched), clock 1330000000 Hz"))
        << table.out;
    // totals, blank, titles, 4 kinds, blank, caption, titles, 2 steps
    EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 1 + 1 + 1 + 4 + 1 + 1 + 1 + 2);
}

// The dimensions column splits back into the group's entries, whatever their texts hold: a
// backslash comes before each `;`, `=` and `\` of a key or value, as `query --help` says.
TEST_F(CliTest, CsvDimensionsSplitBack) {
    vorn_package::ProfileReport odd{.clock_hz = 1, .tiles = {}};
    vorn_package::CycleSample sample;
    sample.step.metadata = {{"a;b", "x=y;metadataValue=z\\"}};
    sample.end_cycle = 5;
    odd.tiles.push_back({0, {sample}});
    const std::string odd_path = (scratch() / "dimensions.json").string();
    save(odd_path, profile_text(odd));
    const Outcome csv = run_tool(
        {"query", odd_path, "--group-by", "metadata", "--metadata-key", "a;b", "--format", "csv"});
    ASSERT_EQ(csv.status, 0) << csv.err;
    const std::string row = csv.out.substr(csv.out.find('\n') + 1);
    const std::string field = row.substr(row.find(',') + 1, row.find(",1,") - row.find(',') - 1);
    EXPECT_EQ(field, R"(metadataKey=a\;b;metadataValue=x\=y\;metadataValue\=z\\)");

    std::map<std::string, std::string> entries;
    std::string key;
    std::string text;
    bool in_value = false;
    for (std::size_t i = 0; i <= field.size(); ++i) {
        if (i == field.size() || field[i] == ';') {
            entries[key] = text;
            key.clear();
            text.clear();
            in_value = false;
        } else if (field[i] == '=' && !in_value) {
            key = text;
            text.clear();
            in_value = true;
        } else {
            text += field[i] == '\\' ? field[++i] : field[i];
        }
    }
    EXPECT_EQ(entries, (std::map<std::string, std::string>{
                           {"metadataKey", "a;b"}, {"metadataValue", "x=y;metadataValue=z\\"}}));
    EXPECT_NE(run_tool({"query", "--help"}).out.find("backslash"), std::string::npos);
}

// `--name=VALUE` is the same as `--name VALUE` for every option that takes a value, the empty
// value included: `--name=` must not take the next word as its value. Each option is followed by
// another, so that a value swallowing it shows.
TEST_F(CliTest, EqualsSpellingIsTheSameAsTwoWords) {
    struct Case {
        std::vector<std::string> before;  // the command and what comes before the option
        std::string option;
        std::string value;
        std::vector<std::string> after;
        int status;
    };
    const std::vector<std::string> query{"query", path_};
    const std::vector<std::string> json{"--format", "json"};
    const std::vector<std::string> seed{"--seed", "2"};
    const std::vector<std::string> generate{"generate", "--tiles", "2", "--steps-per-tile", "3"};
    std::vector<Case> cases;
    for (const std::string value : {"kind", ""}) {
        cases.push_back({query, "--group-by", value, json, value.empty() ? 2 : 0});
    }
    for (const std::string value : {"layer", ""}) {
        std::vector<std::string> by_metadata = query;
        by_metadata.insert(by_metadata.end(), {"--group-by", "metadata"});
        cases.push_back({by_metadata, "--metadata-key", value, json, 0});
    }
    for (const std::string option : {"--sort-by", "--kind"}) {
        cases.push_back({query, option, option == "--kind" ? "idle" : "name", json, 0});
        cases.push_back({query, option, "", json, 2});
    }
    for (const std::string option : {"--kernel", "--operation-contains", "--metadata"}) {
        cases.push_back({query, option, option == "--metadata" ? "layer" : "gemm", json, 0});
        cases.push_back({query, option, "", json, 0});
    }
    for (const std::string option :
         {"--tile", "--phase", "--at-offset", "--limit", "--sample-limit"}) {
        cases.push_back({query, option, "1", json, 0});
        cases.push_back({query, option, "", json, 2});
    }
    // A value that looks like an option with an empty value stays the value.
    cases.push_back({query, "--operation-contains", "--limit=", json, 0});
    cases.push_back({query, "--format", "csv", {"--limit", "1"}, 0});
    cases.push_back({query, "--format", "", {"--limit", "1"}, 2});
    for (const std::string option : {"--tiles", "--steps-per-tile", "--clock-hz"}) {
        cases.push_back({{"generate"}, option, "2", seed, 0});
        cases.push_back({{"generate"}, option, "", seed, 2});
    }
    cases.push_back({generate, "--seed", "2", {"--clock-hz", "5"}, 0});
    cases.push_back({generate, "--seed", "", {"--clock-hz", "5"}, 2});
    cases.push_back({generate, "--output", "-", seed, 0});
    cases.push_back({generate, "--output", "", seed, 2});
    const std::vector<std::string> slow{"generate", "--tiles", "4", "--slow-kernel", "gemm"};
    for (const std::string option : {"--slow-factor", "--slow-tiles"}) {
        cases.push_back({slow, option, "3", seed, 0});
        cases.push_back({slow, option, "", seed, 2});
    }
    cases.push_back({generate, "--slow-kernel", "gemm", seed, 0});
    cases.push_back({generate, "--slow-kernel", "", seed, 2});
    cases.push_back({generate, "--format", "packed", seed, 0});
    cases.push_back({generate, "--format", "", seed, 2});
    for (const std::string command : {"pack", "unpack"}) {
        cases.push_back({{command, path_}, "--output", "-", {}, 0});
        cases.push_back({{command, path_}, "--output", "", {}, 2});
    }
    const std::vector<std::string> chrome{"--format", "chrome-json"};
    cases.push_back({{"export", path_}, "--output", "-", chrome, 0});
    cases.push_back({{"export", path_}, "--output", "", chrome, 2});
    cases.push_back({{"export", path_, "-o", "-"}, "--format", "chrome-json", {}, 0});
    cases.push_back({{"export", path_, "-o", "-"}, "--format", "", {}, 2});
    cases.push_back({{"report", path_}, "--output", "-", {"--kind", "compute"}, 0});
    cases.push_back({{"report", path_}, "--output", "", {"--kind", "compute"}, 2});
    // The window, and the options of the analyses.
    for (const std::string option : {"--from", "--to"}) {
        cases.push_back({query, option, "60000", json, 0});
        cases.push_back({query, option, "", json, 2});
    }
    const std::vector<std::string> diff{"diff", path_, path_};
    const std::vector<std::string> supersteps{"supersteps", path_};
    for (const auto& command : {diff, supersteps}) {
        for (const std::string option : {"--limit", "--kernel"}) {
            cases.push_back({command, option, "1", json, 0});
            cases.push_back({command, option, "", json, option == "--kernel" ? 0 : 2});
        }
    }
    cases.push_back({diff, "--group-by", "kind", json, 0});
    cases.push_back({diff, "--group-by", "", json, 2});
    cases.push_back({supersteps, "--by", "tile", json, 0});
    cases.push_back({supersteps, "--by", "", json, 2});

    for (const Case& c : cases) {
        std::vector<std::string> two_words = c.before;
        two_words.insert(two_words.end(), {c.option, c.value});
        two_words.insert(two_words.end(), c.after.begin(), c.after.end());
        std::vector<std::string> one_word = c.before;
        one_word.push_back(c.option + "=" + c.value);
        one_word.insert(one_word.end(), c.after.begin(), c.after.end());
        SCOPED_TRACE(testing::PrintToString(one_word));
        const Outcome expected = run_tool(two_words);
        const Outcome run = run_tool(one_word);
        EXPECT_EQ(expected.status, c.status) << expected.err;
        EXPECT_EQ(run.status, expected.status) << run.err;
        EXPECT_EQ(run.out, expected.out);
        EXPECT_EQ(run.err, expected.err);
        if (c.status == 2) {
            expect_failure(run, 2);
            EXPECT_NE(run.err.find(c.option), std::string::npos) << run.err;
        } else if (c.after == json) {
            EXPECT_TRUE(run.out.starts_with("{")) << run.out;
        }
    }
}

// Table columns line up on screen: a wide character takes two columns, a combining accent none.
TEST(CliTable, AlignsByDisplayWidth) {
    vorn_package::ProfileReport profile{.clock_hz = 1, .tiles = {}};
    vorn_package::TileProfile tile{0, {}};
    std::uint32_t start = 0;
    for (const auto& [kernel, cycles] :
         {std::pair{"gemm", 30}, {"日本語", 20}, {"cafe\u0301", 10}}) {
        vorn_package::CycleSample sample;
        sample.step.kernel = kernel;
        sample.step.local_index = static_cast<std::uint32_t>(tile.samples.size());
        sample.start_cycle = start;
        sample.end_cycle = start += static_cast<std::uint32_t>(cycles);
        tile.samples.push_back(sample);
    }
    profile.tiles.push_back(tile);
    const std::string path = (scratch() / "wide.json").string();
    save(path, profile_text(profile));

    const Outcome run = run_tool({"query", path});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<std::string> starts;
    for (std::string line; std::getline(lines, line);) {
        starts.push_back(line.substr(0, line.find_first_of("-d", line.find(' '))));
    }
    ASSERT_EQ(starts.size(), 6u) << run.out;
    EXPECT_EQ(starts[2], "group   ");
    EXPECT_EQ(starts[3], "gemm    ");
    EXPECT_EQ(starts[4], "日本語  ");
    EXPECT_EQ(starts[5], "cafe\u0301    ");
}

// The analyses from the command line give the library's answers, rendered as the tool renders
// them; without a window the query report is the plain query's, byte for byte.
TEST_F(CliTest, AnalysesMatchTheLibrary) {
    const vorn_profile::TimeWindow window{20000, 90000};
    std::ostringstream windowed;
    Query by_kind;
    by_kind.group_by = GroupBy::Kind;
    vorn_cli::write_json(windowed, vorn_profile::query_window(profile_, by_kind, window).report,
                         window);
    const Outcome run = run_tool({"query", path_, "--group-by", "kind", "--from", "20000", "--to",
                                  "90000", "--format", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, windowed.str());
    EXPECT_NE(run.out.find("\"from\": 20000,\n  \"to\": 90000,"), std::string::npos);
    EXPECT_EQ(run_tool({"query", path_, "--format", "json"}).out.find("\"from\""),
              std::string::npos);

    vorn_package::SyntheticOptions slow{.tiles = 6, .steps_per_tile = 120, .seed = 3};
    slow.slow_kernel = "gemm";
    slow.slow_factor = 1.5;
    const auto slowed = vorn_package::synthetic_profile(slow);
    const std::string slow_path = (scratch() / "slow.json").string();
    save(slow_path, profile_text(slowed));
    const Outcome generated =
        run_tool({"generate", "--tiles", "6", "--steps-per-tile", "120", "--seed", "3",
                  "--slow-kernel", "gemm", "--slow-factor", "1.5"});
    EXPECT_EQ(generated.out, profile_text(slowed));

    Query limited;
    limited.limit = 3;
    const vorn_profile::DiffReport compared = vorn_profile::diff(profile_, slowed, limited);
    ASSERT_FALSE(compared.rows.empty());
    EXPECT_EQ(compared.rows[0].name, "gemm");
    for (const auto& [format, expected] : std::vector<std::pair<std::string, std::string>>{
             {"json",
              [&] {
                  std::ostringstream out;
                  vorn_cli::write_diff_json(out, compared, {});
                  return out.str();
              }()},
             {"csv", [&] {
                  std::ostringstream out;
                  vorn_cli::write_diff_csv(out, compared);
                  return out.str();
              }()}}) {
        const Outcome d = run_tool({"diff", path_, slow_path, "--limit", "3", "--format", format});
        EXPECT_EQ(d.status, 0) << d.err;
        EXPECT_EQ(d.out, expected) << format;
    }

    const vorn_profile::SuperstepReport steps = vorn_profile::supersteps(profile_, Query{});
    for (const auto rows : {vorn_cli::SuperstepRows::Occurrence, vorn_cli::SuperstepRows::Tile}) {
        const std::string by = rows == vorn_cli::SuperstepRows::Tile ? "tile" : "occurrence";
        std::ostringstream json;
        vorn_cli::write_supersteps_json(json, steps, rows, 4);
        std::ostringstream csv;
        vorn_cli::write_supersteps_csv(csv, steps, rows, std::nullopt);
        EXPECT_EQ(
            run_tool({"supersteps", path_, "--by", by, "--limit", "4", "--format", "json"}).out,
            json.str());
        EXPECT_EQ(run_tool({"supersteps", path_, "--by", by, "--format", "csv"}).out, csv.str());
    }
    // Doubles read back bit for bit.
    simdjson::dom::parser parser;
    const simdjson::padded_string text(
        run_tool({"supersteps", path_, "--limit", "1", "--format", "json"}).out);
    const simdjson::dom::element top = parser.parse(text)["occurrences"].at(0);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(double(top["imbalance"])),
              std::bit_cast<std::uint64_t>(steps.occurrences[0].imbalance));
    EXPECT_EQ(std::uint64_t(top["straggler"]), steps.occurrences[0].straggler);
}

// A kernel slowed on one tile by the generator: supersteps --by tile names that tile first.
TEST(CliAnalyses, SuperstepsNameTheSlowedTile) {
    const fs::path path = scratch() / "one-slow.json";
    const Outcome generated =
        run_tool({"generate", "--tiles", "12", "--steps-per-tile", "200", "--slow-kernel", "gemm",
                  "--slow-factor", "1.3", "--slow-tiles", "7", "-o", path.string()});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const Outcome run = run_tool({"supersteps", path.string(), "--by", "tile", "--format", "csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with(
        "physical_tile,straggler_count,busy_cycles,busy_ms,lost_cycles_caused,lost_ms\r\n7,"))
        << run.out;
}

TEST_F(CliTest, InfoDemoHelpAndVersion) {
    const Outcome info = run_tool({"info", path_});
    ASSERT_EQ(info.status, 0) << info.err;
    for (const char* line :
         {"\ntiles    6\n", "\nsamples  720\n", "\ngemm ", "\n(no kernel) ", "\nlayer "}) {
        EXPECT_NE(info.out.find(line), std::string::npos) << line << "\n" << info.out;
    }
    const Outcome demo = run_tool({"demo"});
    EXPECT_EQ(demo.status, 0);
    EXPECT_EQ(demo.err, "");
    EXPECT_NE(demo.out.find("$ vorn-profile query run.json --group-by kernel"), std::string::npos);
    EXPECT_NE(demo.out.find("$ vorn-profile supersteps run.json"), std::string::npos);
    EXPECT_NE(demo.out.find("$ vorn-profile diff run.json slow.json"), std::string::npos);
    for (const char* command : {"diff", "supersteps"}) {
        const Outcome help = run_tool({command, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("Example:\n  vorn-profile"), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("--from"), std::string::npos);
    }
    for (const auto& args : {std::vector<std::string>{"--help"},
                             {"query", "--help"},
                             {"generate", "-h"},
                             {"--version"}}) {
        const Outcome run = run_tool(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        EXPECT_FALSE(run.out.empty());
    }
}

}  // namespace

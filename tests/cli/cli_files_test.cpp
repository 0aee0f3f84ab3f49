// The files the tool reads and writes: it never writes over the profile it reads, whatever
// names the two go by; a stream that cannot be a profile is refused at its first byte; a bad
// environment is blamed, not the file; generated, packed and unpacked files, and either format
// read by its first bytes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli_harness.hpp"
#include "output_space.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace {

using namespace cli_test;

TEST(CliFiles, NoCommandWritesOverTheProfileItReads) {
    const fs::path dir = scratch() / "same";
    fs::create_directories(dir);
    const fs::path json = dir / "v.json";
    const fs::path packed = dir / "v.packed";
    ASSERT_EQ(run_tool({"generate", "--tiles", "3", "-o", json.string()}).status, 0);
    ASSERT_EQ(run_tool({"pack", json.string(), "-o", packed.string()}).status, 0);
    fs::create_symlink(json, dir / "link.json");
    fs::create_hard_link(packed, dir / "hard.packed");
    const std::string json_bytes = slurp(json);
    const std::string packed_bytes = slurp(packed);
    struct Case {
        std::string input;
        std::string output;
        std::string standard_input = "/dev/null";
    };
    const Case cases[] = {
        {json.string(), json.string()},
        {(dir / "link.json").string(), json.string()},
        {json.string(), (dir / "link.json").string()},
        {packed.string(), (dir / "hard.packed").string()},
        {packed.string(), packed.string()},
        {"-", packed.string(), packed.string()},
    };
    for (const Case& c : cases) {
        for (const std::vector<std::string>& command : {std::vector<std::string>{"export"},
                                                        {"export", "--format", "chrome-json"},
                                                        {"report"},
                                                        {"pack"},
                                                        {"unpack"}}) {
            std::vector<std::string> args = command;
            args.insert(args.begin() + 1, c.input);
            args.insert(args.end(), {"-o", c.output});
            SCOPED_TRACE(testing::PrintToString(args));
            const Outcome run = run_tool(args, c.standard_input);
            expect_failure(run, 1);
            EXPECT_NE(run.err.find("is the profile being read"), std::string::npos) << run.err;
        }
    }
    EXPECT_EQ(slurp(json), json_bytes);
    EXPECT_EQ(slurp(packed), packed_bytes);
}

TEST(CliFiles, StreamsThatCannotBeProfilesAreRefusedAtOnce) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"query", "/dev/zero"},
          {"info", "/dev/zero"},
          {"pack", "/dev/zero", "-o", (scratch() / "never.packed").string()}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Outcome run = run_tool(args);
        expect_failure(run, 1);
        EXPECT_TRUE(run.err.starts_with("error: /dev/zero: at byte 0: ")) << run.err;
    }
    EXPECT_FALSE(fs::exists(scratch() / "never.packed"));
    // A regular file on standard input is read as the same file by path would be.
    const fs::path json = scratch() / "stdin.json";
    ASSERT_EQ(run_tool({"generate", "--tiles", "2", "-o", json.string()}).status, 0);
    EXPECT_EQ(run_tool({"query", "-"}, json.string()).out, run_tool({"query", json.string()}).out);
}

TEST(CliFiles, ABadSimdjsonKernelIsBlamedNotTheFile) {
    const fs::path json = scratch() / "env.json";
    ASSERT_EQ(run_tool({"generate", "--tiles", "2", "-o", json.string()}).status, 0);
    ::setenv("SIMDJSON_FORCE_IMPLEMENTATION", "bogus", 1);
    const Outcome run = run_tool({"query", json.string()});
    ::unsetenv("SIMDJSON_FORCE_IMPLEMENTATION");
    expect_failure(run, 1);
    EXPECT_TRUE(run.err.starts_with("error: SIMDJSON_FORCE_IMPLEMENTATION=bogus names no simdjson"))
        << run.err;
}

// The size that `generate` checks against the free space is a little short of the file it
// writes, in either format, for tiles longer than the run it measures as for shorter ones.
TEST(CliGenerate, EstimatedSizeIsJustShortOfTheFile) {
    for (const auto& [tiles, steps] : {std::pair{30U, 300U}, std::pair{3U, 3000U}}) {
        for (const auto format : {vorn_cli::ProfileFormat::Json, vorn_cli::ProfileFormat::Packed}) {
            vorn_cli::CommandLine line;
            line.synthetic.tiles = tiles;
            line.synthetic.steps_per_tile = steps;
            line.synthetic.seed = 4;
            line.generate_format = format;
            std::ostringstream out;
            if (format == vorn_cli::ProfileFormat::Json) {
                vorn_package::write_profile_json(out,
                                                 vorn_package::synthetic_profile(line.synthetic));
            } else {
                vorn_package::write_profile_packed(out,
                                                   vorn_package::synthetic_columns(line.synthetic));
            }
            const auto size = static_cast<double>(out.str().size());
            const double estimate = vorn_cli::generated_profile_bytes(line);
            SCOPED_TRACE(std::to_string(steps) + " steps: " + std::to_string(estimate) + " of " +
                         std::to_string(size));
            EXPECT_LE(estimate, size);
            EXPECT_GE(estimate, 0.95 * size);
        }
    }
}

TEST(CliGenerate, SameSeedSameBytes) {
    const std::vector<std::string> args{"generate", "--tiles", "5", "--steps-per-tile",
                                        "40",       "--seed",  "9", "--clock-hz",
                                        "1000000"};
    const Outcome first = run_tool(args);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, run_tool(args).out);
    EXPECT_EQ(first.out, profile_text(vorn_package::synthetic_profile(
                             {.tiles = 5, .steps_per_tile = 40, .seed = 9, .clock_hz = 1000000})));

    const fs::path file = scratch() / "generated.json";
    std::vector<std::string> to_file = args;
    to_file.insert(to_file.end(), {"-o", file.string()});
    const Outcome written = run_tool(to_file);
    EXPECT_EQ(written.status, 0) << written.err;
    EXPECT_EQ(written.out, "");
    EXPECT_EQ(slurp(file), first.out);

    std::vector<std::string> reseeded = args;
    reseeded[6] = "10";
    EXPECT_NE(run_tool(reseeded).out, first.out);
}

// pack and unpack are inverses on the bytes, and generate --format packed writes what pack
// makes of the JSON that generate writes.
TEST_F(CliTest, PackUnpackAndGeneratePacked) {
    const std::string packed = (scratch() / "run.packed").string();
    const Outcome pack = run_tool({"pack", path_, "-o", packed});
    ASSERT_EQ(pack.status, 0) << pack.err;
    EXPECT_EQ(pack.out, "");
    EXPECT_TRUE(vorn_package::is_profile_packed(slurp(packed)));

    const std::string json = (scratch() / "unpacked.json").string();
    const Outcome unpack = run_tool({"unpack", packed, "-o", json});
    ASSERT_EQ(unpack.status, 0) << unpack.err;
    EXPECT_EQ(slurp(json), profile_text(profile_));
    EXPECT_EQ(run_tool({"unpack", packed}).out, profile_text(profile_));
    // Packing a packed file, from standard input, gives the same file.
    EXPECT_EQ(run_tool({"pack", "-", "-o", "-"}, packed).out, slurp(packed));

    const std::string generated = (scratch() / "generated.packed").string();
    const Outcome generate = run_tool({"generate", "--tiles", "6", "--steps-per-tile", "120",
                                       "--seed", "3", "--format", "packed", "-o", generated});
    ASSERT_EQ(generate.status, 0) << generate.err;
    EXPECT_EQ(slurp(generated), slurp(packed));
    EXPECT_EQ(run_tool({"generate", "--tiles", "6", "--steps-per-tile", "120", "--seed", "3",
                        "--format", "packed"})
                  .out,
              slurp(packed));
}

// The format is told by the first bytes, not the name, for a path and for standard input;
// the answers are the same from either format.
TEST_F(CliTest, QueryAndInfoReadEitherFormat) {
    const std::string packed = (scratch() / "named-like.json").string();
    ASSERT_EQ(run_tool({"pack", path_, "-o", packed}).status, 0);
    const std::string json_as_packed = (scratch() / "named-like.packed").string();
    save(json_as_packed, profile_text(profile_));

    const std::vector<std::string> options{"--group-by", "phase",    "--sample-limit",
                                           "3",          "--format", "json"};
    const auto query = [&](const std::string& path, const std::string& input = "/dev/null") {
        std::vector<std::string> args{"query", path};
        args.insert(args.end(), options.begin(), options.end());
        return run_tool(args, input);
    };
    const Outcome expected = query(path_);
    ASSERT_EQ(expected.status, 0) << expected.err;
    for (const auto& [path, input] : std::vector<std::pair<std::string, std::string>>{
             {packed, "/dev/null"}, {json_as_packed, "/dev/null"}, {"-", packed}, {"-", path_}}) {
        SCOPED_TRACE(path + " < " + input);
        const Outcome run = query(path, input);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, expected.out);
    }
    const Outcome info_json = run_tool({"info", "-"}, path_);
    const Outcome info_packed = run_tool({"info", "-"}, packed);
    ASSERT_EQ(info_packed.status, 0) << info_packed.err;
    EXPECT_EQ(info_packed.out, info_json.out);
}

}  // namespace

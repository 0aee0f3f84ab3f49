// The files the tool reads and writes: it never writes over the profile it reads, whatever
// names the two go by; a stream that cannot be a profile is refused at its first byte; a bad
// environment is blamed, not the file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_harness.hpp"

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

}  // namespace

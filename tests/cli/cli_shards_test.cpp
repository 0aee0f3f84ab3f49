// Shard directories and threads on the command line: a profile packed into shards answers every
// command with the same bytes as the whole file, and every command that reads a profile prints
// the same bytes on one thread as on several.
#include "cli_harness.hpp"

namespace cli_test {
namespace {

/// A new path in the scratch directory, nothing there yet.
std::string fresh(const std::string& name) {
    const fs::path path = scratch() / name;
    fs::remove_all(path);
    return path.string();
}

/// The outcome of `args`, with the bytes of `-o` files read back in place of standard output.
std::string answer(const std::vector<std::string>& args, const std::string& written = "") {
    const Outcome run = run_tool(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return written.empty() ? run.out : slurp(written);
}

TEST_F(CliTest, ShardsAnswerAsTheWholeProfile) {
    const std::string packed = fresh("whole.packed");
    ASSERT_EQ(run_tool({"pack", path_, "-o", packed}).status, 0);
    const std::string shards = fresh("shards");
    const Outcome packing = run_tool({"pack", path_, "-o", shards, "--shard-tiles", "4"});
    ASSERT_EQ(packing.status, 0) << packing.err;
    EXPECT_TRUE(fs::exists(fs::path(shards) / "part-00000.packed"));
    EXPECT_TRUE(fs::exists(fs::path(shards) / "part-00001.packed"));
    EXPECT_FALSE(fs::exists(fs::path(shards) / "part-00002.packed"));

    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--format", "json", "--sample-limit", "3"},
          {"--group-by", "tile", "--limit", "5", "--format", "csv"},
          {"--group-by", "phase", "--from", "100", "--to", "9000"}}) {
        std::vector<std::string> whole{"query", packed};
        std::vector<std::string> sharded{"query", shards};
        whole.insert(whole.end(), options.begin(), options.end());
        sharded.insert(sharded.end(), options.begin(), options.end());
        EXPECT_EQ(answer(sharded), answer(whole));
    }
    EXPECT_EQ(answer({"supersteps", shards}), answer({"supersteps", packed}));
    EXPECT_EQ(answer({"unpack", shards}), answer({"unpack", packed}));
    EXPECT_EQ(answer({"unpack", shards}), profile_text(profile_));
    // The directory as a whole packs into one file like the original.
    const std::string repacked = fresh("repacked.packed");
    EXPECT_EQ(answer({"pack", shards, "-o", repacked}, repacked), slurp(packed));

    // The generator writes the same shards straight away.
    const std::string generated = fresh("generated");
    ASSERT_EQ(run_tool({"generate", "--tiles", "6", "--steps-per-tile", "120", "--seed", "3",
                        "--format", "packed", "--shard-tiles", "4", "-o", generated})
                  .status,
              0);
    for (const char* name : {"part-00000.packed", "part-00001.packed"}) {
        EXPECT_EQ(slurp(fs::path(generated) / name), slurp(fs::path(shards) / name)) << name;
    }
}

TEST_F(CliTest, ShardErrorsAreOneLineNamingTheFiles) {
    const std::string empty = fresh("no-shards");
    fs::create_directories(empty);
    const Outcome none = run_tool({"query", empty});
    expect_failure(none, 1);
    EXPECT_NE(none.err.find("without a shard"), std::string::npos) << none.err;

    const std::string mixed = fresh("mixed");
    ASSERT_EQ(run_tool({"pack", path_, "-o", mixed, "--shard-tiles", "3"}).status, 0);
    ASSERT_EQ(run_tool({"generate", "--tiles", "2", "--clock-hz", "7", "--format", "packed", "-o",
                        (fs::path(mixed) / "part-00002.packed").string()})
                  .status,
              0);
    const Outcome clocks = run_tool({"info", mixed});
    expect_failure(clocks, 1);
    EXPECT_NE(clocks.err.find("part-00002.packed has 7"), std::string::npos) << clocks.err;

    // The output directory must be new or empty; it is left as it was.
    const Outcome used = run_tool({"pack", path_, "-o", mixed, "--shard-tiles", "3"});
    expect_failure(used, 1);
    EXPECT_NE(used.err.find("not empty"), std::string::npos) << used.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(mixed), fs::directory_iterator()), 3);

    expect_failure(run_tool({"pack", path_, "-o", fresh("zero"), "--shard-tiles", "0"}), 2);
    expect_failure(run_tool({"pack", path_, "--shard-tiles", "2"}), 2);
    expect_failure(run_tool({"generate", "--shard-tiles", "2", "-o", fresh("json")}), 2);
}

// Every command that reads a profile, on one thread and on several: the same bytes, for a
// file, for shards, and for shards whose physical tiles come back in a later shard.
TEST_F(CliTest, EveryCommandPrintsTheSameBytesOnAnyThreads) {
    const std::string shards = fresh("threads-shards");
    ASSERT_EQ(run_tool({"pack", path_, "-o", shards, "--shard-tiles", "2"}).status, 0);
    const std::string repeated = fresh("threads-repeated");
    fs::create_directories(repeated);
    ASSERT_EQ(run_tool({"pack", path_, "-o", repeated + "/a.packed"}).status, 0);
    ASSERT_EQ(run_tool({"generate", "--tiles", "5", "--steps-per-tile", "90", "--slow-kernel",
                        "gemm", "-o", repeated + "/b.json"})
                  .status,
              0);
    const std::string output = (scratch() / "threads-output").string();
    for (const std::string& profile : {path_, shards, repeated}) {
        SCOPED_TRACE(profile);
        const std::vector<std::vector<std::string>> commands = {
            {"query", profile, "--group-by", "tile", "--sample-limit", "4", "--format", "json"},
            {"info", profile},
            {"diff", profile, path_, "--group-by", "kernel", "--format", "csv"},
            {"supersteps", profile, "--format", "json"},
            {"supersteps", profile, "--by", "tile", "--from", "500", "--to", "20000"},
            {"export", profile, "-o", output, "--kind", "compute"},
            {"report", profile, "-o", output},
            {"pack", profile, "-o", output},
            {"unpack", profile, "-o", output}};
        for (const std::vector<std::string>& command : commands) {
            SCOPED_TRACE(command[0]);
            const bool to_file = command[0] == "export" || command[0] == "report" ||
                                 command[0] == "pack" || command[0] == "unpack";
            std::string first;
            for (const char* threads : {"1", "2", "3"}) {
                std::vector<std::string> args = command;
                args.insert(args.end(), {"--threads", threads});
                const std::string got = answer(args, to_file ? output : "");
                EXPECT_FALSE(got.empty());
                if (first.empty()) {
                    first = got;
                } else {
                    EXPECT_EQ(got, first) << threads << " threads";
                }
            }
        }
    }
}

// The report is the same bytes on any number of threads, with or without a window, and the
// same as the library's one-thread query.
TEST(CliQuery, ThreadsGiveTheSameBytes) {
    const fs::path path = scratch() / "threads.packed";
    const Outcome generated = run_tool({"generate", "--tiles", "37", "--steps-per-tile", "150",
                                        "--format", "packed", "-o", path.string()});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const std::vector<std::vector<std::string>> requests{
        {"--format", "json", "--sample-limit", "7"},
        {"--group-by", "tile", "--limit", "5"},
        {"--group-by", "phase", "--from", "20000", "--to", "90000", "--format", "csv"},
    };
    for (const std::vector<std::string>& request : requests) {
        std::vector<std::string> args{"query", path.string()};
        args.insert(args.end(), request.begin(), request.end());
        const Outcome by_default = run_tool(args);
        ASSERT_EQ(by_default.status, 0) << by_default.err;
        for (const char* threads : {"1", "2", "3", "64"}) {
            std::vector<std::string> threaded = args;
            threaded.insert(threaded.end(), {"--threads", threads});
            const Outcome run = run_tool(threaded);
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.out, by_default.out) << request[1] << " on " << threads << " threads";
        }
    }
}

// `info` counts stretches of the samples on each thread and adds them up: the same bytes on any
// number of threads, for a profile long enough to be cut.
TEST(CliInfo, ThreadsGiveTheSameBytes) {
    const fs::path path = scratch() / "info-threads.packed";
    const Outcome generated = run_tool({"generate", "--tiles", "37", "--steps-per-tile", "4000",
                                        "--format", "packed", "-o", path.string()});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const Outcome one = run_tool({"info", path.string(), "--format", "json", "--threads", "1"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_NE(one.out.find("\"sample_count\": 148000"), std::string::npos) << one.out;
    for (const char* threads : {"2", "3"}) {
        const Outcome run =
            run_tool({"info", path.string(), "--format", "json", "--threads", threads});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, one.out) << threads << " threads";
    }
}

}  // namespace
}  // namespace cli_test

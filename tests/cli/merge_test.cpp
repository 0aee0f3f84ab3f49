// `query --partial` and `merge`: the parts of a profile's shards, merged in shard order, print
// the bytes `query` prints over the whole profile; parts that cannot be merged, damaged parts
// and limits given twice are one `error:` line naming the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_harness.hpp"

namespace {

using namespace cli_test;

/// The run's tiles [first, last) as a profile of their own.
vorn_package::ProfileReport shard(const vorn_package::ProfileReport& whole, std::size_t first,
                                  std::size_t last) {
    vorn_package::ProfileReport part;
    part.clock_hz = whole.clock_hz;
    part.tiles.assign(whole.tiles.begin() + static_cast<std::ptrdiff_t>(first),
                      whole.tiles.begin() + static_cast<std::ptrdiff_t>(last));
    return part;
}

class CliMerge : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        // Three shards of 2, 1 and 3 tiles; the last one packed.
        const std::size_t cuts[] = {0, 2, 3, 6};
        for (int s = 0; s < 3; ++s) {
            const fs::path json = scratch() / ("shard-" + std::to_string(s) + ".json");
            save(json, profile_text(shard(profile_, cuts[s], cuts[s + 1])));
            shards_.push_back(json.string());
        }
        const std::string packed = (scratch() / "shard-2.packed").string();
        ASSERT_EQ(run_tool({"pack", shards_[2], "-o", packed}).status, 0);
        shards_[2] = packed;
    }

    /// The parts of the shards made with `options`, in shard order.
    std::vector<std::string> parts(const std::vector<std::string>& options,
                                   const std::string& name = "part") {
        std::vector<std::string> made;
        for (std::size_t s = 0; s < shards_.size(); ++s) {
            const std::string part = (scratch() / (name + std::to_string(s))).string();
            std::vector<std::string> args{"query", shards_[s]};
            args.insert(args.end(), options.begin(), options.end());
            args.insert(args.end(), {"--partial", "-o", part, "--threads", "2"});
            const Outcome run = run_tool(args);
            EXPECT_EQ(run.status, 0) << run.err;
            made.push_back(part);
        }
        return made;
    }

    Outcome merge(const std::vector<std::string>& parts,
                  const std::vector<std::string>& options = {}) {
        std::vector<std::string> args{"merge"};
        args.insert(args.end(), parts.begin(), parts.end());
        args.insert(args.end(), options.begin(), options.end());
        return run_tool(args);
    }

    std::vector<std::string> shards_;
};

TEST_F(CliMerge, MergedShardPartsPrintTheQueryOfTheWholeProfile) {
    const std::vector<std::vector<std::string>> queries = {
        {},
        {"--group-by", "phase", "--sample-limit", "5"},
        {"--group-by", "tile", "--limit", "3", "--sort-by", "name"},
        {"--kind", "compute", "--from", "2000", "--to", "90000", "--sample-limit", "4"},
        {"--group-by", "metadata", "--metadata-key", "block", "--sample-limit", "100000"},
    };
    for (const auto& options : queries) {
        const std::vector<std::string> made = parts(options);
        for (const std::string format : {"table", "json", "csv"}) {
            std::vector<std::string> whole{"query", path_, "--format", format};
            whole.insert(whole.end(), options.begin(), options.end());
            const Outcome want = run_tool(whole);
            const Outcome got = merge(made, {"--format", format});
            ASSERT_EQ(got.status, 0) << got.err;
            EXPECT_EQ(got.out, want.out) << testing::PrintToString(options) << " " << format;
        }
    }
}

TEST_F(CliMerge, LimitsMayBeLeftToMerge) {
    const Outcome want = run_tool({"query", path_, "--group-by", "tile", "--limit", "2"});
    EXPECT_EQ(merge(parts({"--group-by", "tile"}), {"--limit", "2"}).out, want.out);
    // A part may be merged alone, and a part of the whole profile gives its report.
    const std::string whole = (scratch() / "whole.part").string();
    ASSERT_EQ(run_tool({"query", path_, "--partial", "-o", whole}).status, 0);
    EXPECT_EQ(merge({whole}).out, run_tool({"query", path_}).out);
}

TEST_F(CliMerge, PartsThatCannotBeMergedAreNamed) {
    const std::vector<std::string> by_kernel = parts({});
    const std::vector<std::string> by_phase = parts({"--group-by", "phase"}, "phase");
    Outcome run = merge({by_kernel[0], by_phase[1]});
    expect_failure(run, 1);
    EXPECT_NE(run.err.find(by_phase[1] + ": cannot be merged after " + by_kernel[0] +
                           ": different queries: their group_by differ"),
              std::string::npos)
        << run.err;

    vorn_package::ProfileReport other_clock = shard(profile_, 0, 1);
    other_clock.clock_hz = 1000;
    const std::string other = (scratch() / "clock.json").string();
    save(other, profile_text(other_clock));
    const std::string other_part = (scratch() / "clock.part").string();
    ASSERT_EQ(run_tool({"query", other, "--partial", "-o", other_part}).status, 0);
    run = merge({by_kernel[0], other_part});
    expect_failure(run, 1);
    EXPECT_NE(
        run.err.find("different clocks: " + std::to_string(profile_.clock_hz) + " Hz and 1000 Hz"),
        std::string::npos)
        << run.err;

    // The same part twice covers the same tiles twice.
    run = merge({by_kernel[0], by_kernel[1], by_kernel[1]});
    expect_failure(run, 1);
    EXPECT_NE(run.err.find("they overlap"), std::string::npos) << run.err;
}

TEST_F(CliMerge, DamagedPartsAreNamed) {
    const std::vector<std::string> made = parts({});
    const std::string bytes = slurp(made[1]);
    const std::string truncated = (scratch() / "truncated.part").string();
    save(truncated, bytes.substr(0, bytes.size() - 3));
    const std::string flipped = (scratch() / "flipped.part").string();
    std::string changed = bytes;
    changed[bytes.size() / 2] ^= 0x10;
    save(flipped, changed);
    const struct {
        std::string part;
        std::string says;
    } cases[] = {
        {truncated, truncated + ": not a usable partial report: at byte 16 (header):"},
        {flipped, flipped + ": not a usable partial report: at byte 24 (header): checksum"},
        {path_, path_ + ": not a usable partial report: at byte 0 (header): not a partial"},
        {(scratch() / "absent.part").string(), "absent.part: cannot open: No such file"},
        {scratch().string(), ": is a directory, not a partial report"},
    };
    for (const auto& c : cases) {
        const Outcome run = merge({made[0], c.part, made[2]});
        expect_failure(run, 1);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
}

TEST_F(CliMerge, LimitsGivenTwiceAndPartialsWithoutAFileAreUsageErrors) {
    const std::vector<std::string> limited = parts({"--limit", "2", "--sample-limit", "3"});
    const std::vector<std::string> plain = parts({}, "plain");
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"merge", limited[0], "--limit", "1"}, "--limit: the parts were made with --limit 2"},
        {{"merge", limited[0], "--sample-limit", "1"},
         "--sample-limit: the parts were made with --sample-limit 3"},
        {{"merge", plain[0], "--sample-limit", "1"}, "the parts keep no samples to list"},
        {{"query", path_, "--partial"}, "--partial: give -o PART"},
        {{"query", path_, "--partial", "-o", "x.part", "--format", "json"},
         "--format: not with --partial"},
        {{"query", path_, "-o", "x.part"}, "-o: only with --partial"},
        {{"merge", "-", "-"}, "more than once"},
    };
    for (const auto& c : cases) {
        const Outcome run = run_tool(c.args);
        expect_failure(run, 2);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
}

}  // namespace

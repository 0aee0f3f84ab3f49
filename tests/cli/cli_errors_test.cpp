// The tool's failures as a user meets them: a usage error exits 2, an unreadable or damaged
// profile or an unwritable output 1, each with one error line that names what is wrong and
// nothing on standard output.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli_harness.hpp"
#include "profile_packed_layout.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace {

using namespace cli_test;

TEST(CliErrors, BadCommandLinesExitTwoAndNameTheOption) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> named;  // texts the error line must contain
    };
    const Case cases[] = {
        {{"query", "p", "--tile", "-1"}, {"--tile", "-1"}},
        {{"query", "p", "--tile", "+5"}, {"--tile", "+5"}},
        {{"query", "p", "--phase", "1e3"}, {"--phase", "1e3"}},
        {{"query", "p", "--phase", "0x10"}, {"--phase", "0x10"}},
        {{"query", "p", "--tile", "99999999999"}, {"--tile", "99999999999"}},
        {{"query", "p", "--tile", "1,5-3"}, {"--tile", "5-3"}},
        {{"query", "p", "--tile", "1,,2"}, {"--tile", "1,,2"}},
        {{"query", "p", "--phase", "0-1048576"}, {"--phase", "0-1048576"}},
        {{"query", "p", "--at-offset", "18446744073709551616"}, {"--at-offset", "1844674407"}},
        {{"query", "p", "--limit", "-1"}, {"--limit", "-1"}},
        {{"query", "p", "--sample-limit", ""}, {"--sample-limit", "''"}},
        {{"query", "p", "--group-by", "colour"}, {"--group-by", "colour"}},
        {{"query", "p", "--sort-by", "speed"}, {"--sort-by", "speed"}},
        {{"query", "p", "--kind", "Compute"}, {"--kind", "Compute"}},
        {{"query", "p", "--format", "xml"}, {"--format", "xml"}},
        {{"query", "p", "--kernel", "a", "--kernel", "b"}, {"--kernel", "'a'", "'b'"}},
        {{"query", "p", "--limit"}, {"--limit"}},
        {{"query", "p", "--bogus"}, {"--bogus"}},
        {{"query", "p", "--threads", "0"}, {"--threads", "0", "1 to 1024"}},
        {{"query", "p", "--threads", "1025"}, {"--threads", "1025"}},
        {{"query", "p", "--threads", "two"}, {"--threads", "two"}},
        {{"diff", "p", "q", "--threads", "0"}, {"--threads", "0", "1 to 1024"}},
        {{"pack", "p", "-o", "x", "--shard-tiles", "0"}, {"--shard-tiles", "not 0"}},
        {{"query", "p", "--kernel-matches", "(a"}, {"--kernel-matches", "'(a'", "missing )"}},
        {{"query", "p", "--operation-matches", "a**"}, {"--operation-matches", "'a**'"}},
        {{"query", "p", "--percentiles", "100.001"}, {"--percentiles", "100.001"}},
        {{"query", "p", "--percentiles", "99.9999"}, {"--percentiles", "99.9999"}},
        {{"query", "p", "--percentiles", "50,,90"}, {"--percentiles", "''"}},
        {{"query", "p", "--group-by", "kernel,tile,kind,phase"}, {"--group-by", "at most three"}},
        {{"query", "p", "--group-by", "tile,tile"}, {"--group-by", "twice"}},
        {{"query", "p", "--exclude-kind", "gpu"}, {"--exclude-kind", "gpu"}},
        {{"query", "p", "--epoch", "x"}, {"--epoch", "x"}},
        {{"query", "p", "--metadata-key", "layer"}, {"--metadata-key", "--group-by metadata"}},
        {{"diff", "a", "b", "--metadata-key", "layer"}, {"--metadata-key"}},
        {{"query", "p", "--group-by", "metadata"}, {"--group-by metadata", "--metadata-key"}},
        {{"query", "p", "--group-by", "kind,metadata"}, {"--group-by metadata", "--metadata-key"}},
        {{"query", "p", "--sample-limit", "3", "--format", "csv"},
         {"--sample-limit", "csv", "samples"}},
        {{"query"}, {"PROFILE"}},
        {{"info", "-x.json"}, {"-x.json"}},
        {{"info", "--bogus"}, {"--bogus"}},
        {{"query", "--limit", "1", "--bogus"}, {"--bogus"}},
        {{"generate", "--tiles", "4294967296"}, {"--tiles", "4294967296"}},
        {{"generate", "--seed", "1.5"}, {"--seed", "1.5"}},
        {{"generate", "--clock-hz", "1", "--clock-hz", "2"}, {"--clock-hz"}},
        {{"query", "p", "--from", "5", "--to", "5"}, {"empty window", "--from 5 --to 5"}},
        {{"query", "p", "--to", "0"}, {"empty window"}},
        {{"query", "p", "--from", "18446744073709551615"}, {"empty window"}},
        {{"supersteps", "p", "--from", "9", "--to", "3"}, {"--from 9 is past --to 3"}},
        {{"diff", "p", "q", "--from", "x"}, {"--from", "'x'"}},
        {{"diff", "p"}, {"NEW"}},
        {{"diff", "p", "q", "--sample-limit", "3"}, {"--sample-limit", "diff"}},
        {{"supersteps", "p", "--group-by", "kernel"}, {"--group-by", "supersteps"}},
        {{"supersteps", "p", "--sort-by=name"}, {"--sort-by", "supersteps"}},
        {{"supersteps", "p", "--metadata-key", "k"}, {"--metadata-key", "supersteps"}},
        {{"supersteps", "p", "--sample-limit", "1"}, {"--sample-limit", "supersteps"}},
        {{"supersteps", "p", "--by", "kernel"}, {"--by", "kernel"}},
        {{"query", "p", "--by", "tile"}, {"--by"}},
        {{"generate", "--slow-factor", "2"}, {"--slow-factor", "--slow-kernel"}},
        {{"generate", "--slow-tiles", "1"}, {"--slow-tiles", "--slow-kernel"}},
        {{"generate", "--slow-kernel", "gemm", "--slow-factor", "0"}, {"--slow-factor", "'0'"}},
        {{"generate", "--slow-kernel", "gemm", "--slow-factor", "1e3"}, {"--slow-factor", "1e3"}},
        {{"generate", "--slow-kernel", ""}, {"--slow-kernel"}},
        {{"generate", "--slow-kernel", "gemm", "--slow-tiles", "3,64"}, {"tile 64", "0 to 63"}},
        {{"generate", "--slow-kernel", "nosuch"},
         {"--slow-kernel", "'nosuch'", "adam, add, gather, gelu, gemm, layernorm, softmax"}},
        {{"generate", "--tiles", "4294967295", "--steps-per-tile", "4294967295"},
         {"18446744065119617025 samples", "at most 4294967295 (2^32 - 1)"}},
        {{"generate", "--tiles", "2", "--steps-per-tile", "4000", "--slow-kernel", "gemm",
          "--slow-factor", "1000"},
         {"tile 0 would run for ", "2^32 - 1 = 4294967295", "32-bit cycle counter"}},
        {{"diff", "-", "-"}, {"BASE and NEW are both -"}},
        {{"frobnicate"}, {"frobnicate"}},
        {{}, {"command"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome run = run_tool(c.args);
        expect_failure(run, 2);
        for (const std::string& text : c.named) {
            EXPECT_NE(run.err.find(text), std::string::npos) << run.err;
        }
    }
}

// Every file of the bad-profile corpus, and a missing file, is refused with exit status 1 and
// one line that names the file and the byte offset.
TEST(CliErrors, UnreadableProfilesExitOne) {
    std::vector<std::string> paths{(scratch() / "missing.json").string()};
    if (fs::is_directory(VORN_BAD_PROFILES_DIR)) {
        for (const auto& entry : fs::directory_iterator(VORN_BAD_PROFILES_DIR)) {
            paths.push_back(entry.path().string());
        }
    }
    std::sort(paths.begin() + 1, paths.end());
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        for (const char* command : {"query", "info"}) {
            const Outcome run = run_tool({command, path});
            expect_failure(run, 1);
            EXPECT_TRUE(run.err.starts_with("error: " + path + ": at byte ")) << run.err;
        }
    }
    if (paths.size() == 1) {
        GTEST_SKIP() << "no bad profiles in " << VORN_BAD_PROFILES_DIR;
    }
}

// Output that cannot be written (a full disk) fails every command that writes any.
TEST_F(CliTest, UnwritableOutputExitsOne) {
    for (const auto& args : {std::vector<std::string>{"--help"},
                             {"--version"},
                             {"query", "--help"},
                             {"demo"},
                             {"info", path_},
                             {"query", path_},
                             {"query", path_, "--format", "json"},
                             {"query", path_, "--format", "csv"},
                             {"generate", "--tiles", "2"},
                             {"supersteps", path_},
                             {"diff", path_, path_},
                             {"unpack", path_},
                             {"export", path_, "-o", "-"},
                             {"report", path_, "-o", "-"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Outcome run = run_tool(args, "/dev/null", "/dev/full");
        expect_failure(run, 1);
        EXPECT_NE(run.err.find("cannot write to standard output"), std::string::npos) << run.err;
    }
}

// diff says which of its two sides cannot be read, and names the file.
TEST_F(CliTest, DiffNamesTheUnreadableSide) {
    const std::string missing = (scratch() / "missing.json").string();
    struct Case {
        std::string base;
        std::string next;
        std::string input;  // standard input
        std::string error;
    };
    const Case cases[] = {
        {path_, missing, "/dev/null", "error: new profile " + missing + ": at byte 0: cannot open"},
        {missing, path_, "/dev/null",
         "error: base profile " + missing + ": at byte 0: cannot open"},
        {"-", missing, path_, "error: new profile " + missing + ": at byte 0: cannot open"},
        {path_, "-", "/dev/null", "error: new profile -: at byte 0: "},
        {"-", path_, "/dev/null", "error: base profile -: at byte 0: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base + " " + c.next);
        const Outcome run = run_tool({"diff", c.base, c.next}, c.input);
        expect_failure(run, 1);
        EXPECT_TRUE(run.err.starts_with(c.error)) << run.err;
    }
}

// An option a command does not have is named the same way by every command, with the option
// it most likely stands for: the same but for case, the only one it begins, or one a letter
// or two away. Words after it (its value) are not called unexpected.
TEST_F(CliTest, UnknownOptionsAreNamedAlikeByEveryCommand) {
    const std::string out = (scratch() / "unknown").string();
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"query", path_, "--Limit", "3"},
         "unknown option '--Limit' for `query` (did you mean '--limit'?)"},
        {{"query", path_, "--Limit=3"},
         "unknown option '--Limit' for `query` (did you mean '--limit'?)"},
        {{"query", path_, "--lim", "3"},
         "unknown option '--lim' for `query` (did you mean '--limit'?)"},
        {{"query", "--limt", "3", path_},
         "unknown option '--limt' for `query` (did you mean '--limit'?)"},
        {{"query", path_, "-l", "3"}, "unknown option '-l' for `query`"},
        {{"query", path_, "-O", "x"}, "unknown option '-O' for `query` (did you mean '-o'?)"},
        {{"query", path_, "--bogus"}, "unknown option '--bogus' for `query`"},
        {{"query", path_, "--me", "x"}, "unknown option '--me' for `query`"},
        {{"export", path_, "-o", out, "--limit", "3"}, "unknown option '--limit' for `export`"},
        {{"report", path_, "-o", out, "--Kind", "compute"},
         "unknown option '--Kind' for `report` (did you mean '--kind'?)"},
        {{"diff", path_, path_, "--sort", "name"},
         "unknown option '--sort' for `diff` (did you mean '--sort-by'?)"},
        {{"supersteps", path_, "--grop-by", "kind"}, "unknown option '--grop-by' for `supersteps`"},
        {{"generate", "--tile", "3"},
         "unknown option '--tile' for `generate` (did you mean '--tiles'?)"},
        {{"pack", path_, "--outptu", out},
         "unknown option '--outptu' for `pack` (did you mean '--output'?)"},
        {{"info", path_, "--verbose"}, "unknown option '--verbose' for `info`"},
        {{"info", "-x.json"}, "unknown option '-x.json' for `info`"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome run = run_tool(c.args);
        expect_failure(run, 2);
        EXPECT_EQ(run.err, "error: " + c.error + "\n");
    }
}

// A name in --columns that no table of the command has is refused, naming it and listing the
// table's columns; each listed name is one the tables really show, so the list can be trusted.
TEST_F(CliTest, ColumnsNameOnlyTheTablesColumns) {
    struct Case {
        std::vector<std::string> args;  // the command, without --columns
        std::string table;
    };
    const Case cases[] = {
        {{"query", path_, "--sample-limit", "2", "--percentiles", "99.9"}, "query"},
        {{"diff", path_, path_}, "diff"},
        {{"supersteps", path_}, "supersteps"},
        {{"supersteps", path_, "--by", "tile"}, "supersteps --by tile"},
        {{"info", path_}, "info"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--columns", "bogus"});
        const Outcome refused = run_tool(args);
        expect_failure(refused, 2);
        const std::string prefix =
            "error: --columns: 'bogus' is not a column of the " + c.table + " table (its columns: ";
        ASSERT_TRUE(refused.err.starts_with(prefix)) << refused.err;
        ASSERT_TRUE(refused.err.ends_with("; or all)\n")) << refused.err;
        const std::string list =
            refused.err.substr(prefix.size(), refused.err.size() - prefix.size() - 10);
        args = c.args;
        args.insert(args.end(), {"--columns", ""});
        std::vector<std::string> names;
        for (std::size_t at = 0; at <= list.size();) {
            const std::size_t comma = std::min(list.find(", ", at), list.size());
            names.push_back(list.substr(at, comma - at));
            args.back() += (at == 0 ? "" : ",") + names.back();
            at = comma + 2;
        }
        const Outcome shown = run_tool(args);
        ASSERT_EQ(shown.status, 0) << shown.err;
        std::istringstream lines(shown.out);
        std::vector<std::string> titles;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            for (std::string word; words >> word;) {
                titles.push_back(word);
            }
        }
        for (const std::string& name : names) {
            // info's counted values are titled by what they count, "kernels (8)".
            const std::string title = name == "name" ? "kernels" : name;
            EXPECT_NE(std::find(titles.begin(), titles.end(), title), titles.end()) << name;
        }
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"query", path_, "--columns", "group,p99"},
          {"query", path_, "--columns", "group,p50_cycles"},
          {"supersteps", path_, "--columns", "busy_cycles"},
          {"info", path_, "--columns", "kernels"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        expect_failure(run_tool(args), 2);
    }
    const Outcome alone = run_tool({"query", path_, "--columns", "all,group"});
    expect_failure(alone, 2);
    EXPECT_EQ(alone.err, "error: --columns: 'all' stands alone, not in a list of columns\n");
    const Outcome percentile =
        run_tool({"query", path_, "--percentiles", "99", "--columns", "group,p99"});
    ASSERT_EQ(percentile.status, 0) << percentile.err;
    EXPECT_TRUE(percentile.out.find("\ngroup ") != std::string::npos) << percentile.out;
}

// A generated profile larger than the free space of its file system is refused, with both
// sizes, before a byte is written.
TEST(CliErrors, GenerateRefusesWhatTheFileSystemCannotHold) {
    struct statvfs space {};
    ASSERT_EQ(statvfs(scratch().c_str(), &space), 0);
    // 65535 tiles of 65535 steps take 120 GB packed, 28 bytes a sample.
    if (static_cast<double>(space.f_bavail) * space.f_frsize > 120e9) {
        GTEST_SKIP() << "the scratch file system has more than 120 GB free";
    }
    // Should the check fail, the run must neither fill the disk nor take long: its files stop
    // at 64 MiB and it at 30 s of processor time.
    rlimit saved_size{};
    rlimit saved_time{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_size), 0);
    ASSERT_EQ(getrlimit(RLIMIT_CPU, &saved_time), 0);
    rlimit size = saved_size;
    size.rlim_cur = std::min<rlim_t>(saved_size.rlim_max, rlim_t{64} << 20);
    rlimit time = saved_time;
    time.rlim_cur = std::min<rlim_t>(saved_time.rlim_max, 30);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &size), 0);
    ASSERT_EQ(setrlimit(RLIMIT_CPU, &time), 0);
    const std::string file = (scratch() / "huge.packed").string();
    const Outcome run = run_tool({"generate", "--tiles", "65535", "--steps-per-tile", "65535",
                                  "--format", "packed", "-o", file});
    // A directory of shards yet to be made, named with a trailing slash, is checked alike.
    const std::string shards = (scratch() / "huge-shards").string() + "/";
    const Outcome sharded = run_tool({"generate", "--tiles", "65535", "--steps-per-tile", "65535",
                                      "--format", "packed", "--shard-tiles", "4096", "-o", shards});
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved_size), 0);
    ASSERT_EQ(setrlimit(RLIMIT_CPU, &saved_time), 0);

    expect_failure(run, 1);
    EXPECT_TRUE(run.err.starts_with("error: " + file + ": the profile would take about 120."))
        << run.err;
    EXPECT_NE(run.err.find(" free on its file system"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(file));
    expect_failure(sharded, 1);
    EXPECT_NE(sharded.err.find(" free on its file system"), std::string::npos) << sharded.err;
    EXPECT_FALSE(fs::exists(shards));
}

TEST(CliErrors, DamagedPackedFilesExitOne) {
    const vorn_package::ProfileColumns columns =
        vorn_package::synthetic_columns({.tiles = 3, .steps_per_tile = 20, .seed = 1});
    std::ostringstream out;
    vorn_package::write_profile_packed(out, columns);
    const std::string good = out.str();

    std::string flipped = good;
    flipped[good.size() - 3] ^= 0x20;
    std::string newer = good;
    vorn_package::packed::store<std::uint32_t>(newer.data() + 8, 7);
    vorn_package::packed::reseal(newer);
    std::string bad_utf8 = good;
    bad_utf8[good.size() - 3] = '\xc0';
    vorn_package::packed::reseal(bad_utf8);
    const std::string last = std::to_string(good.size() - 3);
    const std::pair<std::string, std::string> cases[] = {
        {good.substr(0, good.size() / 2), "at byte 24 (header): the header gives a file of "},
        {flipped, "(section text_bytes): checksum mismatch"},
        {newer, "at byte 8 (header): unsupported packed format version 7"},
        {bad_utf8, "(section text_bytes): text "},
    };
    for (const auto& [bytes, message] : cases) {
        SCOPED_TRACE(message);
        const std::string path = (scratch() / "damaged.packed").string();
        save(path, bytes);
        for (const char* command : {"query", "info", "unpack"}) {
            const Outcome run = run_tool({command, path});
            expect_failure(run, 1);
            EXPECT_TRUE(run.err.starts_with("error: " + path + ": at byte ")) << run.err;
            EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        }
        const Outcome piped = run_tool({"query", "-"}, path);
        expect_failure(piped, 1);
        EXPECT_NE(piped.err.find(message), std::string::npos) << piped.err;
    }
}

TEST(CliErrors, PackAndGenerateFailures) {
    const std::string missing = (scratch() / "missing.json").string();
    const Outcome pack_missing = run_tool({"pack", missing, "-o", "-"});
    expect_failure(pack_missing, 1);
    EXPECT_TRUE(pack_missing.err.starts_with("error: " + missing + ": at byte 0: cannot open"))
        << pack_missing.err;

    const std::string packed = (scratch() / "self.packed").string();
    save(packed, run_tool({"generate", "--tiles", "2", "--format", "packed"}).out);
    const Outcome onto_itself = run_tool({"pack", packed, "-o", packed});
    expect_failure(onto_itself, 1);
    EXPECT_NE(onto_itself.err.find("is the profile being read"), std::string::npos);
    EXPECT_TRUE(vorn_package::open_profile_packed(packed).has_value());

    const Outcome unwritable = run_tool({"generate", "--format", "packed", "-o",
                                         (scratch() / "no" / "such" / "dir.packed").string()});
    expect_failure(unwritable, 1);
    EXPECT_NE(unwritable.err.find("cannot open for writing"), std::string::npos);

    expect_failure(run_tool({"generate", "--format", "parquet"}), 2);
    expect_failure(run_tool({"pack"}), 2);
    expect_failure(run_tool({"unpack", "a", "b"}), 2);
    for (const auto& args : {std::vector<std::string>{"pack", "--help"},
                             {"unpack", "--help"},
                             {"generate", "--help"}}) {
        const Outcome help = run_tool(args);
        EXPECT_EQ(help.status, 0);
        EXPECT_NE(help.out.find("Example:"), std::string::npos) << help.out;
    }
}

// The picture commands follow the tool's rules: a usage error exits 2, an unreadable profile 1,
// each with one error line and nothing on standard output; a good run writes only its file.
TEST_F(CliTest, ExportAndReportExitStatus) {
    const std::string out = (scratch() / "picture").string();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"export", path_}, 2, "-o FILE is required"},
        {{"report", path_}, 2, "-o FILE is required"},
        {{"export", path_, "-o", out, "--format", "svg"}, 2, "--format: unknown value 'svg'"},
        {{"export", path_, "-o", out, "--from", "5", "--to", "5"}, 2, "empty window"},
        {{"export", path_, "-o", out, "--to", "0"}, 2, "empty window"},
        {{"export", path_, "-o", out, "--from", "-1"}, 2, "--from: '-1'"},
        {{"report", path_, "-o", out, "--group-by", "kind"}, 2, "--group-by"},
        {{"export", "/nonexistent/run.json", "-o", out}, 1, "/nonexistent/run.json"},
        {{"report", path_, "-o", "/nonexistent/dir/page.html"}, 1, "cannot open for writing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Outcome run = run_tool(c.args);
        expect_failure(run, c.status);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    for (const auto& args : {std::vector<std::string>{"export", path_, "-o", out},
                             {"export", path_, "-o", out, "--format", "chrome-json", "--from",
                              "1000", "--to", "90000", "--kind", "compute"},
                             {"report", path_, "-o", out, "--tile", "0-2"}}) {
        SCOPED_TRACE(testing::PrintToString(args));
        const Outcome run = run_tool(args);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out + run.err, "");
        EXPECT_GT(fs::file_size(out), 1000U);
    }
    EXPECT_EQ(run_tool({"report", path_, "-o", "-"}).out.rfind("<!DOCTYPE html>", 0), 0U);
}

}  // namespace

// The sample listing of `query`: written record by record as it is made, so that a listing of
// many samples whose step has many metadata entries needs the memory of one record, in every
// format, and says the same as the library's report.
#include <sstream>

#include "cli_harness.hpp"
#include "vorn_package/profile_columns.hpp"
#include "vorn_package/profile_packed.hpp"
#include "vorn_profile/analyses.hpp"

namespace cli_test {
namespace {

/// One tile of `samples` samples that share a step of `entries` metadata entries, then one
/// sample of a step without metadata.
vorn_package::ProfileColumns shared_step_profile(std::uint32_t samples, std::uint32_t entries) {
    vorn_package::ColumnsBuilder builder;
    builder.set_clock_hz(1000);
    builder.begin_tile(3);
    const std::vector<vorn_package::MetadataPair> pairs(
        entries, {builder.intern("layer"), builder.intern("encoder.1")});
    const std::uint32_t kernel = builder.intern("gemm");
    const std::uint32_t operation = builder.intern("matmul");
    const std::uint32_t shared =
        builder.intern_step(vorn_package::ProfileStepKind::Compute, kernel, operation, pairs);
    for (std::uint32_t i = 0; i < samples; ++i) {
        builder.add_sample(100 * i, 100 * i + 50 + i % 7, i % 3, 0, i, shared);
    }
    const std::uint32_t plain =
        builder.intern_step(vorn_package::ProfileStepKind::Idle, kernel, operation, {});
    builder.add_sample(100 * samples, 100 * samples + 90, 0, 1, samples, plain);
    return builder.finish();
}

std::string packed_file(const vorn_package::ProfileColumns& columns, const std::string& name) {
    std::ostringstream bytes;
    vorn_package::write_profile_packed(bytes, columns);
    const std::string path = (scratch() / name).string();
    save(path, bytes.str());
    return path;
}

TEST(CliListing, SaysWhatTheLibrarySays) {
    const vorn_package::ProfileColumns columns = shared_step_profile(40, 3);
    const std::string path = packed_file(columns, "listed.packed");
    Query query;
    query.sample_limit = 30;
    const vorn_profile::TimeWindow window{.from = 1000, .to = 3500};
    const auto with_table = [](auto write) {
        std::ostringstream out;
        write(out);
        return out.str();
    };
    const QueryReport plain = vorn_profile::query(columns, query);
    const QueryReport windowed = vorn_profile::query_window(columns, query, window).report;
    ASSERT_EQ(plain.samples.size(), 30U);
    ASSERT_EQ(windowed.samples.size(), 25U);
    EXPECT_EQ(run_tool({"query", path, "--sample-limit", "30", "--format", "json"}).out,
              json_of(plain));
    EXPECT_EQ(run_tool({"query", path, "--sample-limit", "30"}).out,
              with_table([&](std::ostream& out) { vorn_cli::write_table(out, plain); }));
    EXPECT_EQ(run_tool({"query", path, "--sample-limit", "30", "--from", "1000", "--to", "3500",
                        "--format", "json"})
                  .out,
              with_table([&](std::ostream& out) { vorn_cli::write_json(out, windowed, window); }));
    EXPECT_EQ(
        run_tool({"query", path, "--sample-limit", "30", "--from", "1000", "--to", "3500"}).out,
        with_table([&](std::ostream& out) { vorn_cli::write_table(out, windowed, window); }));
}

// 80 listed records of 10,000 metadata entries each would hold 800,000 pairs of strings
// (over 50 MB); written as they are made, listing them all costs about what listing one does.
TEST(CliListing, LongListingNeedsTheMemoryOfOneRecord) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer holds freed blocks in quarantine";
#endif
    const std::string path = packed_file(shared_step_profile(80, 10'000), "amplified.packed");
    // CSV holds groups only, so it refuses a listing (see the usage errors).
    for (const std::string format : {"json", "table"}) {
        SCOPED_TRACE(format);
        const Outcome one = run_tool({"query", path, "--sample-limit", "1", "--format", format},
                                     "/dev/null", "/dev/null");
        const Outcome all = run_tool({"query", path, "--sample-limit", "1000", "--format", format},
                                     "/dev/null", "/dev/null");
        ASSERT_EQ(one.status, 0) << one.err;
        ASSERT_EQ(all.status, 0) << all.err;
        EXPECT_LT(all.peak_rss_kb, one.peak_rss_kb + 16 * 1024)
            << "one record: " << one.peak_rss_kb << " KB, all: " << all.peak_rss_kb << " KB";
    }
}

}  // namespace
}  // namespace cli_test

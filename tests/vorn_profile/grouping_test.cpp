// group_key: names, placeholders and dimensions under every grouping.
#include <gtest/gtest.h>

#include "profile_builder.hpp"

namespace vorn_profile {
namespace {

using Dimensions = std::map<std::string, std::string>;
using vorn_package::ProfileStepKind;
using vorn_test::step;

struct KeyCase {
    const char* what;
    GroupBy group_by;
    std::optional<std::string> metadata_key;
    std::uint32_t tile;
    vorn_package::CycleSample sample;
    std::string name;
    Dimensions dimensions;
};

TEST(GroupKey, NamesAndDimensions) {
    const std::vector<vorn_package::ProfileMetadata> metadata = {
        {"block", "7"}, {"block", "8"}, {"", "anonymous"}, {"layer", "(missing)"}};
    const KeyCase cases[] = {
        {"kind",
         GroupBy::Kind,
         {},
         0,
         step(0, 1, "k", 0, 0, ProfileStepKind::Synchronization),
         "synchronization",
         {}},
        {"kernel", GroupBy::Kernel, {}, 0, step(0, 1, "gemm"), "gemm", {}},
        {"empty kernel", GroupBy::Kernel, {}, 0, step(0, 1, ""), "(no kernel)", {}},
        {"blank kernel", GroupBy::Kernel, {}, 0, step(0, 1, "  "), "  ", {}},
        {"operation",
         GroupBy::Operation,
         {},
         0,
         step(0, 1, "k", 0, 0, ProfileStepKind::Compute, {}, "op 1"),
         "op 1",
         {}},
        {"empty operation",
         GroupBy::Operation,
         {},
         0,
         step(0, 1, "k", 0, 0, ProfileStepKind::Compute, {}, ""),
         "",
         {}},
        {"phase",
         GroupBy::Phase,
         {},
         0,
         step(0, 1, "k", 3, 1),
         "phase 3/1",
         {{"epoch", "1"}, {"phase", "3"}}},
        {"phase 1/23",
         GroupBy::Phase,
         {},
         0,
         step(0, 1, "k", 1, 23),
         "phase 1/23",
         {{"epoch", "23"}, {"phase", "1"}}},
        {"phase 12/3",
         GroupBy::Phase,
         {},
         0,
         step(0, 1, "k", 12, 3),
         "phase 12/3",
         {{"epoch", "3"}, {"phase", "12"}}},
        {"phase extremes",
         GroupBy::Phase,
         {},
         0,
         step(0, 1, "k", 4294967295U, 0),
         "phase 4294967295/0",
         {{"epoch", "0"}, {"phase", "4294967295"}}},
        {"tile 0", GroupBy::Tile, {}, 0, step(0, 1), "tile 0", {{"physicalTile", "0"}}},
        {"tile max",
         GroupBy::Tile,
         {},
         4294967295U,
         step(0, 1),
         "tile 4294967295",
         {{"physicalTile", "4294967295"}}},
        {"first entry wins",
         GroupBy::Metadata,
         "block",
         0,
         step(0, 1, "k", 0, 0, ProfileStepKind::Compute, metadata),
         "7",
         {{"metadataKey", "block"}, {"metadataValue", "7"}}},
        {"case-sensitive key",
         GroupBy::Metadata,
         "Block",
         0,
         step(0, 1, "k", 0, 0, ProfileStepKind::Compute, metadata),
         "(missing)",
         {{"metadataKey", "Block"}, {"metadataValue", "(missing)"}}},
        {"absent key means empty name",
         GroupBy::Metadata,
         {},
         0,
         step(0, 1, "k", 0, 0, ProfileStepKind::Compute, metadata),
         "anonymous",
         {{"metadataKey", ""}, {"metadataValue", "anonymous"}}},
        {"absent key, no empty name",
         GroupBy::Metadata,
         {},
         0,
         step(0, 1),
         "(missing)",
         {{"metadataKey", ""}, {"metadataValue", "(missing)"}}},
        {"literal placeholder value",
         GroupBy::Metadata,
         "layer",
         0,
         step(0, 1, "k", 0, 0, ProfileStepKind::Compute, metadata),
         "(missing)",
         {{"metadataKey", "layer"}, {"metadataValue", "(missing)"}}},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.what);
        Query query;
        query.group_by = c.group_by;
        query.metadata_key = c.metadata_key;
        const GroupKey key = group_key(query, c.tile, c.sample);
        EXPECT_EQ(key.name, c.name);
        EXPECT_EQ(key.dimensions, c.dimensions);
    }
}

TEST(GroupKey, PlaceholderAndLiteralShareOneGroupInAQuery) {
    // An empty kernel and a kernel literally named "(no kernel)" are one group.
    const auto report = vorn_test::profile({{1, {step(0, 10, ""), step(10, 30, "(no kernel)")}}});
    const QueryReport result = query(report, Query{});
    ASSERT_EQ(result.groups.size(), 1U);
    EXPECT_EQ(result.groups[0].name, "(no kernel)");
    EXPECT_EQ(result.groups[0].sample_count, 2U);
}

}  // namespace
}  // namespace vorn_profile

// matches_query: each criterion alone, its edges, and their conjunction.
#include <gtest/gtest.h>

#include "profile_builder.hpp"

namespace vorn_profile {
namespace {

using vorn_test::step;

struct FilterCase {
    const char* what;
    Query query;
    std::uint32_t tile;
    std::uint64_t offset;
    std::uint32_t duration;
    bool expected;
};

Query with(auto&& change) {
    Query query;
    change(query);
    return query;
}

TEST(MatchesQuery, EachCriterionAndItsEdges) {
    // The sample: tile 2, phase 1 of epoch 4, compute, kernel "Add", operation "matmul.fwd",
    // metadata block=0, block=1, layer="" (a name repeated, an empty value).
    const vorn_package::CycleSample sample =
        step(0, 0, "Add", 1, 4, vorn_package::ProfileStepKind::Compute,
             {{"block", "0"}, {"block", "1"}, {"layer", ""}}, "matmul.fwd");
    const FilterCase cases[] = {
        {"default admits", Query{}, 2, 10, 10, true},
        {"same kind", with([](Query& q) { q.kind = StepKind::Compute; }), 2, 10, 10, true},
        {"other kind", with([](Query& q) { q.kind = StepKind::Idle; }), 2, 10, 10, false},
        {"kernel exact", with([](Query& q) { q.kernel = "Add"; }), 2, 10, 10, true},
        {"kernel case", with([](Query& q) { q.kernel = "add"; }), 2, 10, 10, false},
        {"empty kernel", with([](Query& q) { q.kernel = ""; }), 2, 10, 10, false},
        {"operation part", with([](Query& q) { q.operation_contains = "mul.f"; }), 2, 10, 10, true},
        {"operation whole", with([](Query& q) { q.operation_contains = "matmul.fwd"; }), 2, 10, 10,
         true},
        {"operation empty", with([](Query& q) { q.operation_contains = ""; }), 2, 10, 10, true},
        {"operation case", with([](Query& q) { q.operation_contains = "MatMul"; }), 2, 10, 10,
         false},
        {"operation longer", with([](Query& q) { q.operation_contains = "matmul.fwd2"; }), 2, 10,
         10, false},
        {"tile in set", with([](Query& q) {
             q.tiles = {1, 2};
         }),
         2, 10, 10, true},
        {"tile not in set", with([](Query& q) { q.tiles = {3}; }), 2, 10, 10, false},
        {"phase any epoch", with([](Query& q) { q.phases = {1}; }), 2, 10, 10, true},
        {"phase not in set", with([](Query& q) { q.phases = {4}; }), 2, 10, 10, false},
        {"at start", with([](Query& q) { q.at_offset = 10; }), 2, 10, 10, true},
        {"at last cycle", with([](Query& q) { q.at_offset = 19; }), 2, 10, 10, true},
        {"before start", with([](Query& q) { q.at_offset = 9; }), 2, 10, 10, false},
        {"at end", with([](Query& q) { q.at_offset = 20; }), 2, 10, 10, false},
        {"zero length", with([](Query& q) { q.at_offset = 10; }), 2, 10, 0, false},
        {"end saturates", with([](Query& q) { q.at_offset = UINT64_MAX - 1; }), 2, UINT64_MAX - 2,
         9, true},
        {"at max never inside", with([](Query& q) { q.at_offset = UINT64_MAX; }), 2, UINT64_MAX - 2,
         9, false},
        {"name only", with([](Query& q) {
             q.metadata = {{"layer", std::nullopt}};
         }),
         2, 10, 10, true},
        {"empty value", with([](Query& q) {
             q.metadata = {{"layer", ""}};
         }),
         2, 10, 10, true},
        {"missing name", with([](Query& q) {
             q.metadata = {{"Block", std::nullopt}};
         }),
         2, 10, 10, false},
        {"second of a repeated name", with([](Query& q) {
             q.metadata = {{"block", "1"}};
         }),
         2, 10, 10, true},
        {"first of a repeated name", with([](Query& q) {
             q.metadata = {{"block", "0"}};
         }),
         2, 10, 10, true},
        {"value absent", with([](Query& q) {
             q.metadata = {{"block", "2"}};
         }),
         2, 10, 10, false},
        {"two filters, both hold", with([](Query& q) {
             q.metadata = {{"block", "0"}, {"block", "1"}};
         }),
         2, 10, 10, true},
        {"two filters, one fails", with([](Query& q) {
             q.metadata = {{"block", "0"}, {"layer", "x"}};
         }),
         2, 10, 10, false},
        {"all criteria hold", with([](Query& q) {
             q.kind = StepKind::Compute;
             q.kernel = "Add";
             q.operation_contains = "mat";
             q.tiles = {2};
             q.phases = {1};
             q.at_offset = 15;
             q.metadata = {{"block", "1"}};
         }),
         2, 10, 10, true},
        {"all but the time hold", with([](Query& q) {
             q.kind = StepKind::Compute;
             q.kernel = "Add";
             q.tiles = {2};
             q.at_offset = 25;
         }),
         2, 10, 10, false},
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(matches_query(c.query, c.tile, sample, c.offset, c.duration), c.expected);
    }
}

TEST(KindOf, MapsEveryKindToItsNamesake) {
    using vorn_package::ProfileStepKind;
    const std::pair<ProfileStepKind, StepKind> kinds[] = {
        {ProfileStepKind::Exchange, StepKind::Exchange},
        {ProfileStepKind::Compute, StepKind::Compute},
        {ProfileStepKind::Synchronization, StepKind::Synchronization},
        {ProfileStepKind::Idle, StepKind::Idle}};
    for (const auto& [stored, expected] : kinds) {
        EXPECT_EQ(kind_of(step(0, 1, "k", 0, 0, stored)), expected);
    }
}

}  // namespace
}  // namespace vorn_profile

// The scenario cases: small synthetic profiles, one query each, report fields checked exactly.
// Run them with `vorn-profile-scenarios` (all), `vorn-profile-scenarios NAME` (those whose name
// contains NAME) or `vorn-profile-scenarios --list`.
#include <gtest/gtest.h>

#include <string>

#include "case_runner.hpp"
#include "vorn_profile/query.hpp"

namespace tests {
namespace {

using vorn_package::CycleSample;
using vorn_package::ProfileStepKind;

/// A sample of `phase` (epoch 0) whose operation is "operation <phase>" and whose one metadata
/// entry is block=<phase>.
CycleSample sample(std::uint32_t phase, ProfileStepKind kind, std::string_view kernel,
                   std::uint32_t start, std::uint32_t end) {
    CycleSample result;
    result.step.local_index = phase;
    result.step.phase = phase;
    result.step.epoch = 0;
    result.step.operation = "operation " + std::to_string(phase);
    result.step.kind = kind;
    result.step.kernel = std::string(kernel);
    result.step.metadata = {{"block", std::to_string(phase)}};
    result.start_cycle = start;
    result.end_cycle = end;
    return result;
}

constexpr std::uint32_t kNameColumn = 6;  // after "void "

constexpr std::uint32_t kParallelLine = __LINE__ + 1;
void groups_parallel_samples_by_kernel() {
    const vorn_package::ProfileReport profile{
        1'000'000'000,
        {{2, {sample(0, ProfileStepKind::Compute, "add", 100, 120)}},
         {3, {sample(0, ProfileStepKind::Compute, "add", 200, 230)}}}};
    const vorn_profile::QueryReport report = vorn_profile::query(profile, vorn_profile::Query{});
    ASSERT_EQ(report.groups.size(), 1U);
    ASSERT_EQ(report.groups[0].phase_cycles, 30U);
    ASSERT_EQ(report.groups[0].work_cycles, 50U);
    ASSERT_EQ(report.groups[0].average_active_tiles, 1.6666666666666667);
    ASSERT_EQ(report.profile_span_cycles, 30U);
}

constexpr std::uint32_t kSequentialLine = __LINE__ + 1;
void phase_cycles_include_sequential_repeated_operations() {
    const vorn_package::ProfileReport profile{
        1'000'000'000,
        {{2,
          {sample(0, ProfileStepKind::Compute, "gemm", 100, 110),
           sample(0, ProfileStepKind::Compute, "gemm", 110, 120)}},
         {3,
          {sample(0, ProfileStepKind::Compute, "gemm", 200, 208),
           sample(0, ProfileStepKind::Compute, "gemm", 208, 216)}}}};
    const vorn_profile::QueryReport report = vorn_profile::query(profile, vorn_profile::Query{});
    ASSERT_LT(0U, report.groups.size());
    ASSERT_EQ(report.groups[0].phase_cycles, 20U);
    ASSERT_EQ(report.groups[0].work_cycles, 36U);
    ASSERT_EQ(report.groups[0].average_active_tiles, 1.8);
}

constexpr std::uint32_t kWrapLine = __LINE__ + 1;
void filters_by_normalized_time_and_metadata_across_counter_wrap() {
    const vorn_package::ProfileReport profile{
        1'500'000'000,
        {{9,
          {sample(0, ProfileStepKind::Exchange, "", 4294967291U, 5),
           sample(1, ProfileStepKind::Compute, "add", 5, 15)}}}};
    vorn_profile::Query query;
    query.at_offset = 12;
    query.metadata = {{"block", "1"}};
    query.sample_limit = 1;
    const vorn_profile::QueryReport report = vorn_profile::query(profile, query);
    ASSERT_EQ(report.matched_sample_count, 1U);
    ASSERT_LT(0U, report.samples.size());
    ASSERT_EQ(report.samples[0].phase, 1U);
    ASSERT_EQ(report.samples[0].offset, 10U);
}

constexpr std::uint32_t kMetadataLine = __LINE__ + 1;
void groups_by_semantic_metadata_value() {
    const vorn_package::ProfileReport profile{
        1'000'000'000,
        {{1,
          {sample(0, ProfileStepKind::Compute, "add", 0, 10),
           sample(1, ProfileStepKind::Compute, "add", 10, 30)}}}};
    vorn_profile::Query query;
    query.group_by = vorn_profile::GroupBy::Metadata;
    query.metadata_key = "block";
    const vorn_profile::QueryReport report = vorn_profile::query(profile, query);
    ASSERT_EQ(report.groups.size(), 2U);
    ASSERT_EQ(report.groups[0].name, "1");
    ASSERT_EQ(report.groups[1].name, "0");
}

constexpr vorn_scenarios::CaseDescriptor unit_case(const char* name, std::uint32_t line,
                                                   std::uint32_t name_length, void (*run)()) {
    return {name,  __FILE__, line,  kNameColumn, kNameColumn + name_length,      false, nullptr,
            false, nullptr,  false, false,       vorn_scenarios::CaseKind::Unit, run};
}

#define VORN_CASE(function, line) \
    unit_case("tests::" #function, line, sizeof(#function) - 1, &function)

// Sorted by name.
constexpr vorn_scenarios::CaseDescriptor kCases[] = {
    VORN_CASE(filters_by_normalized_time_and_metadata_across_counter_wrap, kWrapLine),
    VORN_CASE(groups_by_semantic_metadata_value, kMetadataLine),
    VORN_CASE(groups_parallel_samples_by_kernel, kParallelLine),
    VORN_CASE(phase_cycles_include_sequential_repeated_operations, kSequentialLine),
};

}  // namespace
}  // namespace tests

int main(int argc, char** argv) { return vorn_scenarios::run_cases(tests::kCases, 4, argc, argv); }

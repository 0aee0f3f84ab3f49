// A second table for checking the runner itself: one case that fails, one that passes.
#include <gtest/gtest.h>

#include "case_runner.hpp"

namespace {

void fails_with_two_values() {
    const int report_value = 2;
    ASSERT_EQ(report_value, 3);
    ASSERT_EQ(1, 0);  // never reached: the first failed check ends the case
}

void passes() { ASSERT_EQ(1, 1); }

constexpr vorn_scenarios::CaseDescriptor kCases[] = {
    {"tests::fails_with_two_values", __FILE__, 8, 6, 27, false, nullptr, false, nullptr, false,
     false, vorn_scenarios::CaseKind::Unit, &fails_with_two_values},
    {"tests::passes", __FILE__, 14, 6, 12, false, nullptr, false, nullptr, false, false,
     vorn_scenarios::CaseKind::Unit, &passes},
};

}  // namespace

int main(int argc, char** argv) { return vorn_scenarios::run_cases(kCases, 2, argc, argv); }

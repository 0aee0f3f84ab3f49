// The case runner: registration with GoogleTest, the command line and a per-case report.
#include "case_runner.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_scenarios {
namespace {

constexpr int kFailureStatus = 101;

[[noreturn]] void fail_command_line(const std::string& message) {
    std::fprintf(stderr, "error: %s (try --help)\n", message.c_str());
    std::exit(kFailureStatus);
}

class CaseTest : public testing::Test {
public:
    explicit CaseTest(void (*run)()) : run_(run) {}
    void TestBody() override { run_(); }

private:
    void (*run_)();
};

/// Prints one line per case under its table name, the failures with the values compared,
/// and a summary.
class CasePrinter : public testing::EmptyTestEventListener {
public:
    void OnTestProgramStart(const testing::UnitTest& unit) override {
        std::printf("running %d case%s\n", unit.test_to_run_count(),
                    unit.test_to_run_count() == 1 ? "" : "s");
    }
    void OnTestPartResult(const testing::TestPartResult& part) override {
        if (part.failed()) {
            std::printf("%s:%d: %s\n", part.file_name() ? part.file_name() : "?",
                        part.line_number(), part.message());
        }
    }
    void OnTestEnd(const testing::TestInfo& info) override {
        const bool passed = info.result()->Passed();
        // Every case is registered with its table name as value parameter.
        const char* name = info.value_param() != nullptr ? info.value_param() : info.name();
        std::printf("case %s ... %s\n", name, passed ? "ok" : "FAILED");
        (passed ? passed_ : failed_) += 1;
    }
    void OnTestProgramEnd(const testing::UnitTest&) override {
        std::printf("result: %s. %d passed; %d failed\n", failed_ == 0 ? "ok" : "FAILED", passed_,
                    failed_);
        std::fflush(stdout);
    }

private:
    int passed_ = 0;
    int failed_ = 0;
};

bool selected(std::string_view name, const std::vector<std::string_view>& filters, bool exact) {
    if (filters.empty()) {
        return true;
    }
    for (std::string_view filter : filters) {
        if (exact ? name == filter : name.find(filter) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

int run_cases(const CaseDescriptor* table, std::size_t count, int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);  // removes the flags it knows

    std::vector<std::string_view> filters;
    bool exact = false;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--exact") {
            exact = true;
        } else if (argument == "--list") {
            list = true;
        } else if (argument == "--help") {
            std::printf(
                "usage: %s [NAME...] [--exact] [--list] [--gtest_* flags]\n"
                "Runs the cases whose names contain one of NAME (equal one, with --exact).\n",
                argv[0]);
            return 0;
        } else if (argument.starts_with("-")) {
            fail_command_line("unknown option '" + std::string(argument) + "'");
        } else {
            filters.push_back(argument);
        }
    }

    const std::span<const CaseDescriptor> cases(table, count);
    for (const CaseDescriptor& c : cases) {
        if (c.expected_fatal_stop || c.compile_fail) {
            // Neither can be judged by running the case body here; refuse rather than
            // report such a case as passed or failed for the wrong reason.
            fail_command_line(std::string("case ") + c.name +
                              " expects a fatal stop or a compile failure, which this runner "
                              "does not support");
        }
    }
    if (list) {
        for (const CaseDescriptor& c : cases) {
            if (selected(c.name, filters, exact)) {
                std::printf("%s: test\n", c.name);
            }
        }
        return 0;
    }

    for (const CaseDescriptor& c : cases) {
        if (!selected(c.name, filters, exact) || c.no_run) {
            continue;
        }
        // GoogleTest's own name is "tests.<function>" (so --gtest_filter works); the table
        // name travels as the value parameter and names the case in the report.
        const std::string_view name = c.name;
        const std::size_t separator = name.find("::");
        const std::string suite(name.substr(0, separator));
        const std::string test(separator == std::string_view::npos ? name
                                                                   : name.substr(separator + 2));
        const std::string disabled = c.ignored ? "DISABLED_" : "";
        testing::RegisterTest(suite.c_str(), (disabled + test).c_str(), nullptr, c.name,
                              c.source_file, static_cast<int>(c.line),
                              [run = c.run]() -> testing::Test* { return new CaseTest(run); });
    }

    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new CasePrinter);

    if (RUN_ALL_TESTS() != 0) {
        std::exit(kFailureStatus);
    }
    return 0;
}

}  // namespace vorn_scenarios

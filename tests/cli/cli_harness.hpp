// What the tool's end-to-end tests share: running the binary as a user runs it, with its exit
// status, standard output and standard error, and a small synthetic run to ask about.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "output.hpp"
#include "vorn_package/profile_json.hpp"
#include "vorn_package/synthetic_profile.hpp"

extern char** environ;

namespace cli_test {

namespace fs = std::filesystem;
using vorn_profile::GroupBy;
using vorn_profile::Query;
using vorn_profile::QueryReport;
using vorn_profile::SortBy;
using vorn_profile::StepKind;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    long peak_rss_kb = 0;  ///< the tool's peak resident memory
};

inline std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void save(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

/// A scratch directory of this test process (ctest may run several at once), removed at exit.
inline fs::path scratch() {
    struct Directory {
        fs::path path = fs::path(VORN_CLI_WORK_DIR) / ("run-" + std::to_string(getpid()));
        Directory() { fs::create_directories(path); }
        ~Directory() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    };
    static const Directory directory;
    return directory.path;
}

/// Runs the tool with `args`, standard input read from `input`, standard output written to
/// `output` (kept in the outcome when not given).
inline Outcome run_tool(const std::vector<std::string>& args,
                        const std::string& input = "/dev/null", const std::string& output = "") {
    const fs::path out = output.empty() ? scratch() / "stdout" : fs::path(output);
    const fs::path err = scratch() / "stderr";
    std::vector<std::string> words{VORN_PROFILE_EXE};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    Outcome run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.peak_rss_kb = usage.ru_maxrss;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = output.empty() ? slurp(out) : "";
    run.err = slurp(err);
    return run;
}

/// Asserts the shape of every failure: the status, one `error:` line, nothing on stdout.
inline void expect_failure(const Outcome& run, int status) {
    EXPECT_EQ(run.status, status);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.starts_with("error: ")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_TRUE(run.err.ends_with('\n')) << run.err;
}

inline std::string json_of(const QueryReport& report) {
    std::ostringstream out;
    vorn_cli::write_json(out, report);
    return out.str();
}

inline std::string profile_text(const vorn_package::ProfileReport& profile) {
    std::ostringstream out;
    vorn_package::write_profile_json(out, profile);
    return out.str();
}

/// A small synthetic run, in memory and as a file.
class CliTest : public testing::Test {
protected:
    void SetUp() override { save(path_, profile_text(profile_)); }

    const vorn_package::ProfileReport profile_ =
        vorn_package::synthetic_profile({.tiles = 6, .steps_per_tile = 120, .seed = 3});
    const std::string path_ = (scratch() / "run.json").string();
};

}  // namespace cli_test

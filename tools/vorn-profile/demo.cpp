#include "demo.hpp"

#include <ostream>
#include <string>
#include <vector>

#include "options.hpp"
#include "output.hpp"
#include "vorn_package/synthetic_profile.hpp"

namespace vorn_cli {
namespace {

struct Question {
    const char* question;
    std::vector<std::string> options;
};

// Each question is run through the same option parser as the command line it shows, so the
// printed command gives exactly the printed answer.
const std::vector<Question>& questions() {
    static const std::vector<Question> kQuestions = {
        {"Which kernels cover the most cycles?", {"--group-by", "kernel", "--limit", "5"}},
        {"Where does the time go, by kind of step?", {"--group-by", "kind"}},
        {"What runs at cycle 1000000 of each tile's time line?",
         {"--at-offset", "1000000", "--group-by", "operation", "--sample-limit", "3"}},
        {"Which phases of layer encoder.2 take longest?",
         {"--metadata", "layer=encoder.2", "--group-by", "phase", "--limit", "4"}},
        {"What are the longest exchange steps?",
         {"--kind", "exchange", "--group-by", "operation", "--sample-limit", "5"}},
    };
    return kQuestions;
}

std::string shown(std::string command, const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        command += " " + word;
    }
    return command;
}

CommandLine parsed(const std::vector<std::string>& args) {
    ParseOutcome outcome = parse_command_line(args);
    // The demo's own command lines are valid; should one not be, the demo says so.
    if (!outcome.command_line) {
        throw UsageError("demo: cannot parse its own command line: " + shown("", args));
    }
    return *outcome.command_line;
}

}  // namespace

void run_demo(std::ostream& out) {
    const vorn_package::SyntheticOptions options;
    const vorn_package::ProfileReport profile = vorn_package::synthetic_profile(options);
    out << "vorn-profile demo: a synthetic run of " << options.tiles << " tiles x "
        << options.steps_per_tile
        << " steps, built in memory. To get the same profile as a file:\n\n"
           "$ vorn-profile generate -o run.json\n\n"
           "Then `vorn-profile info run.json` lists its kernels, phases and metadata names,\n"
           "and each question below is answered by the command shown above it\n"
           "(add --format json or --format csv for scripts).\n";
    for (const Question& question : questions()) {
        out << "\n"
            << question.question << "\n"
            << shown("$ vorn-profile query run.json", question.options) << "\n\n";
        write_table(out, vorn_profile::query(profile, parse_query_options(question.options)));
    }

    // The analyses, parsed from the very command lines they show.
    const std::vector<std::string> steps_args{"supersteps", "run.json", "--limit", "3"};
    const CommandLine steps = parsed(steps_args);
    out << "\nWhich supersteps hold the device back most, and which tile do the others wait "
           "for?\n"
        << shown("$ vorn-profile", steps_args) << "\n\n";
    write_supersteps_table(out, vorn_profile::supersteps(profile, steps.query),
                           steps.superstep_rows, steps.query.limit);

    const std::vector<std::string> slow_args{
        "generate", "--slow-kernel", "gemm", "--slow-factor", "1.5", "-o", "slow.json"};
    const std::vector<std::string> diff_args{"diff", "run.json", "slow.json", "--limit", "4"};
    const CommandLine slow = parsed(slow_args);
    const CommandLine compared = parsed(diff_args);
    out << "\nWhat changes when the gemm kernel runs 1.5 times as long?\n"
        << shown("$ vorn-profile", slow_args) << "\n"
        << shown("$ vorn-profile", diff_args) << "\n\n";
    write_diff_table(out,
                     vorn_profile::diff(profile, vorn_package::synthetic_profile(slow.synthetic),
                                        compared.query),
                     vorn_profile::TimeWindow{});
}

}  // namespace vorn_cli

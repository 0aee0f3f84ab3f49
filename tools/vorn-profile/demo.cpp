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
        std::string command = "$ vorn-profile query run.json";
        for (const std::string& word : question.options) {
            command += " " + word;
        }
        out << "\n" << question.question << "\n" << command << "\n\n";
        write_table(out, vorn_profile::query(profile, parse_query_options(question.options)));
    }
}

}  // namespace vorn_cli

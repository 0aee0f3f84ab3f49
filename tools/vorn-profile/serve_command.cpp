// The command that serves a profile to the browser: `serve`.
#include "commands.hpp"

namespace vorn_cli {

void ServeCommand::add_to(CLI::App& tool) {
    app = tool.add_subcommand("serve",
                              "Explore a profile in the browser: a local page and its JSON API");
    app->footer(
        "Example:\n  vorn-profile serve run.packed\n"
        "  (then open the printed address; Ctrl-C ends it)");
    app->add_option("PROFILE", words.profile, "Profile file (JSON or packed)")->required();
    add_value(*app, words.values, "--port", "N",
              "Listen on port N (default 8710; 0 picks a free port)");
    add_value(*app, words.values, "--host", "ADDR",
              "Listen on address ADDR (default 127.0.0.1; any other lets others read the "
              "profile)");
    add_threads_option(*app, words.values);
}

void ServeCommand::read(CommandLine& line) const {
    line.command = Command::Serve;
    line.profile = words.profile;
    if (line.profile == "-") {
        throw UsageError("PROFILE: serve reads a file or a shard directory, not standard input");
    }
    if (const auto value = single(words.values, "--port")) {
        line.port = parse_number<std::uint16_t>("--port", *value);
    }
    if (const auto value = single(words.values, "--host")) {
        line.host = text_value("--host", *value);
        if (line.host.empty()) {
            throw UsageError("--host: give an address, such as 127.0.0.1");
        }
    }
    line.threads = to_threads(words.values);
}

}  // namespace vorn_cli

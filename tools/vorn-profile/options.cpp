// Command-line parsing: CLI11 collects the words of each command (commands.hpp), then each value
// is checked and converted (option_values), and the command line is put together.
#include "options.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string_view>

#include "commands.hpp"
#include "help_columns.hpp"
#include "option_values.hpp"
#include "text_table.hpp"
#include "unknown_option.hpp"

namespace vorn_cli {
namespace {

constexpr std::string_view kDescription =
    "Answers questions about cycle profiles recorded on a tiled accelerator.";
constexpr std::string_view kFooter =
    "Examples:\n"
    "  vorn-profile demo\n"
    "  vorn-profile generate -o run.json\n"
    "  vorn-profile info run.json\n"
    "  vorn-profile query run.json --group-by kernel --limit 5\n"
    "  vorn-profile query run.json --kind exchange --sample-limit 10 --format json\n"
    "  vorn-profile pack run.json -o run.packed\n"
    "  vorn-profile query run.packed --group-by phase\n"
    "  vorn-profile query run.json --from 1000000 --to 2000000 --group-by kind\n"
    "  vorn-profile query run.packed --group-by phase --partial -o run.part\n"
    "  vorn-profile merge a.part b.part --limit 10\n"
    "  vorn-profile diff before.json after.json --limit 5\n"
    "  vorn-profile supersteps run.json --by tile --limit 5\n"
    "  vorn-profile export run.json -o run.pftrace\n"
    "  vorn-profile report run.json -o run.html\n"
    "  vorn-profile serve run.packed\n"
    "\n"
    "Exit status: 0 on success, 1 when a profile cannot be read, 2 for a command-line error.";

/// Options of `query` that the other analyses do not take, with the reason.
struct NotTaken {
    std::string_view command;
    std::string_view option;
    std::string_view reason;
};
constexpr NotTaken kNotTaken[] = {
    {"diff", "--sample-limit", "diff compares groups, it lists no steps"},
    {"supersteps", "--group-by",
     "supersteps are grouped by phase occurrence, or by tile with --by"},
    {"supersteps", "--metadata-key", "supersteps are grouped by phase occurrence or by tile"},
    {"supersteps", "--sort-by", "supersteps are ordered by lost cycles"},
    {"supersteps", "--sample-limit", "supersteps list no steps"},
};

/// The CLI11 description of the whole tool; each command keeps the words given to it.
struct Parser {
    CLI::App app{std::string(kDescription), "vorn-profile"};
    QueryCommand query;
    MergeCommand merge;
    DiffCommand diff;
    SuperstepsCommand supersteps;
    SamplesCommand samples;
    InfoCommand info;
    GenerateCommand generate;
    CopyCommand pack{Command::Pack};
    CopyCommand unpack{Command::Unpack};
    PictureCommand export_command{Command::Export};
    PictureCommand report{Command::Report};
    ServeCommand serve;

    Parser() {
        app.set_version_flag("--version", "vorn-profile " VORN_PROFILE_VERSION);
        app.require_subcommand(1);
        app.footer(std::string(kFooter));
        // In this order in --help.
        query.add_to(app);
        merge.add_to(app);
        diff.add_to(app);
        supersteps.add_to(app);
        samples.add_to(app);
        info.add_to(app);
        generate.add_to(app);
        pack.add_to(app);
        unpack.add_to(app);
        app.add_subcommand("demo", "Answer a few typical questions on a built-in profile");
        export_command.add_to(app);
        report.add_to(app);
        serve.add_to(app);
    }

    CommandLine command_line() const {
        CommandLine line;  // `demo` unless another command was given
        if (query.given()) {
            query.read(line);
        } else if (merge.given()) {
            merge.read(line);
        } else if (diff.given()) {
            diff.read(line);
        } else if (supersteps.given()) {
            supersteps.read(line);
        } else if (samples.given()) {
            samples.read(line);
        } else if (info.given()) {
            info.read(line);
        } else if (generate.given()) {
            generate.read(line);
        } else if (pack.given()) {
            pack.read(line);
        } else if (unpack.given()) {
            unpack.read(line);
        } else if (export_command.given()) {
            export_command.read(line);
        } else if (report.given()) {
            report.read(line);
        } else if (serve.given()) {
            serve.read(line);
        }
        return line;
    }
};

/// Whether `name` is an option of `command`, or of a command it belongs to, that takes a value.
bool takes_value(const CLI::App& command, const std::string& name) {
    for (const CLI::App* app = &command; app != nullptr; app = app->get_parent()) {
        if (const CLI::Option* option = app->get_option_no_throw(name)) {
            return option->get_items_expected_max() > 0;
        }
    }
    return false;
}

/// `args` with every `--name=` (an empty value joined by `=`) split into `--name` and an empty
/// word. CLI11 cannot tell `--name=` from `--name` and would take the next word as the value;
/// split, it reads exactly as `--name ''`. Words that are values themselves, and everything
/// after `--`, are left as they are.
std::vector<std::string> with_empty_values(const CLI::App& app,
                                           const std::vector<std::string>& args) {
    std::vector<std::string> words;
    words.reserve(args.size() + 1);
    const CLI::App* command = &app;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") {
            words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        words.push_back(word);
        if (command == &app) {
            const auto named =
                app.get_subcommands([&](const CLI::App* sub) { return sub->check_name(word); });
            if (!named.empty()) {
                command = named.front();
                continue;
            }
        }
        const bool long_name = word.starts_with("--");
        const std::size_t equals = long_name ? word.find('=') : std::string::npos;
        if (equals != std::string::npos) {
            if (equals + 1 == word.size() && takes_value(*command, word.substr(0, equals))) {
                words.back().pop_back();
                words.emplace_back();
            }
        } else if ((long_name || (word.size() == 2 && word[0] == '-')) &&
                   takes_value(*command, word) && i + 1 < args.size()) {
            words.push_back(args[++i]);  // the value, whatever it looks like
        }
    }
    return words;
}

/// Parses `args` with `app`, CLI11 taking the words last first.
void parse_words(CLI::App& app, const std::vector<std::string>& args) {
    std::vector<std::string> words = with_empty_values(app, args);
    std::reverse(words.begin(), words.end());
    app.parse(words);
}

bool is_command(std::string_view word) {
    return word == "query" || word == "merge" || word == "diff" || word == "supersteps" ||
           word == "info" || word == "samples" || word == "generate" || word == "demo" ||
           word == "pack" || word == "unpack" || word == "export" || word == "report" ||
           word == "serve";
}

/// An option of `query` given to an analysis that does not take it, said in so many words
/// (CLI11 would only call it unexpected).
std::optional<std::string> option_not_taken(const std::vector<std::string>& args) {
    for (const NotTaken& rule : kNotTaken) {
        if (args[0] != rule.command) {
            continue;
        }
        for (const std::string& word : args) {
            if (word == "--") {
                break;
            }
            if (word == rule.option || word.starts_with(std::string(rule.option) + "=")) {
                return std::string(rule.option) + ": not an option of " +
                       std::string(rule.command) + " (" + std::string(rule.reason) + ")";
            }
        }
    }
    return std::nullopt;
}

}  // namespace

ParseOutcome parse_command_line_quietly(const std::vector<std::string>& args) {
    // CLI11 would call a misspelt command "an unexpected argument"; say what was meant instead.
    if (args.empty()) {
        return {std::nullopt, 2,
                "no command given (query, merge, diff, supersteps, info, samples, generate, demo, "
                "pack, unpack, export, report or serve); see vorn-profile --help"};
    }
    if (args[0] == "help") {
        if (args.size() == 2 && args[1] == "columns") {
            std::cout << kColumnsHelp;
            std::cout.flush();
            return {std::nullopt, std::cout ? 0 : 1, {}};
        }
        return {std::nullopt, 2,
                "help: say `vorn-profile help columns`, or give --help to a command"};
    }
    if (!args[0].starts_with('-') && !is_command(args[0])) {
        return {std::nullopt, 2,
                "unknown command " + in_quotes(args[0]) +
                    " (expected query, merge, diff, supersteps, info, samples, generate, demo, "
                    "pack, unpack, export, report or serve)"};
    }
    if (const auto message = option_not_taken(args)) {
        return {std::nullopt, 2, *message};
    }
    Parser parser;
    try {
        parse_words(parser.app, args);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) {
            // Help or the version: a reader who cannot get it must learn that it failed.
            parser.app.exit(error, std::cout);
            if (!std::cout.flush()) {
                print_error("cannot write to standard output");
                return {std::nullopt, 1, {}};
            }
            return {std::nullopt, 0, {}};
        }
        // CLI11 checks that PROFILE is there before it looks at the words it did not know;
        // a word it did not know is the error to report (`info -x.json` names `-x.json`).
        const std::vector<std::string> unknown = parser.app.remaining(true);
        if (!unknown.empty() && (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr ||
                                 dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr)) {
            // An unknown option is the cause; the words after it are most likely its value.
            const auto option = std::find_if(unknown.begin(), unknown.end(), [](const auto& w) {
                return w.size() > 1 && w.starts_with('-');
            });
            if (option != unknown.end()) {
                return {std::nullopt, 2, unknown_option_message(parser.app, *option)};
            }
            std::string message = unknown.size() > 1 ? "unexpected words" : "unexpected argument";
            for (std::size_t i = 0; i < unknown.size(); ++i) {
                message += (i == 0 ? " " : ", ") + in_quotes(unknown[i]);
            }
            return {std::nullopt, 2, message};
        }
        return {std::nullopt, 2, error.what()};
    }
    try {
        return {parser.command_line(), 0, {}};
    } catch (const UsageError& error) {
        return {std::nullopt, 2, error.what()};
    }
}

ParseOutcome parse_command_line(const std::vector<std::string>& args) {
    ParseOutcome outcome = parse_command_line_quietly(args);
    if (!outcome.error.empty()) {
        print_error(outcome.error);
    }
    return outcome;
}

vorn_profile::Query parse_query_options(const std::vector<std::string>& options) {
    CLI::App app;
    CommandWords words;
    add_query_options(app, words);
    try {
        parse_words(app, options);
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    return to_query(words.values);
}

void print_error(const std::string& message) {
    const std::string line = "error: " + printable(message) + "\n";
    std::fputs(line.c_str(), stderr);
}

}  // namespace vorn_cli

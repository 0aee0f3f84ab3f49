// The commands of `vorn-profile`, one CLI11 subcommand each: `add_to` registers it with the
// tool (commands are listed in `--help` in the order they are added), and `read` turns the
// words it was given into the command line to run, throwing `UsageError` for a value or a
// combination it cannot use.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "option_groups.hpp"
#include "options.hpp"

namespace vorn_cli {

/// What every command holds: its subcommand, once added, and the words given to it.
struct CommandOptions {
    CLI::App* app = nullptr;
    CommandWords words;

    bool given() const { return app->parsed(); }
};

// Questions: query, merge, samples.

struct QueryCommand : CommandOptions {
    bool partial = false;
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

struct MergeCommand : CommandOptions {
    std::vector<std::string> parts;
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

struct SamplesCommand : CommandOptions {
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

// Analyses: diff, supersteps, info.

struct DiffCommand : CommandOptions {
    std::string new_profile;
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

struct SuperstepsCommand : CommandOptions {
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

struct InfoCommand : CommandOptions {
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

// Files: generate, pack, unpack, export, report.

struct GenerateCommand : CommandOptions {
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

/// `pack` and `unpack`, which differ only in the format they write.
struct CopyCommand : CommandOptions {
    Command command;
    explicit CopyCommand(Command which) : command(which) {}
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

/// `export` and `report`, which draw the steps a filter keeps into a file.
struct PictureCommand : CommandOptions {
    Command command;
    explicit PictureCommand(Command which) : command(which) {}
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

// Serving.

struct ServeCommand : CommandOptions {
    void add_to(CLI::App& tool);
    void read(CommandLine& line) const;
};

}  // namespace vorn_cli

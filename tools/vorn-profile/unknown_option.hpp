// The message for an option that a command does not have, with the option it most likely
// means: CLI11 (2.1) names unknown words differently by where they fall, and suggests nothing.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace vorn_cli {

/// "unknown option '--Limit' for `query` (did you mean '--limit'?)" for `word` (with any
/// `=value`), given to the command `app` runs; the same words whatever the command and whatever
/// CLI11 made of the option's value.
std::string unknown_option_message(const CLI::App& app, const std::string& word);

}  // namespace vorn_cli

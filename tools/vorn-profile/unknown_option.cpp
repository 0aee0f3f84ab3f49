#include "unknown_option.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>
#include <vector>

#include "option_values.hpp"

namespace vorn_cli {
namespace {

/// Edits (insertions, deletions, substitutions) that turn `a` into `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] =
                std::min({above + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string lower_case(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

/// The option of `command` that the unknown `name` (dashes and any `=value` removed) most
/// likely means: the one spelt alike but for case, else the only one that `name` begins,
/// else the only one nearest to it within an edit (two for a name of six letters or more).
std::optional<std::string> close_option(const CLI::App& command, std::string_view name) {
    std::vector<std::string> spellings;
    for (const CLI::Option* option : command.get_options()) {
        for (const std::string& long_name : option->get_lnames()) {
            spellings.push_back("--" + long_name);
        }
        for (const std::string& short_name : option->get_snames()) {
            spellings.push_back("-" + short_name);
        }
    }
    const std::string wanted = lower_case(name);
    const auto bare = [](const std::string& spelling) {
        return std::string_view(spelling).substr(spelling.find_first_not_of('-'));
    };
    const auto only = [&](auto&& fits) -> std::optional<std::string> {
        std::optional<std::string> found;
        for (const std::string& spelling : spellings) {
            if (fits(lower_case(bare(spelling)))) {
                if (found) {
                    return std::nullopt;
                }
                found = spelling;
            }
        }
        return found;
    };
    if (auto same = only([&](const std::string& s) { return s == wanted; })) {
        return same;
    }
    if (wanted.size() >= 2) {
        if (auto begun = only([&](const std::string& s) { return s.starts_with(wanted); })) {
            return begun;
        }
    }
    // One letter or two are too few to guess from: every short option is an edit away.
    const std::size_t reach = wanted.size() <= 2 ? 0 : wanted.size() <= 5 ? 1 : 2;
    for (std::size_t edits = 1; edits <= reach; ++edits) {
        const auto near = [&](const std::string& s) { return edit_distance(s, wanted) == edits; };
        if (std::any_of(spellings.begin(), spellings.end(),
                        [&](const std::string& s) { return near(lower_case(bare(s))); })) {
            return only(near);
        }
    }
    return std::nullopt;
}

}  // namespace

std::string unknown_option_message(const CLI::App& app, const std::string& word) {
    const std::vector<CLI::App*> commands = app.get_subcommands();
    const CLI::App& command = commands.empty() ? app : *commands.front();
    const std::string option = word.substr(0, word.find('='));
    std::string message =
        "unknown option " + in_quotes(option) + " for `" + command.get_name() + "`";
    const std::size_t dashes = option.find_first_not_of('-');
    if (dashes != std::string::npos) {
        if (const auto meant = close_option(command, std::string_view(option).substr(dashes))) {
            message += " (did you mean " + in_quotes(*meant) + "?)";
        }
    }
    return message;
}

}  // namespace vorn_cli

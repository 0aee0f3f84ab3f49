// The values of the command line's options, checked and converted one by one, so that every
// error names its option and the offending value in the same style (a `UsageError`).
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "options.hpp"

namespace vorn_cli {

/// The words given to each option, one entry per occurrence.
using Words = std::map<std::string, std::vector<std::string>>;

/// `text` in single quotes, as errors show a value.
std::string in_quotes(std::string_view text);

/// The value of an option that may be given once, if it was given.
std::optional<std::string> single(const Words& words, const std::string& key);

/// The file of `-o/--output`, if given; "-" stands for standard output.
std::optional<std::string> output_file(const Words& words);

/// `-o FILE`, which the picture commands need: a trace or a page is no terminal output.
std::string required_output(const Words& words);

/// Every value of an option that may be repeated, in order.
const std::vector<std::string>& repeated(const Words& words, const std::string& key);

/// A plain unsigned decimal number that fits `T`; leading zeros are fine, nothing else is.
template <class T>
T parse_number(const std::string& option, std::string_view text) {
    const bool digits_only = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c >= '0' && c <= '9';
    });
    if (!digits_only) {
        throw UsageError(option + ": " + in_quotes(text) + " is not an unsigned decimal number");
    }
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc::result_out_of_range || value > std::numeric_limits<T>::max()) {
        throw UsageError(option + ": " + std::string(text) + " is out of range (at most " +
                         std::to_string(std::numeric_limits<T>::max()) + ")");
    }
    return static_cast<T>(value);
}

template <class E>
E parse_choice(const std::string& option, const std::string& value,
               std::initializer_list<std::pair<std::string_view, E>> choices) {
    std::string names;
    for (const auto& [name, choice] : choices) {
        if (name == value) {
            return choice;
        }
        names += names.empty() ? "" : ", ";
        names += name;
    }
    throw UsageError(option + ": unknown value " + in_quotes(value) + " (expected one of " + names +
                     ")");
}

/// Adds the numbers of one comma-separated list of numbers and inclusive ranges `A-B`.
void add_list(const std::string& option, std::string_view list, std::set<std::uint32_t>& into);

/// A text value (a kernel, a metadata key): well-formed UTF-8.
std::string text_value(const std::string& option, std::string value);

/// A decimal factor: digits with at most one point, above 0 and at most 1000.
double parse_factor(const std::string& option, const std::string& text);

/// Reads `--epoch`, `--kernel-matches`, `--operation-matches`, `--exclude-kind`,
/// `--exclude-kernel` and `--percentiles` into `query`, and refuses `--metadata-key` and
/// `--group-by metadata` without each other.
void add_question_options(const Words& words, vorn_profile::Query& query);

/// The query options of a command.
vorn_profile::Query to_query(const Words& words);

/// The window of `--from A` and `--to B`, when either is given; it must hold a cycle.
std::optional<vorn_profile::TimeWindow> to_window(const Words& words);

/// `--format` of a command that prints a report.
OutputFormat to_format(const Words& words);

}  // namespace vorn_cli

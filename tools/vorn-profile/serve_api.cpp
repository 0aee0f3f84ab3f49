#include "serve_api.hpp"

#include <algorithm>
#include <sstream>

#include "answers.hpp"
#include "info.hpp"
#include "option_values.hpp"
#include "serve_assets.hpp"
#include "vorn_view/text_format.hpp"

namespace vorn_cli {
namespace {

/// Parameter names the command line has but the API answers itself: the format is JSON, the
/// threads are the server's, and nothing is written to a file.
constexpr std::string_view kNotParameters[] = {"format", "threads", "output", "o",
                                               "help",   "version", "h"};

/// Whether `name` can be a long option name: lowercase letters, digits and dashes.
bool option_like(std::string_view name) {
    return !name.empty() && name.front() != '-' &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
           });
}

/// The command line `command --name value ... [extra] -- profile` for `parameters`, or the
/// error of a parameter that no option of the command could be.
std::optional<std::string> command_words(std::string_view command, const ApiParameters& parameters,
                                         std::vector<std::string>& words) {
    words = {std::string(command)};
    for (const auto& [name, value] : parameters) {
        if (!option_like(name) || std::find(std::begin(kNotParameters), std::end(kNotParameters),
                                            name) != std::end(kNotParameters)) {
            return "unknown parameter " + in_quotes(name);
        }
        words.push_back("--" + name);
        words.push_back(value);
    }
    return std::nullopt;
}

}  // namespace

ApiAnswer api_error(int status, std::string_view message) {
    ApiAnswer answer;
    answer.status = status;
    answer.body = "{\"error\": " + vorn_view::json_string(message) + "}\n";
    return answer;
}

ServeApi::ServeApi(const vorn_package::ProfileColumns& columns, std::string path,
                   std::size_t threads)
    : columns_(&columns),
      path_(std::move(path)),
      threads_(threads),
      // The info walks the whole profile: it is made meanwhile, and waited for only by a
      // request for it.
      info_(std::async(std::launch::async,
                       [this] {
                           std::ostringstream info;
                           write_info(info, path_, *columns_, OutputFormat::Json, threads_);
                           return std::move(info).str();
                       })
                .share()),
      timeline_(columns, threads) {}

ApiAnswer ServeApi::get(std::string_view path, const ApiParameters& parameters) const {
    if (path == "/api/query") {
        return query(parameters, false);
    }
    if (path == "/api/supersteps") {
        return query(parameters, true);
    }
    if (path == "/api/timeline") {
        return timeline(parameters);
    }
    if (path == "/api/info") {
        if (!parameters.empty()) {
            return api_error(400, "unknown parameter " + in_quotes(parameters.front().first));
        }
        return {200, "application/json", info_.get()};
    }
    const std::string_view name = path == "/" ? "index.html" : path.substr(1);
    for (const ServeAsset& asset : serve_assets()) {
        if (!path.empty() && path.front() == '/' && asset.name == name) {
            return {200, std::string(asset.content_type), std::string(asset.bytes)};
        }
    }
    return api_error(404, "no such path: " + std::string(path));
}

ApiAnswer ServeApi::query(const ApiParameters& parameters, bool supersteps) const {
    std::vector<std::string> words;
    if (auto error = command_words(supersteps ? "supersteps" : "query", parameters, words)) {
        return api_error(400, *error);
    }
    words.insert(words.end(), {"--format", "json", "--", "profile"});
    ParseOutcome parsed = parse_command_line_quietly(words);
    if (!parsed.command_line) {
        return api_error(400, parsed.error);
    }
    CommandLine& line = *parsed.command_line;
    line.threads = threads_;
    std::ostringstream out;
    if (supersteps) {
        write_supersteps_answer(out, *columns_, line);
    } else {
        write_query_answer(out, *columns_, line);
    }
    return {200, "application/json", std::move(out).str()};
}

ApiAnswer ServeApi::timeline(const ApiParameters& parameters) const {
    // The filters and the window are those of `export`; the width is the timeline's own.
    ApiParameters options;
    std::optional<std::string> width_text;
    std::optional<std::string> format;
    for (const auto& parameter : parameters) {
        if (parameter.first == "width" || parameter.first == "format") {
            std::optional<std::string>& value = parameter.first == "width" ? width_text : format;
            if (value) {
                return api_error(400, parameter.first + ": given more than once");
            }
            value = parameter.second;
        } else {
            options.push_back(parameter);
        }
    }
    if (!width_text) {
        return api_error(400, "width: missing (the timeline's width in pixels, 1 to " +
                                  std::to_string(kMostTimelinePixels) + ")");
    }
    const bool binary = format == "binary";
    if (format && !binary && format != "json") {
        return api_error(
            400, "format: unknown value " + in_quotes(*format) + " (expected one of json, binary)");
    }
    std::vector<std::string> words;
    if (auto error = command_words("export", options, words)) {
        return api_error(400, *error);
    }
    words.insert(words.end(), {"-o", "-", "--", "profile"});
    const ParseOutcome parsed = parse_command_line_quietly(words);
    if (!parsed.command_line) {
        return api_error(400, parsed.error);
    }
    TimelineRequest request;
    try {
        request.width = parse_number<std::uint32_t>("width", *width_text);
    } catch (const UsageError& error) {
        return api_error(400, error.what());
    }
    if (request.width == 0 || request.width > kMostTimelinePixels) {
        return api_error(400, "width: " + *width_text + " is out of range (1 to " +
                                  std::to_string(kMostTimelinePixels) + ")");
    }
    const CommandLine& line = *parsed.command_line;
    request.filters = line.query;
    const bool has_to = std::any_of(parameters.begin(), parameters.end(),
                                    [](const auto& parameter) { return parameter.first == "to"; });
    if (line.window) {
        request.from = line.window->from;
        request.to = line.window->to;
    }
    if (!has_to) {
        // Up to the end of the longest time line, or one cycle past `from` beyond it.
        request.to = std::max(timeline_.span(), request.from + 1);
    }
    if (binary) {
        return {200, "application/octet-stream", timeline_.binary_answer(request, threads_)};
    }
    return {200, "application/json", timeline_.answer(request, threads_)};
}

}  // namespace vorn_cli

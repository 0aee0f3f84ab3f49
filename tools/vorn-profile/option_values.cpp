#include "option_values.hpp"

#include <algorithm>
#include <string_view>

namespace vorn_cli {
namespace {

// A set of tiles or phases is held in memory; no device comes near this many.
constexpr std::uint64_t kMaxListNumbers = 1'048'576;

/// Whether `text` is well-formed UTF-8. Profile texts always are, so a filter or key that is
/// not could never match and would make the JSON report invalid.
bool is_utf8(std::string_view text) {
    struct Form {
        unsigned char mask;
        unsigned char lead;
        std::size_t length;
        std::uint32_t minimum;  // smaller values in this form are overlong
    };
    constexpr Form kForms[] = {{0x80, 0x00, 1, 0x0},
                               {0xe0, 0xc0, 2, 0x80},
                               {0xf0, 0xe0, 3, 0x800},
                               {0xf8, 0xf0, 4, 0x10000}};
    std::size_t i = 0;
    while (i < text.size()) {
        const auto first = static_cast<unsigned char>(text[i]);
        const Form* form = std::find_if(std::begin(kForms), std::end(kForms),
                                        [&](const Form& f) { return (first & f.mask) == f.lead; });
        if (form == std::end(kForms) || text.size() - i < form->length) {
            return false;
        }
        std::uint32_t code = first & static_cast<unsigned char>(~form->mask);
        for (std::size_t k = 1; k < form->length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3f);
        }
        if (code < form->minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return false;
        }
        i += form->length;
    }
    return true;
}

}  // namespace

std::string in_quotes(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    quoted += text;
    quoted += '\'';
    return quoted;
}

std::optional<std::string> single(const Words& words, const std::string& key) {
    const auto found = words.find(key);
    if (found == words.end() || found->second.empty()) {
        return std::nullopt;
    }
    const std::vector<std::string>& values = found->second;
    if (values.size() > 1) {
        throw UsageError(key + ": given more than once (" + in_quotes(values[0]) + " and " +
                         in_quotes(values[1]) + "); it may be given once");
    }
    return values.front();
}

std::optional<std::string> output_file(const Words& words) {
    std::optional<std::string> file = single(words, "-o");
    if (file && file->empty()) {
        throw UsageError("--output: the file name is empty (- is standard output)");
    }
    return file;
}

const std::vector<std::string>& repeated(const Words& words, const std::string& key) {
    static const std::vector<std::string> kNone;
    const auto found = words.find(key);
    return found == words.end() ? kNone : found->second;
}

void add_list(const std::string& option, std::string_view list, std::set<std::uint32_t>& into) {
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = std::min(list.find(',', begin), list.size());
        const std::string_view item = list.substr(begin, comma - begin);
        if (item.empty()) {
            throw UsageError(option + ": empty item in " + in_quotes(list));
        }
        const std::size_t dash = item.find('-');
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        if (dash == std::string_view::npos) {
            first = last = parse_number<std::uint32_t>(option, item);
        } else {
            const std::string_view low = item.substr(0, dash);
            const std::string_view high = item.substr(dash + 1);
            if (low.empty() || high.empty()) {
                throw UsageError(option + ": " + in_quotes(item) +
                                 " is neither a number nor a range A-B");
            }
            first = parse_number<std::uint32_t>(option, low);
            last = parse_number<std::uint32_t>(option, high);
            if (first > last) {
                throw UsageError(option + ": range " + in_quotes(item) + " runs backwards (" +
                                 std::string(low) + " > " + std::string(high) + ")");
            }
            if (std::uint64_t{last} - first + 1 > kMaxListNumbers) {
                throw UsageError(option + ": range " + in_quotes(item) + " spans " +
                                 std::to_string(std::uint64_t{last} - first + 1) +
                                 " numbers (at most " + std::to_string(kMaxListNumbers) + ")");
            }
        }
        for (std::uint64_t n = first; n <= last; ++n) {
            into.insert(static_cast<std::uint32_t>(n));
        }
        if (into.size() > kMaxListNumbers) {
            throw UsageError(option + ": the lists name more than " +
                             std::to_string(kMaxListNumbers) + " numbers");
        }
        if (comma == list.size()) {
            return;
        }
        begin = comma + 1;
    }
}

std::string text_value(const std::string& option, std::string value) {
    if (!is_utf8(value)) {
        throw UsageError(option + ": value is not valid UTF-8");
    }
    return value;
}

vorn_profile::Query to_query(const Words& words) {
    using vorn_profile::GroupBy;
    using vorn_profile::SortBy;
    using vorn_profile::StepKind;
    vorn_profile::Query query;
    if (const auto value = single(words, "--group-by")) {
        std::vector<GroupBy> keys;
        std::string_view list = *value;
        while (true) {
            const std::size_t comma = list.find(',');
            keys.push_back(parse_choice<GroupBy>("--group-by", std::string(list.substr(0, comma)),
                                                 {{"kind", GroupBy::Kind},
                                                  {"kernel", GroupBy::Kernel},
                                                  {"operation", GroupBy::Operation},
                                                  {"phase", GroupBy::Phase},
                                                  {"tile", GroupBy::Tile},
                                                  {"metadata", GroupBy::Metadata}}));
            if (comma == std::string_view::npos) {
                break;
            }
            list.remove_prefix(comma + 1);
        }
        if (keys.size() > 3) {
            throw UsageError("--group-by: " + in_quotes(*value) + " has " +
                             std::to_string(keys.size()) + " keys (at most three)");
        }
        for (std::size_t k = 1; k < keys.size(); ++k) {
            if (std::find(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(k), keys[k]) !=
                keys.begin() + static_cast<std::ptrdiff_t>(k)) {
                throw UsageError("--group-by: " + in_quotes(*value) + " names a key twice");
            }
        }
        query.group_by = keys.front();
        query.then_group_by.assign(keys.begin() + 1, keys.end());
    }
    if (const auto value = single(words, "--metadata-key")) {
        query.metadata_key = text_value("--metadata-key", *value);
    }
    if (const auto value = single(words, "--sort-by")) {
        query.sort_by = parse_choice<SortBy>("--sort-by", *value,
                                             {{"phase-cycles", SortBy::PhaseCycles},
                                              {"work-cycles", SortBy::WorkCycles},
                                              {"maximum-cycles", SortBy::MaximumCycles},
                                              {"samples", SortBy::Samples},
                                              {"name", SortBy::Name}});
    }
    if (const auto value = single(words, "--kind")) {
        query.kind = parse_choice<StepKind>("--kind", *value,
                                            {{"exchange", StepKind::Exchange},
                                             {"compute", StepKind::Compute},
                                             {"synchronization", StepKind::Synchronization},
                                             {"idle", StepKind::Idle}});
    }
    if (const auto value = single(words, "--kernel")) {
        query.kernel = text_value("--kernel", *value);
    }
    if (const auto value = single(words, "--operation-contains")) {
        query.operation_contains = text_value("--operation-contains", *value);
    }
    for (const std::string& list : repeated(words, "--tile")) {
        add_list("--tile", list, query.tiles);
    }
    for (const std::string& list : repeated(words, "--phase")) {
        add_list("--phase", list, query.phases);
    }
    for (const std::string& entry : repeated(words, "--metadata")) {
        const std::string text = text_value("--metadata", entry);
        const std::size_t equals = text.find('=');
        if (equals == std::string::npos) {
            query.metadata.push_back({text, std::nullopt});
        } else {
            query.metadata.push_back({text.substr(0, equals), text.substr(equals + 1)});
        }
    }
    if (const auto value = single(words, "--at-offset")) {
        query.at_offset = parse_number<std::uint64_t>("--at-offset", *value);
    }
    if (const auto value = single(words, "--limit")) {
        query.limit = parse_number<std::uint64_t>("--limit", *value);
    }
    if (const auto value = single(words, "--sample-limit")) {
        query.sample_limit = parse_number<std::uint64_t>("--sample-limit", *value);
    }
    add_question_options(words, query);
    return query;
}

std::string required_output(const Words& words) {
    const auto value = output_file(words);
    if (!value) {
        throw UsageError("-o FILE is required (- writes to standard output)");
    }
    return *value;
}

std::optional<vorn_profile::TimeWindow> to_window(const Words& words) {
    const auto from = single(words, "--from");
    const auto to = single(words, "--to");
    if (!from && !to) {
        return std::nullopt;
    }
    vorn_profile::TimeWindow window;
    if (from) {
        window.from = parse_number<std::uint64_t>("--from", *from);
    }
    if (to) {
        window.to = parse_number<std::uint64_t>("--to", *to);
    }
    if (window.from > window.to) {
        throw UsageError("--from " + std::to_string(window.from) + " is past --to " +
                         std::to_string(window.to) + " (the window is [A, B) with A < B)");
    }
    if (window.from == window.to) {
        throw UsageError("empty window: --from " + std::to_string(window.from) + " --to " +
                         std::to_string(window.to) +
                         " holds no cycle (the window is [A, B) "
                         "with A < B)");
    }
    return window;
}

OutputFormat to_format(const Words& words) {
    if (const auto value = single(words, "--format")) {
        return parse_choice<OutputFormat>("--format", *value,
                                          {{"table", OutputFormat::Table},
                                           {"json", OutputFormat::Json},
                                           {"csv", OutputFormat::Csv}});
    }
    return OutputFormat::Table;
}

double parse_factor(const std::string& option, const std::string& text) {
    const bool plain = !text.empty() && text.front() != '.' && text.back() != '.' &&
                       std::count(text.begin(), text.end(), '.') <= 1 &&
                       std::all_of(text.begin(), text.end(),
                                   [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    double value = 0;
    if (plain) {
        std::from_chars(text.data(), text.data() + text.size(), value);
    }
    if (!plain || !(value > 0 && value <= 1000)) {
        throw UsageError(option + ": " + in_quotes(text) +
                         " is not a decimal factor above 0 and at most 1000, such as 1.5");
    }
    return value;
}

}  // namespace vorn_cli

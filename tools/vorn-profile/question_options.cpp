// The query options that pick steps by epoch, pattern or exclusion, the further percentiles,
// and the combinations of options that would otherwise be silently ignored.
#include <re2/re2.h>

#include <algorithm>

#include "option_values.hpp"

namespace vorn_cli {
namespace {

using vorn_profile::GroupBy;
using vorn_profile::StepKind;

/// A regular expression RE2 accepts; otherwise a usage error with RE2's message.
std::string pattern_value(const std::string& option, const std::string& value) {
    std::string pattern = text_value(option, value);
    re2::RE2::Options options;
    options.set_log_errors(false);
    const re2::RE2 compiled(pattern, options);
    if (!compiled.ok()) {
        throw UsageError(option + ": " + in_quotes(pattern) +
                         " is not a valid regular expression: " + compiled.error());
    }
    return pattern;
}

/// One percentile: digits with at most three decimals, 0 to 100, as thousandths of a percent.
std::uint32_t percentile_value(std::string_view text) {
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view decimals =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    const auto digits = [](std::string_view part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const bool plain = !whole.empty() && whole.size() <= 3 && digits(whole) &&
                       (point == std::string_view::npos ||
                        (!decimals.empty() && decimals.size() <= 3 && digits(decimals)));
    std::uint32_t thousandths = 0;
    if (plain) {
        for (const char c : whole) {
            thousandths = thousandths * 10 + static_cast<std::uint32_t>(c - '0');
        }
        std::uint32_t fraction = 0;
        for (std::size_t i = 0; i < 3; ++i) {
            fraction = fraction * 10 +
                       (i < decimals.size() ? static_cast<std::uint32_t>(decimals[i] - '0') : 0);
        }
        thousandths = thousandths * 1000 + fraction;
    }
    if (!plain || thousandths > 100000) {
        throw UsageError("--percentiles: " + in_quotes(text) +
                         " is not a percentile from 0 to 100 with at most three decimals, "
                         "such as 99.9");
    }
    return thousandths;
}

bool groups_by(const vorn_profile::Query& query, GroupBy key) {
    return query.group_by == key ||
           std::find(query.then_group_by.begin(), query.then_group_by.end(), key) !=
               query.then_group_by.end();
}

}  // namespace

void add_question_options(const Words& words, vorn_profile::Query& query) {
    for (const std::string& list : repeated(words, "--epoch")) {
        add_list("--epoch", list, query.epochs);
    }
    if (const auto value = single(words, "--kernel-matches")) {
        query.kernel_matches = pattern_value("--kernel-matches", *value);
    }
    if (const auto value = single(words, "--operation-matches")) {
        query.operation_matches = pattern_value("--operation-matches", *value);
    }
    for (const std::string& value : repeated(words, "--exclude-kind")) {
        query.exclude_kinds.push_back(
            parse_choice<StepKind>("--exclude-kind", value,
                                   {{"exchange", StepKind::Exchange},
                                    {"compute", StepKind::Compute},
                                    {"synchronization", StepKind::Synchronization},
                                    {"idle", StepKind::Idle}}));
    }
    for (const std::string& value : repeated(words, "--exclude-kernel")) {
        query.exclude_kernels.push_back(text_value("--exclude-kernel", value));
    }
    if (const auto value = single(words, "--percentiles")) {
        std::string_view list = *value;
        while (true) {
            const std::size_t comma = list.find(',');
            // p50 and p95 have their own columns already; a percentile given twice gets one.
            const std::uint32_t thousandths = percentile_value(list.substr(0, comma));
            if (thousandths != 50000 && thousandths != 95000 &&
                std::find(query.percentiles.begin(), query.percentiles.end(), thousandths) ==
                    query.percentiles.end()) {
                query.percentiles.push_back(thousandths);
            }
            if (comma == std::string_view::npos) {
                break;
            }
            list.remove_prefix(comma + 1);
        }
    }
    if (query.metadata_key && !groups_by(query, GroupBy::Metadata)) {
        throw UsageError(
            "--metadata-key: only --group-by metadata uses it; add --group-by metadata, or use "
            "--metadata NAME[=VALUE] to keep steps by their metadata");
    }
    if (!query.metadata_key && groups_by(query, GroupBy::Metadata) && single(words, "--group-by")) {
        throw UsageError(
            "--group-by metadata: needs --metadata-key KEY, the entry whose values name the "
            "groups");
    }
}

}  // namespace vorn_cli

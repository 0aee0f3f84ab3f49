#include "patterns.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <set>

namespace vorn_profile {
namespace detail {
namespace {

re2::RE2::Options quiet_options() {
    re2::RE2::Options options;
    options.set_log_errors(false);  // the engine writes nothing; `query_error` says why
    return options;
}

std::unique_ptr<re2::RE2> compiled(const std::optional<std::string>& pattern) {
    if (!pattern) {
        return nullptr;
    }
    return std::make_unique<re2::RE2>(*pattern, quiet_options());
}

bool contains_match(const re2::RE2* pattern, std::string_view text) {
    return pattern == nullptr ||
           (pattern->ok() &&
            re2::RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *pattern));
}

}  // namespace

StepPatterns::StepPatterns(const Query& query)
    : query_(&query),
      kernel_(compiled(query.kernel_matches)),
      operation_(compiled(query.operation_matches)),
      active_(kernel_ || operation_ || !query.exclude_kinds.empty() ||
              !query.exclude_kernels.empty()) {}

StepPatterns::StepPatterns(StepPatterns&&) noexcept = default;
StepPatterns::~StepPatterns() = default;

bool StepPatterns::admits(StepKind kind, std::string_view kernel,
                          std::string_view operation) const {
    const auto& kinds = query_->exclude_kinds;
    if (std::find(kinds.begin(), kinds.end(), kind) != kinds.end()) {
        return false;
    }
    const auto& kernels = query_->exclude_kernels;
    if (std::find(kernels.begin(), kernels.end(), kernel) != kernels.end()) {
        return false;
    }
    return contains_match(kernel_.get(), kernel) && contains_match(operation_.get(), operation);
}

}  // namespace detail

std::optional<std::string> query_error(const Query& query) {
    const auto pattern_error =
        [](const char* field,
           const std::optional<std::string>& pattern) -> std::optional<std::string> {
        if (!pattern) {
            return std::nullopt;
        }
        const re2::RE2 compiled(*pattern, detail::quiet_options());
        if (compiled.ok()) {
            return std::nullopt;
        }
        return std::string(field) + ": invalid regular expression '" + *pattern +
               "': " + compiled.error();
    };
    if (auto error = pattern_error("kernel_matches", query.kernel_matches)) {
        return error;
    }
    if (auto error = pattern_error("operation_matches", query.operation_matches)) {
        return error;
    }
    for (const std::uint32_t thousandths : query.percentiles) {
        if (thousandths > 100000) {
            return "percentiles: " + std::to_string(thousandths) +
                   " thousandths of a percent is above 100 %";
        }
    }
    if (query.then_group_by.size() > 2) {
        return std::string("group_by: at most three keys");
    }
    std::set<GroupBy> keys{query.group_by};
    for (const GroupBy key : query.then_group_by) {
        if (!keys.insert(key).second) {
            return std::string("group_by: a key is given twice");
        }
    }
    return std::nullopt;
}

}  // namespace vorn_profile

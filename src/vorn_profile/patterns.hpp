// The step criteria that go beyond equality: regular expressions over kernel and operation
// names, and the kinds and kernels left out.
#pragma once

#include <memory>
#include <string_view>

#include "vorn_profile/query.hpp"

namespace re2 {
class RE2;
}

namespace vorn_profile::detail {

/// The query's patterns, compiled once per call. A pattern RE2 rejects matches nothing.
class StepPatterns {
public:
    explicit StepPatterns(const Query& query);
    StepPatterns(StepPatterns&&) noexcept;
    ~StepPatterns();

    /// Whether the query has a pattern or an exclusion to test.
    bool active() const { return active_; }

    /// Whether a step with this kind, kernel and operation passes the patterns and exclusions.
    bool admits(StepKind kind, std::string_view kernel, std::string_view operation) const;

private:
    const Query* query_;
    std::unique_ptr<re2::RE2> kernel_;
    std::unique_ptr<re2::RE2> operation_;
    bool active_ = false;
};

/// `matches_query` with the query's patterns compiled by the caller.
bool matches_query(const Query& query, const StepPatterns& patterns, std::uint32_t tile,
                   const vorn_package::CycleSample& sample, std::uint64_t offset,
                   std::uint32_t sample_duration);

/// Whether the query has a criterion beyond the grouping, so that samples must be tested.
inline bool filters_samples(const Query& query) {
    return query.kind || query.kernel || query.operation_contains || !query.tiles.empty() ||
           !query.phases.empty() || query.at_offset || !query.metadata.empty() ||
           !query.epochs.empty() || query.kernel_matches || query.operation_matches ||
           !query.exclude_kinds.empty() || !query.exclude_kernels.empty();
}

}  // namespace vorn_profile::detail

// Partial reports on the command line: `merge` reads its parts and merges them in the order
// given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vorn_profile/partial.hpp"

namespace vorn_cli {

/// The merged partial, or the one error line's message (naming the file and what is wrong)
/// and the exit status: 1 for a part that cannot be read or merged, 2 for a limit that the
/// parts already have.
struct MergedParts {
    std::optional<vorn_profile::QueryPartial> merged;
    std::string error;
    int status = 0;
};

/// Reads the partial reports `paths` ("-" for standard input) and merges them in the order
/// given, in a balanced tree; `limit` and `sample_limit` are `merge`'s, allowed only for parts
/// made without them.
MergedParts merge_part_files(const std::vector<std::string>& paths,
                             std::optional<std::uint64_t> limit,
                             std::optional<std::uint64_t> sample_limit);

}  // namespace vorn_cli

// Whether the file system that would receive a generated profile has room for it.
#pragma once

#include <optional>
#include <string>

#include "options.hpp"

namespace vorn_cli {

/// About how many bytes the profile that `generate` writes for `line` takes, measured on a
/// short run: a little short of the real size (a long run's numbers have more digits, and the
/// header and texts are left out), so that only a profile that cannot fit is refused.
double generated_profile_bytes(const CommandLine& line);

/// An error naming both sizes when the profile that `generate` would write for `line` is
/// larger than the space free on the file system of its destination (`-o FILE`, or standard
/// output when that is a regular file); nothing when it fits or the space cannot be told.
std::optional<std::string> generated_profile_exceeds_space(const CommandLine& line);

}  // namespace vorn_cli

// `vorn-profile info`: what a newcomer needs to know about a profile before asking it anything.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>

#include "options.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_cli {

/// Clock, tile and sample counts, span, and the distinct kinds, kernels, phases, epochs and
/// metadata names with their counts, each list in a fixed order. The totals are walked on
/// `threads` threads. JSON holds the same as one object; CSV one row per counted value (section,
/// name, samples, and for metadata names their steps and distinct values).
void write_info(std::ostream& out, const std::string& path,
                const vorn_package::ProfileColumns& profile, OutputFormat format,
                std::size_t threads);

}  // namespace vorn_cli

// `vorn-profile info`: what a newcomer needs to know about a profile before asking it anything.
#pragma once

#include <iosfwd>
#include <string>

#include "vorn_package/profile_columns.hpp"

namespace vorn_cli {

/// Clock, tile and sample counts, span, and the distinct kinds, kernels, phases, epochs and
/// metadata names with their counts, each list in a fixed order.
void write_info(std::ostream& out, const std::string& path,
                const vorn_package::ProfileColumns& profile);

/// The same figures as one JSON object: `profile`, `clock_hz`, `tile_count`, `sample_count`,
/// `profile_span_cycles`, `profile_span_ms`, and lists `kinds`, `kernels`, `phases`, `epochs`
/// and `metadata_names` whose entries carry their samples (metadata names: entries, steps and
/// distinct values).
void write_info_json(std::ostream& out, const std::string& path,
                     const vorn_package::ProfileColumns& profile);

}  // namespace vorn_cli

// `vorn-profile info`: what a newcomer needs to know about a profile before asking it anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "options.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_cli {

/// How often one metadata name occurs: its entries, the steps holding it (a step with the name
/// twice counts once), each weighted by the step's samples, and its distinct values.
struct MetadataNameCounts {
    std::uint64_t entries = 0;
    std::uint64_t steps = 0;
    std::uint64_t values = 0;
};

/// What `info` shows. The texts view the profile's own, so it lives no longer than the profile.
struct ProfileInfo {
    std::uint64_t clock_hz = 0;
    std::uint64_t tile_count = 0;
    std::uint64_t sample_count = 0;
    std::uint64_t span_cycles = 0;
    double span_ms = 0.0;
    /// Samples per kind, by kind name.
    std::vector<std::pair<std::string, std::uint64_t>> kinds;
    /// Samples per kernel ("" for steps without one), phase, epoch and metadata name.
    std::map<std::string_view, std::uint64_t> kernels;
    std::map<std::uint32_t, std::uint64_t> phases;
    std::map<std::uint32_t, std::uint64_t> epochs;
    std::map<std::string_view, MetadataNameCounts> metadata;
};

/// The counts of `info`; the totals are walked on `threads` threads.
ProfileInfo profile_info(const vorn_package::ProfileColumns& profile, std::size_t threads = 1);

/// Clock, tile and sample counts, span, and the distinct kinds, kernels, phases, epochs and
/// metadata names with their counts, each list in a fixed order. JSON holds the same as one
/// object; CSV one row per counted value (section, name, samples, and for metadata names their
/// steps and distinct values).
void write_info(std::ostream& out, const std::string& path,
                const vorn_package::ProfileColumns& profile, OutputFormat format,
                std::size_t threads);

/// The names `--columns` may give to the tables of `info`: `name` for the counted values, and
/// the counts.
std::vector<std::string> info_table_columns();

}  // namespace vorn_cli

// vorn_package/synthetic_profile.hpp
//
// Deterministic synthetic profiles that look like real runs, for the tool's `generate` and
// `demo` commands, the tests and the benchmarks. The same options always give the same profile.
//
//     vorn_package::SyntheticOptions options;
//     options.tiles = 1472;
//     options.steps_per_tile = 1000;
//     vorn_package::ProfileReport large = vorn_package::synthetic_profile(options);
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "vorn_package/columns_sink.hpp"
#include "vorn_package/profile.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_package {

struct SyntheticOptions {
    std::uint32_t tiles = 64;
    std::uint32_t steps_per_tile = 400;
    std::uint64_t seed = 1;
    std::uint64_t clock_hz = 1'330'000'000;
    /// A kernel whose compute steps take `slow_factor` times as long on the tiles of
    /// `slow_tiles` (on every tile when it is empty), as after a change that slowed it down.
    /// Everything else keeps its timing, except that synchronization waits for the slower
    /// tiles. Absent, the profile is the one the other options give.
    std::optional<std::string> slow_kernel = std::nullopt;
    double slow_factor = 1.0;
    std::set<std::uint32_t> slow_tiles = {};  ///< tile numbers (their physical tiles)
};

/// The most samples a synthetic profile may have: fewer than 2^32, so that no group of them
/// reaches 2^32 samples, up to which a group's counts and sums are exact.
inline constexpr std::uint64_t kMaxSyntheticSamples = 0xffff'ffff;

/// How many samples the profile has: `tiles * steps_per_tile`.
inline std::uint64_t synthetic_sample_count(const SyntheticOptions& options) {
    return std::uint64_t{options.tiles} * options.steps_per_tile;
}

/// The kernels the generator's compute steps run, in byte order (a run of a few hundred steps
/// per tile meets them all).
std::vector<std::string> synthetic_kernels();

/// Why `options` make no valid profile, if they do not: more than `kMaxSyntheticSamples`
/// samples, or a tile whose samples would end 2^32 cycles or more after the start of its first
/// one, beyond what its 32-bit cycle counter can time (a slowed kernel can take a tile there).
/// Near that limit the check walks the schedule with every tile, as generating does. The
/// functions below need options that pass; with others their readings wrap.
std::optional<std::string> synthetic_options_error(const SyntheticOptions& options);

/// A profile of `tiles` tiles with `steps_per_tile` samples each.
ProfileReport synthetic_profile(const SyntheticOptions& options);

/// The same profile made into `sink` tile after tile, without records: the columns a
/// `ColumnsBuilder` makes from it are `to_columns(synthetic_profile(options))`, texts and steps
/// numbered alike. Memory stays small whatever the size, apart from what the sink keeps.
void synthetic_samples(const SyntheticOptions& options, ColumnsSink& sink);

/// The same profile as columns, made without records.
ProfileColumns synthetic_columns(const SyntheticOptions& options);

}  // namespace vorn_package

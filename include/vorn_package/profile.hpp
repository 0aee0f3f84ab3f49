// vorn_package/profile.hpp
//
// The records of one recorded cycle profile of a tiled accelerator: every tile's timed steps,
// each stamped with two readings of the tile's free-running 32-bit cycle counter. The records are
// plain values; the query engine (<vorn_profile/query.hpp>) reads them and never changes them.
//
//     vorn_package::ProfileReport report{.clock_hz = 1'000'000'000, .tiles = {}};
//     report.tiles.push_back({.physical_tile = 3, .samples = {}});
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn_package {

/// Class of a step; the numbers are the values stored by the producer.
enum class ProfileStepKind : std::uint8_t {
    Exchange = 0,
    Compute = 1,
    Synchronization = 2,
    Idle = 3
};

/// One free-form annotation of a step; names may repeat within one step.
struct ProfileMetadata {
    std::string name;
    std::string value;

    friend bool operator==(const ProfileMetadata&, const ProfileMetadata&) = default;
};

/// What ran: a step of a tile's schedule.
struct ProfileStep {
    std::uint32_t local_index = 0;  ///< as recorded by the producer; not used by queries
    std::uint32_t phase = 0;        ///< phase of the schedule; recurs across epochs
    std::uint32_t epoch = 0;        ///< (phase, epoch) identifies one phase occurrence
    std::string operation;
    ProfileStepKind kind = ProfileStepKind::Exchange;
    std::string kernel;                     ///< may be empty
    std::vector<ProfileMetadata> metadata;  ///< stored order kept

    friend bool operator==(const ProfileStep&, const ProfileStep&) = default;
};

/// One timed step on one tile. `end_cycle` below `start_cycle` means the counter wrapped.
struct CycleSample {
    ProfileStep step;
    std::uint32_t start_cycle = 0;
    std::uint32_t end_cycle = 0;

    friend bool operator==(const CycleSample&, const CycleSample&) = default;
};

/// The samples of one tile in recorded order; the first sample is the tile's time base.
struct TileProfile {
    std::uint32_t physical_tile = 0;
    std::vector<CycleSample> samples;

    friend bool operator==(const TileProfile&, const TileProfile&) = default;
};

/// One whole profile. With `clock_hz` 0 every millisecond figure of a query is 0.
struct ProfileReport {
    std::uint64_t clock_hz = 0;
    std::vector<TileProfile> tiles;

    friend bool operator==(const ProfileReport&, const ProfileReport&) = default;
};

}  // namespace vorn_package

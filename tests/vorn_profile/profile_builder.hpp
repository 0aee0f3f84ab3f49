// Small builders for hand-made profiles in the engine's tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "vorn_profile/query.hpp"

namespace vorn_test {

using vorn_package::CycleSample;
using vorn_package::ProfileMetadata;
using vorn_package::ProfileReport;
using vorn_package::ProfileStepKind;
using vorn_package::TileProfile;

inline CycleSample step(std::uint32_t start, std::uint32_t end, std::string kernel = "k",
                        std::uint32_t phase = 0, std::uint32_t epoch = 0,
                        ProfileStepKind kind = ProfileStepKind::Compute,
                        std::vector<ProfileMetadata> metadata = {}, std::string operation = "op") {
    CycleSample sample;
    sample.step.phase = phase;
    sample.step.epoch = epoch;
    sample.step.kind = kind;
    sample.step.kernel = std::move(kernel);
    sample.step.operation = std::move(operation);
    sample.step.metadata = std::move(metadata);
    sample.start_cycle = start;
    sample.end_cycle = end;
    return sample;
}

inline ProfileReport profile(std::vector<TileProfile> tiles,
                             std::uint64_t clock_hz = 1'000'000'000) {
    return ProfileReport{clock_hz, std::move(tiles)};
}

}  // namespace vorn_test

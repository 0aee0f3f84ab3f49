// Where a parsed profile goes: the reader hands over the clock, the tiles and their samples,
// and a sink builds records or columns of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "vorn_package/profile.hpp"
#include "vorn_package/profile_columns.hpp"

namespace vorn_package::json {

/// One sample as read. The texts are valid until the sink returns.
struct SampleFields {
    std::uint32_t start_cycle = 0;
    std::uint32_t end_cycle = 0;
    std::uint32_t local_index = 0;
    std::uint32_t phase = 0;
    std::uint32_t epoch = 0;
    ProfileStepKind kind = ProfileStepKind::Exchange;
    std::string_view operation;
    std::string_view kernel;
    std::span<const MetadataText> metadata;
};

class ProfileSink {
public:
    virtual ~ProfileSink() = default;
    virtual void set_clock_hz(std::uint64_t clock_hz) = 0;
    /// A tile starts; it holds at most about `sample_bound` samples.
    virtual void begin_tile(std::size_t sample_bound) = 0;
    /// The tile's number, which may come before or after its samples.
    virtual void set_physical_tile(std::uint32_t physical_tile) = 0;
    virtual void add_sample(const SampleFields& sample) = 0;
    virtual void end_tile() = 0;

    /// An empty sink of the same kind, to take a run of tiles read on another thread, with room
    /// for about `sample_bound` samples; nullptr when this sink takes its tiles one by one only.
    /// It is called on other threads, also while `append_piece` runs, so it reads nothing of
    /// this sink's state.
    virtual std::unique_ptr<ProfileSink> make_piece(std::size_t /*sample_bound*/) {
        return nullptr;
    }
    /// Takes the tiles of `piece` (made by `make_piece`) after the tiles so far, as if they had
    /// been handed to this sink.
    virtual void append_piece(ProfileSink& /*piece*/) {}
};

}  // namespace vorn_package::json

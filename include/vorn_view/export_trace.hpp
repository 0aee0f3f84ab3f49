// `vorn-profile export`: a profile as a timeline for the trace viewers. One track per physical
// tile, ordered by tile number, with extra lanes under it where its steps overlap; one slice per
// selected step; counter tracks of the tiles active at once, in total and per kind.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include "vorn_view/timeline.hpp"

namespace vorn_view {

struct ExportOptions {
    vorn_profile::Query query;  ///< only its filters are used
    Window window;
    std::string source;  ///< the profile's path, written into the trace's description
};

/// What a trace says about itself before its tracks.
struct TraceHeader {
    std::uint64_t clock_hz = 0;
    std::string title;      ///< the name of the top track or process
    std::string source;     ///< profile path
    std::string time_note;  ///< how cycles became nanoseconds
    Window window;
};

/// Receives the trace piece by piece, tile after tile, and writes it out as it comes.
class TraceSink {
public:
    virtual ~TraceSink() = default;
    virtual void begin(const TraceHeader& header) = 0;
    /// One physical tile: its place among the tiles, the lanes its slices need and its slices
    /// (nanoseconds, sorted by start; each with its lane).
    virtual void tile(std::uint32_t physical, std::uint32_t rank, std::uint32_t lanes,
                      std::span<const LaneSlice> slices) = 0;
    /// The tiles active over time, after the last tile.
    virtual void counters(const ActivityBuckets& activity) = 0;
    virtual void end() = 0;
};

/// Walks the profile once, physical tile by physical tile, and feeds `sink`. Memory beyond
/// the profile is that of the largest tile and the fixed counter buckets.
void export_trace(const vorn_package::ProfileColumns& columns, const ExportOptions& options,
                  TraceSink& sink);

/// Writes the Perfetto protobuf trace to `out`.
void write_perfetto(std::ostream& out, const vorn_package::ProfileColumns& columns,
                    const ExportOptions& options);

/// Writes the Trace Event Format JSON to `out`.
void write_chrome_json(std::ostream& out, const vorn_package::ProfileColumns& columns,
                       const ExportOptions& options);

/// The counter track names: "tiles active" for the total, "tiles active: <kind>" per kind.
std::string counter_name(std::size_t kind_index);

}  // namespace vorn_view

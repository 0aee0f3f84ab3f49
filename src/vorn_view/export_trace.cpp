#include "vorn_view/export_trace.hpp"

#include <vector>

namespace vorn_view {

namespace {

// Fine enough to see every superstep of a long run, coarse enough to keep the counter tracks
// small; a profile shorter than this gets one bucket per cycle, which is exact.
constexpr std::uint64_t kCounterBuckets = 16384;

TraceHeader header_of(const vorn_package::ProfileColumns& columns, const ExportOptions& options) {
    TraceHeader header;
    header.clock_hz = columns.clock_hz;
    header.source = options.source;
    header.window = options.window;
    if (columns.clock_hz == 0) {
        header.title = "vorn profile: clock unknown, 1 cycle shown as 1 ns";
        header.time_note = "clock_hz is 0: one cycle is written as one nanosecond";
    } else {
        header.title = "vorn profile: clock " + std::to_string(columns.clock_hz) + " Hz";
        header.time_note = "cycles converted to nanoseconds at " +
                           std::to_string(columns.clock_hz) + " Hz, rounded to the nearest";
    }
    return header;
}

}  // namespace

std::string counter_name(std::size_t kind_index) {
    if (kind_index >= kKindCount) {
        return "tiles active";
    }
    return "tiles active: " + std::string(kind_text(kKinds[kind_index]));
}

void export_trace(const vorn_package::ProfileColumns& columns, const ExportOptions& options,
                  TraceSink& sink) {
    sink.begin(header_of(columns, options));
    const SampleFilter filter(columns, options.query);
    const std::uint64_t span = profile_span(columns);
    // Each kind's counter track is the tiles running that kind, whatever else they run.
    ActivityBuckets activity(options.window.from, std::min(options.window.to, span),
                             kCounterBuckets, KindCounting::EveryKind);
    std::vector<TimedSample> samples;
    std::vector<LaneSlice> slices;
    std::uint32_t rank = 0;
    for (const PhysicalTile& tile : physical_tiles(columns)) {
        if (!filter.keeps_tile(tile.physical)) {
            continue;
        }
        select_samples(columns, filter, options.window, tile, samples);
        activity.add_tile(columns, samples);
        slices.clear();
        for (const TimedSample& sample : samples) {
            slices.push_back({sample.sample, cycles_to_ns(sample.start, columns.clock_hz),
                              cycles_to_ns(sample.end, columns.clock_hz), 0});
        }
        const std::uint32_t lanes = assign_lanes(slices);
        sink.tile(tile.physical, rank++, lanes, slices);
    }
    activity.finish();
    sink.counters(activity);
    sink.end();
}

}  // namespace vorn_view

// Inline SVG charts for the report page, written as text: a horizontal bar chart and a stacked
// chart over time, each with labelled axes (cycles, and milliseconds by the clock) and a legend.
// Every chart is an <svg class="chart"> whose axes are <g class="axis ..."> and whose data marks
// carry class "mark", so that a test can check the structure of any chart alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vorn_view/text_format.hpp"
#include "vorn_view/timeline.hpp"

namespace vorn_view {

/// `text` with &, <, >, " and ' escaped for HTML text and attribute values.
std::string html_escape(std::string_view text);

/// An integer with thousands separators: 1,234,567.
std::string grouped(std::uint64_t value);

/// A short figure for axes: 950, 1.5k, 12k, 3.4M, 1.2G.
std::string compact(double value);

/// Milliseconds for a cycle count, "0.512 ms"; empty when the clock is unknown (0).
std::string ms_text(double cycles, std::uint64_t clock_hz);

/// "1,234 cycles · 0.512 ms"; without the milliseconds when the clock is unknown.
std::string with_ms(std::uint64_t cycles, std::uint64_t clock_hz);

/// Round tick values from 0 to at least `maximum`, about `target` of them.
std::vector<double> nice_ticks(double maximum, int target);

/// The colour of a step kind (index into `kKinds`).
std::string_view kind_color(std::size_t kind_index);

/// A colour for a fraction in [0, 1] on a light-to-dark sequential scale.
std::string busy_color(double fraction);

struct Bar {
    std::string label;
    std::uint64_t value = 0;
    std::string color;
    std::string tip;  ///< shown on hover
};

/// Horizontal bars of cycle counts, largest first as given, with a cycles axis and a
/// milliseconds axis below it.
std::string bar_chart(std::string_view id, std::string_view value_title,
                      const std::vector<Bar>& bars, std::uint64_t clock_hz, int width);

/// The mean tiles active per bucket, stacked by kind, over the buckets' time range.
std::string activity_chart(std::string_view id, const ActivityBuckets& activity,
                           std::uint64_t clock_hz, int width, int height);

}  // namespace vorn_view

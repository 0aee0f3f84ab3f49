#include "vorn_view/svg_chart.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "vorn_profile/query.hpp"

namespace vorn_view {
namespace {

constexpr int kLabelWidth = 190;  // bar labels, left of the bars
constexpr int kAxisLeft = 56;     // room for the y tick labels of the activity chart
constexpr int kRightMargin = 24;

/// A coordinate with one decimal, which is as fine as a screen needs.
std::string coordinate(double value) { return fixed(std::round(value * 10) / 10, 1); }

std::string axis_title(std::string_view text, double x, double y, std::string_view anchor) {
    return "<text class=\"axis-title\" x=\"" + coordinate(x) + "\" y=\"" + coordinate(y) +
           "\" text-anchor=\"" + std::string(anchor) + "\">" + html_escape(text) + "</text>";
}

/// A horizontal axis at `y` from `x0` to `x1` for values [0, maximum], with cycle figures and,
/// when the clock is known, milliseconds under them. A label centred on a tick near `x1` would
/// reach past the chart's right margin: those end at their tick instead.
std::string cycles_axis(double x0, double x1, double y, double minimum, double maximum,
                        const std::vector<double>& ticks, std::uint64_t clock_hz) {
    constexpr double kHalfLabel = 36;  // half of the widest label, "0.075 ms" or "4.29G"
    std::string svg = "<g class=\"axis x-axis\"><line class=\"domain\" x1=\"" + coordinate(x0) +
                      "\" y1=\"" + coordinate(y) + "\" x2=\"" + coordinate(x1) + "\" y2=\"" +
                      coordinate(y) + "\"/>";
    for (const double tick : ticks) {
        if (tick < minimum || tick > maximum) {
            continue;
        }
        const double x = x0 + (x1 - x0) * (tick - minimum) / std::max(maximum - minimum, 1.0);
        svg += "<line class=\"tick\" x1=\"" + coordinate(x) + "\" y1=\"" + coordinate(y) +
               "\" x2=\"" + coordinate(x) + "\" y2=\"" + coordinate(y + 5) + "\"/>";
        const std::string anchor = x1 - x < kHalfLabel ? "end" : "middle";
        svg += "<text class=\"tick-label\" x=\"" + coordinate(x) + "\" y=\"" + coordinate(y + 18) +
               "\" text-anchor=\"" + anchor + "\">" + compact(tick) + "</text>";
        const std::string ms = ms_text(tick, clock_hz);
        if (!ms.empty()) {
            svg += "<text class=\"tick-label ms\" x=\"" + coordinate(x) + "\" y=\"" +
                   coordinate(y + 32) + "\" text-anchor=\"" + anchor + "\">" + ms + "</text>";
        }
    }
    return svg + "</g>";
}

}  // namespace

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string grouped(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, 1, ',');
    }
    return digits;
}

std::string compact(double value) {
    struct Scale {
        double factor;
        const char* suffix;
    };
    constexpr Scale kScales[] = {{1e9, "G"}, {1e6, "M"}, {1e3, "k"}};
    for (const Scale& scale : kScales) {
        if (std::abs(value) >= scale.factor) {
            const double scaled = value / scale.factor;
            const int decimals = std::abs(scaled) >= 100 || scaled == std::round(scaled) ? 0 : 1;
            return fixed(scaled, decimals) + scale.suffix;
        }
    }
    return fixed(value, value == std::round(value) ? 0 : 1);
}

std::string ms_text(double cycles, std::uint64_t clock_hz) {
    if (clock_hz == 0) {
        return "";
    }
    const double ms = vorn_profile::cycles_to_ms(static_cast<std::uint64_t>(cycles), clock_hz);
    const int decimals = ms == 0 ? 0 : ms >= 100 ? 0 : ms >= 10 ? 1 : ms >= 1 ? 2 : 3;
    return fixed(ms, decimals) + " ms";
}

std::string with_ms(std::uint64_t cycles, std::uint64_t clock_hz) {
    const std::string ms = ms_text(static_cast<double>(cycles), clock_hz);
    return grouped(cycles) + " cycles" + (ms.empty() ? "" : " \u00b7 " + ms);
}

std::vector<double> nice_ticks(double maximum, int target) {
    if (maximum <= 0) {
        return {0.0, 1.0};
    }
    const double rough = maximum / std::max(target, 1);
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    for (const double factor : {1.0, 2.0, 2.5, 5.0, 10.0}) {
        step = factor * power;
        if (step >= rough) {
            break;
        }
    }
    // Cycles are whole numbers: no tick between them.
    step = std::max(step, 1.0);
    std::vector<double> ticks;
    for (double tick = 0; tick < maximum + step; tick += step) {
        ticks.push_back(tick);
        if (tick >= maximum) {
            break;
        }
    }
    return ticks;
}

std::string_view kind_color(std::size_t kind_index) {
    // compute, exchange, synchronization, idle
    constexpr std::array<std::string_view, kKindCount> kColors = {"#4e79a7", "#f28e2b", "#e15759",
                                                                  "#bab0ac"};
    return kind_index < kColors.size() ? kColors[kind_index] : "#76b7b2";
}

std::string busy_color(double fraction) {
    // Light yellow through teal to deep blue: darker is busier.
    struct Stop {
        double at;
        int r, g, b;
    };
    constexpr Stop kStops[] = {{0.0, 255, 255, 217},
                               {0.25, 199, 233, 180},
                               {0.5, 65, 182, 196},
                               {0.75, 34, 94, 168},
                               {1.0, 8, 29, 88}};
    fraction = std::clamp(fraction, 0.0, 1.0);
    std::size_t i = 1;
    while (i + 1 < std::size(kStops) && kStops[i].at < fraction) {
        ++i;
    }
    const Stop& low = kStops[i - 1];
    const Stop& high = kStops[i];
    const double t = (fraction - low.at) / (high.at - low.at);
    const auto mix = [&](int a, int b) { return static_cast<int>(std::lround(a + (b - a) * t)); };
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", mix(low.r, high.r), mix(low.g, high.g),
                  mix(low.b, high.b));
    return text;
}

std::string bar_chart(std::string_view id, std::string_view value_title,
                      const std::vector<Bar>& bars, std::uint64_t clock_hz, int width) {
    constexpr int kRow = 26;
    constexpr int kTop = 8;
    const int plot_left = kLabelWidth;
    const int plot_right = width - kRightMargin - 110;  // room for the value beside a bar
    const int axis_y = kTop + kRow * static_cast<int>(bars.size()) + 4;
    const int height = axis_y + (clock_hz == 0 ? 40 : 56);
    std::uint64_t maximum = 0;
    for (const Bar& bar : bars) {
        maximum = std::max(maximum, bar.value);
    }
    const std::vector<double> ticks = nice_ticks(static_cast<double>(maximum), 6);
    const double top = ticks.back();
    const auto x_of = [&](double value) {
        return plot_left + (plot_right - plot_left) * value / std::max(top, 1.0);
    };

    std::string svg = "<svg class=\"chart bar-chart\" id=\"" + std::string(id) +
                      "\" role=\"img\" width=\"" + std::to_string(width) + "\" height=\"" +
                      std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "\">";
    // Grid lines first, under the bars.
    svg += "<g class=\"grid\">";
    for (const double tick : ticks) {
        svg += "<line x1=\"" + coordinate(x_of(tick)) + "\" y1=\"" + std::to_string(kTop) +
               "\" x2=\"" + coordinate(x_of(tick)) + "\" y2=\"" + std::to_string(axis_y) + "\"/>";
    }
    svg += "</g><g class=\"axis y-axis\"><line class=\"domain\" x1=\"" + std::to_string(plot_left) +
           "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" + std::to_string(plot_left) + "\" y2=\"" +
           std::to_string(axis_y) + "\"/>";
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const int y = kTop + kRow * static_cast<int>(i);
        svg += "<text class=\"tick-label\" x=\"" + std::to_string(plot_left - 8) + "\" y=\"" +
               std::to_string(y + 17) + "\" text-anchor=\"end\">" + html_escape(bars[i].label) +
               "</text>";
    }
    svg += "</g>";
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const Bar& bar = bars[i];
        const int y = kTop + kRow * static_cast<int>(i);
        const double x1 = x_of(static_cast<double>(bar.value));
        svg += "<rect class=\"mark bar\" x=\"" + std::to_string(plot_left) + "\" y=\"" +
               std::to_string(y + 4) + "\" width=\"" +
               coordinate(std::max(x1 - plot_left, bar.value > 0 ? 1.0 : 0.0)) + "\" height=\"" +
               std::to_string(kRow - 8) + "\" fill=\"" + bar.color + "\"><title>" +
               html_escape(bar.tip) + "</title></rect>";
        std::string value = compact(static_cast<double>(bar.value));
        const std::string ms = ms_text(static_cast<double>(bar.value), clock_hz);
        if (!ms.empty()) {
            value += " \u00b7 " + ms;
        }
        svg += "<text class=\"value-label\" x=\"" + coordinate(x1 + 6) + "\" y=\"" +
               std::to_string(y + 17) + "\">" + value + "</text>";
    }
    svg += cycles_axis(plot_left, plot_right, axis_y, 0, top, ticks, clock_hz);
    svg += axis_title(std::string(value_title) +
                          (clock_hz == 0 ? " (cycles; clock unknown)" : " (cycles, and ms below)"),
                      (plot_left + plot_right) / 2.0, height - 4, "middle");
    return svg + "</svg>";
}

std::string activity_chart(std::string_view id, const ActivityBuckets& activity,
                           std::uint64_t clock_hz, int width, int height) {
    constexpr int kTop = 34;  // the legend sits above the plot
    const int bottom_room = clock_hz == 0 ? 44 : 58;
    const double x0 = kAxisLeft;
    const double x1 = width - kRightMargin;
    const double y1 = height - bottom_room;
    double maximum = 0;
    for (std::uint64_t b = 0; b < activity.count(); ++b) {
        double sum = 0;
        for (std::size_t k = 0; k < kKindCount; ++k) {
            sum += activity.mean_active(k, b);
        }
        maximum = std::max(maximum, sum);
    }
    const std::vector<double> y_ticks = nice_ticks(std::max(maximum, 1.0), 7);
    const double y_top = y_ticks.back();
    const auto y_of = [&](double value) { return y1 - (y1 - kTop) * value / y_top; };
    const double begin = static_cast<double>(activity.begin());
    const double end = static_cast<double>(std::max(activity.end(), activity.begin() + 1));
    const auto x_of = [&](double cycles) {
        return x0 + (x1 - x0) * (cycles - begin) / (end - begin);
    };

    std::string svg = "<svg class=\"chart activity-chart\" id=\"" + std::string(id) +
                      "\" data-x0=\"" + coordinate(x0) + "\" data-x1=\"" + coordinate(x1) +
                      "\" role=\"img\" width=\"" + std::to_string(width) + "\" height=\"" +
                      std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                      std::to_string(height) + "\">";
    svg += "<g class=\"grid\">";
    for (const double tick : y_ticks) {
        svg += "<line x1=\"" + coordinate(x0) + "\" y1=\"" + coordinate(y_of(tick)) + "\" x2=\"" +
               coordinate(x1) + "\" y2=\"" + coordinate(y_of(tick)) + "\"/>";
    }
    svg += "</g>";
    // One band per kind, stacked in the order of the legend; each a step line over the buckets.
    std::vector<double> below(activity.count(), 0.0);
    for (std::size_t k = 0; k < kKindCount; ++k) {
        std::string upper;
        std::vector<std::string> lower;  // the band's lower edge, drawn back from the end
        bool any = false;
        for (std::uint64_t b = 0; b < activity.count(); ++b) {
            const double value = activity.mean_active(k, b);
            any = any || value > 0;
            const double start = static_cast<double>(activity.bucket_start(b));
            const double stop = start + static_cast<double>(activity.bucket_length(b));
            // Appended piece by piece: g++ 12 misreads sums of these strings as overlapping
            // copies.
            const std::string ya = coordinate(y_of(below[b] + value));
            const std::string yb = coordinate(y_of(below[b]));
            const std::string xa = coordinate(x_of(start));
            const std::string xb = coordinate(x_of(stop));
            upper += b == 0 ? 'M' : 'L';
            upper.append(xa).append(1, ',').append(ya).append(1, 'L');
            upper.append(xb).append(1, ',').append(ya);
            std::string& back = lower.emplace_back("L");
            back.append(xb).append(1, ',').append(yb).append(1, 'L');
            back.append(xa).append(1, ',').append(yb);
            below[b] += value;
        }
        if (!any) {
            continue;
        }
        for (auto point = lower.rbegin(); point != lower.rend(); ++point) {
            upper += *point;
        }
        svg += "<path class=\"mark area\" data-kind=\"" + std::string(kind_text(kKinds[k])) +
               "\" fill=\"" + std::string(kind_color(k)) + "\" d=\"" + upper + "Z\"><title>" +
               std::string(kind_text(kKinds[k])) + "</title></path>";
    }
    // Axes over the bands.
    svg += "<g class=\"axis y-axis\"><line class=\"domain\" x1=\"" + coordinate(x0) + "\" y1=\"" +
           coordinate(kTop) + "\" x2=\"" + coordinate(x0) + "\" y2=\"" + coordinate(y1) + "\"/>";
    for (const double tick : y_ticks) {
        svg += "<text class=\"tick-label\" x=\"" + coordinate(x0 - 8) + "\" y=\"" +
               coordinate(y_of(tick) + 4) + "\" text-anchor=\"end\">" + compact(tick) + "</text>";
    }
    svg += "<text class=\"axis-title\" transform=\"translate(14," + coordinate((kTop + y1) / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">tiles active (mean per bucket)</text></g>";
    const std::vector<double> x_ticks = nice_ticks(end - begin, 8);
    std::vector<double> shifted;
    for (const double tick : x_ticks) {
        shifted.push_back(begin + tick);
    }
    svg += cycles_axis(x0, x1, y1, begin, end, shifted, clock_hz);
    svg += axis_title("time on each tile's own time line: cycles" +
                          std::string(clock_hz == 0 ? " (clock unknown)" : ", and ms below") +
                          "; buckets of " + grouped(activity.width()) + " cycles",
                      (x0 + x1) / 2, height - 4, "middle");
    // Legend, above the plot.
    svg += "<g class=\"legend\">";
    double x = x0;
    for (std::size_t k = 0; k < kKindCount; ++k) {
        const std::string name(kind_text(kKinds[k]));
        svg += "<rect x=\"" + coordinate(x) + "\" y=\"8\" width=\"14\" height=\"14\" fill=\"" +
               std::string(kind_color(k)) + "\"/><text x=\"" + coordinate(x + 20) + "\" y=\"20\">" +
               name + "</text>";
        x += 40 + 8.0 * static_cast<double>(name.size());
    }
    svg += "</g>";
    // A hover line and read-out, driven by the page's script.
    svg += "<line class=\"hover-line\" x1=\"0\" y1=\"" + coordinate(kTop) + "\" x2=\"0\" y2=\"" +
           coordinate(y1) + "\" visibility=\"hidden\"/>";
    return svg + "</svg>";
}

}  // namespace vorn_view

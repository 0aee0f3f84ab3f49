#include "vorn_view/report_page.hpp"

#include <algorithm>
#include <cmath>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "vorn_view/report_supersteps.hpp"
#include "vorn_view/report_tile_map.hpp"
#include "vorn_view/svg_chart.hpp"
#include "vorn_view/timeline.hpp"

namespace vorn_view {
namespace {

constexpr int kPageWidth = 1160;  // content width; the page reads well at 1280 px
constexpr std::uint64_t kTopKernels = 12;
constexpr std::size_t kSuperstepRows = 10;

/// "3", "1-5,9": a set of numbers as the ranges that `--tile` and `--phase` accept.
std::string ranges(const std::set<std::uint32_t>& numbers) {
    std::string text;
    auto it = numbers.begin();
    while (it != numbers.end()) {
        const std::uint32_t first = *it;
        std::uint32_t last = first;
        for (++it; it != numbers.end() && *it == last + 1; ++it) {
            last = *it;
        }
        text += text.empty() ? "" : ",";
        text += std::to_string(first);
        if (last != first) {
            text += '-';
            text += std::to_string(last);
        }
    }
    return text;
}

std::string_view step_kind_text(vorn_profile::StepKind kind) {
    constexpr std::string_view kNames[] = {"exchange", "compute", "synchronization", "idle"};
    return kNames[static_cast<int>(kind)];
}

/// The filters of the query as the options that give them; "none" without any.
std::string describe_filters(const vorn_profile::Query& query) {
    std::vector<std::string> parts;
    if (query.kind) {
        parts.push_back("--kind " + std::string(step_kind_text(*query.kind)));
    }
    if (query.kernel) {
        parts.push_back("--kernel '" + *query.kernel + "'");
    }
    if (query.operation_contains) {
        parts.push_back("--operation-contains '" + *query.operation_contains + "'");
    }
    if (!query.tiles.empty()) {
        parts.push_back("--tile " + ranges(query.tiles));
    }
    if (!query.phases.empty()) {
        parts.push_back("--phase " + ranges(query.phases));
    }
    for (const vorn_profile::MetadataFilter& filter : query.metadata) {
        parts.push_back("--metadata '" + filter.name + (filter.value ? "=" + *filter.value : "") +
                        "'");
    }
    if (query.at_offset) {
        parts.push_back("--at-offset " + std::to_string(*query.at_offset));
    }
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : " ") + part;
    }
    return text.empty() ? "none" : text;
}

/// What the kernels table holds: the query asks for the top `kTopKernels`, and fewer come back
/// only when that is every kernel the filters select.
std::string kernels_caption(std::size_t shown) {
    if (shown == 0) {
        return "No kernel: no step matches the filters.";
    }
    if (shown == 1) {
        return "The one kernel, with the phase cycles it covers.";
    }
    if (shown < kTopKernels) {
        return "All " + std::to_string(shown) + " kernels, by the phase cycles they cover.";
    }
    return "The " + std::to_string(shown) + " kernels that cover the most phase cycles.";
}

std::string display_name(const std::string& name) { return name.empty() ? "(no kernel)" : name; }

std::string card(std::string_view title, const std::string& value, const std::string& note) {
    return "<div class=\"card\"><div class=\"card-title\">" + std::string(title) +
           "</div><div class=\"card-value\">" + value + "</div><div class=\"card-note\">" + note +
           "</div></div>";
}

/// A table of group summaries, the columns a reader compares; milliseconds only with a clock.
std::string group_table(const vorn_profile::QueryReport& report, std::string_view first_title) {
    const bool ms = report.clock_hz != 0;
    std::string html = "<table class=\"groups\"><thead><tr><th>" + std::string(first_title) +
                       "</th><th>samples</th><th>tiles</th><th>phase occurrences</th>"
                       "<th>phase cycles</th>" +
                       std::string(ms ? "<th>phase ms</th>" : "") +
                       "<th>work cycles</th><th>avg active tiles</th><th>mean cycles</th>"
                       "<th>p95 cycles</th><th>max cycles</th></tr></thead><tbody>";
    for (const vorn_profile::GroupSummary& group : report.groups) {
        html += "<tr><td class=\"name\">" + html_escape(display_name(group.name)) + "</td><td>" +
                grouped(group.sample_count) + "</td><td>" + grouped(group.tile_count) +
                "</td><td>" + grouped(group.phase_count) + "</td><td>" +
                grouped(group.phase_cycles) + "</td><td>" +
                (ms ? fixed(group.phase_ms, 3) + "</td><td>" : "") + grouped(group.work_cycles) +
                "</td><td>" + fixed(group.average_active_tiles, 2) + "</td><td>" +
                fixed(group.mean_cycles, 1) + "</td><td>" + grouped(group.p95_cycles) +
                "</td><td>" + grouped(group.maximum_cycles) + "</td></tr>";
    }
    if (report.groups.empty()) {
        html += "<tr><td colspan=\"" + std::string(ms ? "11" : "10") +
                "\">no step matches the filters</td></tr>";
    }
    return html + "</tbody></table>";
}

std::vector<Bar> group_bars(const vorn_profile::QueryReport& report, bool by_kind) {
    std::vector<Bar> bars;
    for (const vorn_profile::GroupSummary& group : report.groups) {
        Bar bar;
        bar.label = display_name(group.name);
        bar.value = group.phase_cycles;
        bar.color = "#4e79a7";
        if (by_kind) {
            for (std::size_t k = 0; k < kKindCount; ++k) {
                if (kind_text(kKinds[k]) == group.name) {
                    bar.color = std::string(kind_color(k));
                }
            }
        }
        bar.tip = bar.label + ": " + with_ms(group.phase_cycles, report.clock_hz) +
                  " of phase cycles over " + grouped(group.sample_count) + " samples on " +
                  grouped(group.tile_count) + " tiles";
        bars.push_back(std::move(bar));
    }
    return bars;
}

constexpr std::string_view kStyle = R"css(
body{font-family:"DejaVu Sans",system-ui,sans-serif;color:#222;margin:0;background:#fafafa}
main{max-width:1160px;margin:0 auto;padding:20px 24px 40px;background:#fff}
h1{font-size:24px;margin:8px 0 4px}h3{font-size:15px;margin:18px 0 2px}h2{font-size:19px;margin:32px 0 6px;border-bottom:1px solid #ddd;padding-bottom:4px}
p.lead{color:#555;margin:0 0 14px;font-size:14px}p.note{color:#555;font-size:13px;margin:4px 0 10px}
.cards{display:grid;grid-template-columns:repeat(5,1fr);gap:10px}
.card{border:1px solid #ddd;border-radius:6px;padding:10px 12px;background:#fcfcfc}
.card-title{font-size:12px;color:#666;text-transform:uppercase;letter-spacing:.04em}
.card-value{font-size:20px;margin:4px 0 2px}.card-note{font-size:12px;color:#666}
table.groups{border-collapse:collapse;font-size:13px;width:100%;margin-top:8px}
table.groups th,table.groups td{padding:4px 8px;border-bottom:1px solid #eee;text-align:right;white-space:nowrap}
table.groups th{background:#f2f2f2;font-weight:600}table.groups td.name,table.groups th:first-child{text-align:left}
svg.chart{display:block;font-size:12px;margin-top:6px}
svg.chart .domain,svg.chart .tick{stroke:#444;stroke-width:1}
svg.chart .grid line{stroke:#e6e6e6}svg.chart .tick-label{fill:#333}svg.chart .tick-label.ms{fill:#888}
svg.chart .axis-title{fill:#333;font-size:12px}svg.chart .value-label{fill:#333;font-size:11px}
svg.chart rect.tile:hover{stroke:#000;stroke-width:2}svg.chart rect.straggler{fill:none;stroke:#d62728;stroke-width:2.5;pointer-events:none}svg.chart .hover-line{stroke:#000;stroke-dasharray:3 3}
#tile-info,#activity-info{font-size:13px;min-height:1.4em;color:#333;background:#f4f6f8;border-radius:4px;padding:4px 8px;margin-top:4px}
footer{font-size:12px;color:#777;margin-top:30px}
)css";

// Hover read-outs for the tile map and the activity chart; the page works without them.
constexpr std::string_view kScript = R"js(
(function () {
  var data = JSON.parse(document.getElementById("report-data").textContent);
  var kinds = ["compute", "exchange", "synchronization", "idle"];
  function group(n) { return String(Math.round(n)).replace(/\B(?=(\d{3})+(?!\d))/g, ","); }
  function ms(cycles) { return data.clock_hz > 0 ? " (" + (cycles * 1000 / data.clock_hz).toFixed(3) + " ms)" : ""; }
  var info = document.getElementById("tile-info");
  document.querySelectorAll("#tile-map rect.tile").forEach(function (cell) {
    cell.addEventListener("mouseenter", function () {
      var d = cell.dataset;
      if (d.selected !== "1") { info.textContent = "tile " + d.tile + ": not selected by --tile"; return; }
      var text = "tile " + d.tile + ": busy " + (100 * Number(d.busy)).toFixed(1) + "% of " + data.range;
      kinds.forEach(function (k) { text += " \u00b7 " + k + " " + group(Number(d[k])) + " cycles" + ms(Number(d[k])); });
      text += " \u00b7 " + group(Number(d.samples)) + " steps";
      if (Number(d.straggler) > 0) {
        text += " \u00b7 the busiest tile of " + group(Number(d.straggler)) + (d.straggler === "1" ? " superstep, " : " supersteps, ") + group(Number(d.lost)) + " tile-cycles lost waiting for it";
      }
      info.textContent = text;
    });
  });
  var chart = document.getElementById("activity");
  var line = chart.querySelector(".hover-line");
  var readout = document.getElementById("activity-info");
  chart.addEventListener("mousemove", function (event) {
    var box = chart.getBoundingClientRect();
    var x = (event.clientX - box.left) * chart.viewBox.baseVal.width / box.width;
    var a = data.activity;
    var x0 = Number(chart.dataset.x0), x1 = Number(chart.dataset.x1);
    if (x < x0 || x > x1 || a.count === 0) { line.setAttribute("visibility", "hidden"); return; }
    var cycle = a.begin + (x - x0) / (x1 - x0) * (a.end - a.begin);
    var b = Math.min(a.count - 1, Math.floor((cycle - a.begin) / a.width));
    line.setAttribute("x1", x); line.setAttribute("x2", x); line.setAttribute("visibility", "visible");
    var text = "cycles " + group(a.begin + b * a.width) + "\u2013" + group(Math.min(a.end, a.begin + (b + 1) * a.width)) + ms(a.begin + b * a.width) + ":";
    kinds.forEach(function (k, i) { text += " " + k + " " + a.series[i][b].toFixed(1); });
    readout.textContent = text + " tiles";
  });
  document.body.dataset.status = "ready";
})();
)js";

}  // namespace

void write_report_page(std::ostream& out, const vorn_package::ProfileColumns& columns,
                       const ReportOptions& options) {
    vorn_profile::Query by_kernel = options.query;
    by_kernel.group_by = vorn_profile::GroupBy::Kernel;
    by_kernel.sort_by = vorn_profile::SortBy::PhaseCycles;
    by_kernel.limit = kTopKernels;
    by_kernel.sample_limit = 0;
    vorn_profile::Query by_kind = by_kernel;
    by_kind.group_by = vorn_profile::GroupBy::Kind;
    by_kind.limit.reset();
    // Without a window the tables are the plain query's, as `vorn-profile query` prints them.
    const auto run = [&](const vorn_profile::Query& query) {
        return options.window ? vorn_profile::query_window(columns, query, *options.window).report
                              : vorn_profile::query(columns, query);
    };
    const vorn_profile::QueryReport kernels = run(by_kernel);
    const vorn_profile::QueryReport kinds = run(by_kind);
    const Window window = options.window.value_or(Window{});
    const vorn_profile::SuperstepReport steps =
        vorn_profile::supersteps(columns, options.query, window);
    const std::set<std::uint32_t> marked = listed_stragglers(steps, kSuperstepRows);
    const std::uint64_t clock_hz = columns.clock_hz;

    // The pictures show the part of the span inside the window.
    const std::uint64_t span = kernels.profile_span_cycles;
    const std::uint64_t range_begin = std::min(window.from, span);
    const std::uint64_t range_end = std::max(range_begin, std::min(window.to, span));
    const std::uint64_t range_length = range_end - range_begin;
    constexpr int kActivityWidth = kPageWidth;
    // Stacked by kind, a tile counts once, under the first kind it runs, so that the stack is
    // the number of tiles active.
    ActivityBuckets activity(range_begin, range_end, kActivityWidth - 80, KindCounting::FirstKind);
    // A long run has more supersteps than the chart has pixels: the first twentieth of the
    // span again, close up, shows them one by one. A window is a close-up of its own.
    ActivityBuckets close_up(range_begin, range_begin + range_length / 20, kActivityWidth - 80,
                             KindCounting::FirstKind);

    // One pass over the tiles for the map and the activity chart.
    const SampleFilter filter(columns, options.query);
    std::vector<TileFigures> tiles;
    std::vector<TimedSample> samples;
    std::uint64_t busy_total = 0;
    for (const PhysicalTile& tile : physical_tiles(columns)) {
        select_samples(columns, filter, window, tile, samples);
        TileFigures figures{tile.physical, filter.keeps_tile(tile.physical),
                            activity.add_tile(columns, samples)};
        close_up.add_tile(columns, samples);
        busy_total += figures.cycles.busy;
        figures.marked = marked.contains(tile.physical);
        tiles.push_back(figures);
    }
    activity.finish();
    close_up.finish();
    // The straggler figures of every tile, for the map's hover text.
    for (const vorn_profile::StragglerTile& straggler : steps.tiles) {
        const auto at = std::lower_bound(tiles.begin(), tiles.end(), straggler.physical_tile,
                                         [](const TileFigures& tile, std::uint32_t physical) {
                                             return tile.physical < physical;
                                         });
        if (at != tiles.end() && at->physical == straggler.physical_tile) {
            at->straggler_count = straggler.straggler_count;
            at->lost_cycles_caused = straggler.lost_cycles_caused;
        }
    }

    std::string title = options.source == "-" ? "standard input" : options.source;
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><meta "
        "name=\"viewport\" content=\"width=device-width\"><title>vorn-profile report: " +
        html_escape(title) + "</title><style>" + std::string(kStyle) + "</style></head><body>";
    const std::size_t slash = title.find_last_of('/');
    const std::string file_name = slash == std::string::npos ? title : title.substr(slash + 1);
    html += "<main><h1>Profile report: " + html_escape(file_name) + "</h1>";
    html += "<p class=\"lead\">Filters: <code>" + html_escape(describe_filters(options.query)) +
            "</code>. ";
    if (options.window) {
        html += "Window: cycles " + grouped(window.from) + " to " +
                (window.to == UINT64_MAX ? std::string("the end") : grouped(window.to)) +
                " (<code>--from " + std::to_string(window.from) +
                (window.to == UINT64_MAX ? "" : " --to " + std::to_string(window.to)) +
                "</code>); every figure counts the part of each step inside it. ";
    }
    html +=
        "Cycles are on each tile's own time line, which starts at its first "
        "step.</p>";

    // Totals.
    const double mean_busy =
        tiles.empty() || range_length == 0
            ? 0.0
            : static_cast<double>(busy_total) / (static_cast<double>(range_length) * tiles.size());
    const std::string range_name = options.window ? "the window" : "the span";
    html += "<div class=\"cards\">";
    html += card("Tiles", grouped(tiles.size()), grouped(kernels.tile_count) + " tile records");
    html += card("Samples", grouped(kernels.matched_sample_count),
                 "matched, of " + grouped(kernels.sample_count));
    html += card("Profile span", grouped(span) + " cycles",
                 clock_hz == 0 ? "clock unknown" : ms_text(static_cast<double>(span), clock_hz));
    html += card("Busy", fixed(mean_busy * 100, 1) + "%",
                 "exchange + compute cycles over " + range_name + ", mean of the tiles");
    html += card("Clock", clock_hz == 0 ? "unknown" : grouped(clock_hz) + " Hz",
                 clock_hz == 0 ? "times in cycles only" : "for the ms figures");
    html += "</div>";

    html +=
        "<h2>By kind</h2><p class=\"note\">Phase cycles: per phase occurrence, the cycles "
        "covered by at least one step of the group, summed over the occurrences.</p>";
    html += bar_chart("kinds-chart", "phase cycles", group_bars(kinds, true), clock_hz, kPageWidth);
    html += group_table(kinds, "kind");

    html +=
        "<h2>Top kernels</h2><p class=\"note\">" + kernels_caption(kernels.groups.size()) + "</p>";
    html += bar_chart("kernels-chart", "phase cycles", group_bars(kernels, false), clock_hz,
                      kPageWidth);
    html += group_table(kernels, "kernel");

    html += superstep_section(steps, kSuperstepRows, kPageWidth);

    html +=
        "<h2>Tile map</h2><p class=\"note\">Every physical tile, in tile order, coloured by "
        "its busy fraction: the cycles it ran exchange or compute steps, over " +
        range_name +
        ". Outlined tiles are the stragglers of the supersteps above. Point at a "
        "tile for its figures.</p>";
    html += tile_map(tiles, range_length, clock_hz, range_name, kPageWidth);
    html += "<div id=\"tile-info\">Point at a tile.</div>";

    html +=
        "<h2>Tiles active over time</h2><p class=\"note\">How many tiles run each kind of "
        "step, as a mean over each time bucket of " +
        range_name +
        "; supersteps show as repeating bands of compute, synchronization and exchange. A tile "
        "that runs steps of several kinds at once counts once, under the first of them in the "
        "order of the legend, so the stack is the number of tiles active.</p>";
    html += activity_chart("activity", activity, clock_hz, kActivityWidth, 340);
    html += "<div id=\"activity-info\">Point at the chart.</div>";
    if (!options.window && close_up.count() > 0) {
        html += "<h3>Cycles " + grouped(close_up.begin()) + " to " + grouped(close_up.end()) +
                ", close up</h3>";
        html += activity_chart("activity-close-up", close_up, clock_hz, kActivityWidth, 300);
    }

    // The figures the script reads for its read-outs.
    html += "<script type=\"application/json\" id=\"report-data\">{\"clock_hz\":" +
            std::to_string(clock_hz) + ",\"range\":\"" + range_name + "\"" +
            ",\"activity\":{\"begin\":" + std::to_string(activity.begin()) +
            ",\"end\":" + std::to_string(activity.end()) +
            ",\"width\":" + std::to_string(activity.width()) +
            ",\"count\":" + std::to_string(activity.count()) + ",\"series\":[";
    for (std::size_t k = 0; k < kKindCount; ++k) {
        html += k == 0 ? "[" : ",[";
        for (std::uint64_t b = 0; b < activity.count(); ++b) {
            html += b == 0 ? "" : ",";
            html += fixed(activity.mean_active(k, b), 2);
        }
        html += "]";
    }
    html += "]}}</script>";
    html += "<footer>Written by vorn-profile report from " + html_escape(title) +
            ". A self-contained page: no network needed.</footer></main>";
    html += "<script>" + std::string(kScript) + "</script></body></html>\n";
    out << html;
}

}  // namespace vorn_view

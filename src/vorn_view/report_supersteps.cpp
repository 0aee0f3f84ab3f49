#include "vorn_view/report_supersteps.hpp"

#include <algorithm>

#include "vorn_view/svg_chart.hpp"
#include "vorn_view/text_format.hpp"

namespace vorn_view {
namespace {

std::string occurrence_name(const vorn_profile::SuperstepRow& row) {
    return "epoch " + std::to_string(row.epoch) + ", phase " + std::to_string(row.phase);
}

/// The listed occurrences: the first `rows` that lost any cycles.
std::size_t listed_count(const vorn_profile::SuperstepReport& report, std::size_t rows) {
    std::size_t count = 0;
    while (count < std::min(rows, report.occurrences.size()) &&
           report.occurrences[count].lost_cycles > 0) {
        ++count;
    }
    return count;
}

std::string cell(const std::string& text) { return "<td>" + text + "</td>"; }

/// A milliseconds cell, or nothing when the clock is unknown and the table has no such column.
std::string ms_cell(double ms, std::uint64_t clock_hz) {
    return clock_hz == 0 ? std::string() : cell(fixed(ms, 3));
}

std::string ms_heading(std::string_view title, std::uint64_t clock_hz) {
    return clock_hz == 0 ? std::string() : "<th>" + std::string(title) + "</th>";
}

std::string occurrence_table(const vorn_profile::SuperstepReport& report, std::size_t count) {
    std::string html =
        "<table class=\"groups\" id=\"supersteps-table\"><thead><tr><th>superstep</th>"
        "<th>tiles</th><th>span cycles</th><th>busy cycles</th><th>max busy</th>"
        "<th>mean busy</th><th>imbalance</th><th>straggler</th><th>lost cycles</th>" +
        ms_heading("lost ms", report.clock_hz) + "<th>sync cycles</th></tr></thead><tbody>";
    for (std::size_t i = 0; i < count; ++i) {
        const vorn_profile::SuperstepRow& row = report.occurrences[i];
        html += "<tr><td class=\"name\">" + occurrence_name(row) + "</td>" +
                cell(grouped(row.tiles)) + cell(grouped(row.span_cycles)) +
                cell(grouped(row.busy_cycles)) + cell(grouped(row.max_busy)) +
                cell(fixed(row.mean_busy, 1)) + cell(fixed(row.imbalance, 3)) +
                cell("tile " + std::to_string(row.straggler)) + cell(grouped(row.lost_cycles)) +
                ms_cell(row.lost_ms, report.clock_hz) + cell(grouped(row.sync_cycles)) + "</tr>";
    }
    return html + "</tbody></table>";
}

std::string straggler_table(const vorn_profile::SuperstepReport& report, std::size_t rows) {
    std::string html =
        "<table class=\"groups\" id=\"stragglers-table\"><thead><tr><th>tile</th>"
        "<th>straggler of</th><th>lost cycles caused</th>" +
        ms_heading("lost ms", report.clock_hz) + "<th>busy cycles</th>" +
        ms_heading("busy ms", report.clock_hz) + "</tr></thead><tbody>";
    std::size_t shown = 0;
    for (const vorn_profile::StragglerTile& tile : report.tiles) {
        if (shown == rows || tile.lost_cycles_caused == 0) {
            break;  // the tiles come by lost cycles caused, largest first
        }
        html += "<tr><td class=\"name\">tile " + std::to_string(tile.physical_tile) + "</td>" +
                cell(grouped(tile.straggler_count) +
                     (tile.straggler_count == 1 ? " superstep" : " supersteps")) +
                cell(grouped(tile.lost_cycles_caused)) + ms_cell(tile.lost_ms, report.clock_hz) +
                cell(grouped(tile.busy_cycles)) + ms_cell(tile.busy_ms, report.clock_hz) + "</tr>";
        ++shown;
    }
    return html + "</tbody></table>";
}

}  // namespace

std::set<std::uint32_t> listed_stragglers(const vorn_profile::SuperstepReport& report,
                                          std::size_t rows) {
    std::set<std::uint32_t> tiles;
    const std::size_t count = listed_count(report, rows);
    for (std::size_t i = 0; i < count; ++i) {
        tiles.insert(report.occurrences[i].straggler);
    }
    return tiles;
}

std::string superstep_section(const vorn_profile::SuperstepReport& report, std::size_t rows,
                              int width) {
    std::string html =
        "<h2>Supersteps that lose the most</h2><p class=\"note\">Per phase occurrence, the "
        "tile-cycles the other tiles could have worked while the busiest tile (the straggler) "
        "finished its exchange and compute steps: tiles \u00d7 max busy \u2212 the busy cycles "
        "of all. Imbalance is max busy over mean busy.</p>";
    const std::size_t count = listed_count(report, rows);
    if (count == 0) {
        const std::string what = report.occurrences.empty()
                                     ? "No phase occurrence holds a selected step."
                                     : "Every superstep was evenly loaded: no tile-cycles were "
                                       "lost waiting for a straggler.";
        return html + "<p class=\"note\" id=\"supersteps-none\">" + what + "</p>";
    }
    std::vector<Bar> bars;
    for (std::size_t i = 0; i < count; ++i) {
        const vorn_profile::SuperstepRow& row = report.occurrences[i];
        Bar bar;
        bar.label = occurrence_name(row);
        bar.value = row.lost_cycles;
        bar.color = "#e15759";
        bar.tip = bar.label + ": " + with_ms(row.lost_cycles, report.clock_hz) +
                  " lost; imbalance " + fixed(row.imbalance, 3) + ", straggler tile " +
                  std::to_string(row.straggler) + " busy " + grouped(row.max_busy) +
                  " cycles against a mean of " + fixed(row.mean_busy, 1);
        bars.push_back(std::move(bar));
    }
    html += bar_chart("supersteps-chart", "lost tile-cycles", bars, report.clock_hz, width);
    html += occurrence_table(report, count);
    html += "<h3>The tiles the others waited for</h3>";
    html += straggler_table(report, rows);
    return html;
}

}  // namespace vorn_view

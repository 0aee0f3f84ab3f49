#include "vorn_view/report_tile_map.hpp"

#include <algorithm>
#include <cmath>

#include "vorn_view/svg_chart.hpp"
#include "vorn_view/text_format.hpp"

namespace vorn_view {

std::string tile_map(const std::vector<TileFigures>& tiles, std::uint64_t length,
                     std::uint64_t clock_hz, std::string_view range_name, int width) {
    // Each cell sits at its tile number's place, so that a row's first number plus the column
    // names the tile, with a blank cell where a number has no tile. Numbers with more gaps than
    // tiles would leave the grid mostly blank; those tiles are packed in order instead, and
    // each row is labelled with its first and last tile.
    const std::uint64_t first = tiles.empty() ? 0 : tiles.front().physical;
    const std::uint64_t numbers = tiles.empty() ? 1 : tiles.back().physical - first + 1;
    const bool by_number = numbers <= 2 * std::max<std::uint64_t>(tiles.size(), 1);
    const std::size_t n = by_number ? numbers : tiles.size();
    const auto place = [&](std::size_t i) -> std::size_t {
        return by_number ? tiles[i].physical - first : i;
    };
    const int kLeft = by_number ? 64 : 120;  // row labels
    constexpr int kTop = 22;                 // column labels
    const int plot_width = width - kLeft - 16;
    std::size_t columns =
        static_cast<std::size_t>(std::ceil(std::sqrt(2.5 * static_cast<double>(n))));
    columns = std::clamp<std::size_t>(columns, 1, static_cast<std::size_t>(plot_width / 12));
    columns = std::min(columns, n);
    const int cell = std::clamp(plot_width / static_cast<int>(columns), 12, 44);
    const std::size_t rows = (n + columns - 1) / columns;
    const int grid_bottom = kTop + cell * static_cast<int>(rows);
    const int height = grid_bottom + 66;

    std::string svg = "<svg class=\"chart tile-map\" id=\"tile-map\" role=\"img\" width=\"" +
                      std::to_string(width) + "\" height=\"" + std::to_string(height) +
                      "\" viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
                      "\">";
    // Rows are labelled with their first tile number, columns with the step from it.
    svg += "<g class=\"axis y-axis\"><line class=\"domain\" x1=\"" + std::to_string(kLeft - 4) +
           "\" y1=\"" + std::to_string(kTop) + "\" x2=\"" + std::to_string(kLeft - 4) + "\" y2=\"" +
           std::to_string(grid_bottom) + "\"/>";
    const std::size_t label_every = cell >= 16 ? 1 : 2;
    for (std::size_t r = 0; r < rows && !tiles.empty(); r += label_every) {
        std::string label = "tile ";
        if (by_number) {
            label += std::to_string(first + r * columns);
        } else {
            const std::size_t last = std::min((r + 1) * columns, tiles.size()) - 1;
            label += std::to_string(tiles[r * columns].physical) + "\u2013" +
                     std::to_string(tiles[last].physical);
        }
        svg += "<text class=\"tick-label\" x=\"" + std::to_string(kLeft - 8) + "\" y=\"" +
               std::to_string(kTop + cell * static_cast<int>(r) + cell / 2 + 4) +
               "\" text-anchor=\"end\">" + label + "</text>";
    }
    svg += "</g><g class=\"axis x-axis\"><line class=\"domain\" x1=\"" + std::to_string(kLeft) +
           "\" y1=\"" + std::to_string(kTop - 4) + "\" x2=\"" +
           std::to_string(kLeft + cell * static_cast<int>(columns)) + "\" y2=\"" +
           std::to_string(kTop - 4) + "\"/>";
    const std::size_t column_every = columns <= 16 ? 1 : 5;
    for (std::size_t c = 0; by_number && c < columns; c += column_every) {
        svg += "<text class=\"tick-label\" x=\"" +
               std::to_string(kLeft + cell * static_cast<int>(c) + cell / 2) + "\" y=\"" +
               std::to_string(kTop - 8) + "\" text-anchor=\"middle\">+" + std::to_string(c) +
               "</text>";
    }
    if (!by_number) {
        svg += "<text class=\"tick-label\" x=\"" + std::to_string(kLeft) + "\" y=\"" +
               std::to_string(kTop - 8) + "\">in tile order, left to right</text>";
    }
    svg += "</g><g class=\"cells\">";
    // The colours span the busy fractions that occur, in steps of 5%, so that tiles that are
    // all nearly busy still tell apart.
    const auto busy_of = [&](const TileFigures& tile) {
        return length == 0 ? 0.0
                           : static_cast<double>(tile.cycles.busy) / static_cast<double>(length);
    };
    double low = 1.0;
    double high = 0.0;
    for (const TileFigures& tile : tiles) {
        if (tile.selected) {
            low = std::min(low, busy_of(tile));
            high = std::max(high, busy_of(tile));
        }
    }
    low = std::floor(std::min(low, high) * 20) / 20;
    high = std::max(std::ceil(high * 20) / 20, std::min(low + 0.05, 1.0));
    if (high <= low) {
        low = std::max(0.0, high - 0.05);
    }
    const auto scaled = [&](double busy) { return (busy - low) / (high - low); };
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const TileFigures& tile = tiles[i];
        const int x = kLeft + cell * static_cast<int>(place(i) % columns);
        const int y = kTop + cell * static_cast<int>(place(i) / columns);
        const double busy = busy_of(tile);
        std::string tip = "tile " + std::to_string(tile.physical);
        if (tile.selected) {
            tip += ": busy " + fixed(busy * 100, 1) + "% (" + with_ms(tile.cycles.busy, clock_hz) +
                   " of " + grouped(length) + ")";
            if (tile.straggler_count > 0) {
                tip += "; the busiest tile of " + grouped(tile.straggler_count) +
                       (tile.straggler_count == 1 ? " superstep, " : " supersteps, ") +
                       grouped(tile.lost_cycles_caused) + " tile-cycles lost waiting for it";
            }
        } else {
            tip += ": not selected by --tile";
        }
        svg += "<rect class=\"mark tile\" x=\"" + std::to_string(x + 1) + "\" y=\"" +
               std::to_string(y + 1) + "\" width=\"" + std::to_string(cell - 2) + "\" height=\"" +
               std::to_string(cell - 2) + "\" fill=\"" +
               (tile.selected ? busy_color(scaled(busy)) : std::string("#eeeeee")) +
               "\" data-tile=\"" + std::to_string(tile.physical) + "\" data-selected=\"" +
               (tile.selected ? "1" : "0") + "\" data-busy=\"" + fixed(busy, 4) + "\"";
        for (std::size_t k = 0; k < kKindCount; ++k) {
            svg += " data-" + std::string(kind_text(kKinds[k])) + "=\"" +
                   std::to_string(tile.cycles.kind[k]) + "\"";
        }
        svg += " data-samples=\"" + std::to_string(tile.cycles.samples) + "\" data-straggler=\"" +
               std::to_string(tile.straggler_count) + "\" data-lost=\"" +
               std::to_string(tile.lost_cycles_caused) + "\"><title>" + html_escape(tip) +
               "</title></rect>";
        if (tile.marked) {
            svg += "<rect class=\"straggler\" x=\"" + std::to_string(x + 2) + "\" y=\"" +
                   std::to_string(y + 2) + "\" width=\"" + std::to_string(cell - 4) +
                   "\" height=\"" + std::to_string(cell - 4) + "\" data-tile=\"" +
                   std::to_string(tile.physical) + "\"/>";
        }
    }
    svg += "</g>";
    // The colour scale, under the grid.
    const int legend_y = grid_bottom + 18;
    svg += "<g class=\"legend\"><defs><linearGradient id=\"busy-scale\">";
    for (int stop = 0; stop <= 10; ++stop) {
        svg += "<stop offset=\"" + std::to_string(stop * 10) + "%\" stop-color=\"" +
               busy_color(stop / 10.0) + "\"/>";
    }
    svg += "</linearGradient></defs><text x=\"" + std::to_string(kLeft) + "\" y=\"" +
           std::to_string(legend_y + 12) + "\">busy fraction of " + std::string(range_name) +
           " (exchange and compute cycles)</text>";
    const int scale_x = kLeft + 400;
    svg += "<rect x=\"" + std::to_string(scale_x) + "\" y=\"" + std::to_string(legend_y) +
           "\" width=\"300\" height=\"14\" fill=\"url(#busy-scale)\" stroke=\"#999\"/>";
    const double step = (high - low) * 100 / 4;
    const int decimals = step == std::round(step) ? 0 : 1;
    for (int quarter = 0; quarter <= 4; ++quarter) {
        const double value = low + (high - low) * quarter / 4;
        svg += "<text class=\"tick-label\" x=\"" + std::to_string(scale_x + quarter * 75) +
               "\" y=\"" + std::to_string(legend_y + 30) + "\" text-anchor=\"middle\">" +
               fixed(value * 100, decimals) + "%</text>";
    }
    svg += "<rect x=\"" + std::to_string(scale_x + 340) + "\" y=\"" + std::to_string(legend_y) +
           "\" width=\"14\" height=\"14\" fill=\"#eeeeee\" stroke=\"#999\"/><text x=\"" +
           std::to_string(scale_x + 360) + "\" y=\"" + std::to_string(legend_y + 12) +
           "\">not selected</text>";
    svg += "<rect class=\"straggler\" x=\"" + std::to_string(kLeft) + "\" y=\"" +
           std::to_string(legend_y + 24) + "\" width=\"14\" height=\"14\"/><text x=\"" +
           std::to_string(kLeft + 20) + "\" y=\"" + std::to_string(legend_y + 36) +
           "\">outlined: the straggler of a superstep listed above</text></g>";
    return svg + "</svg>";
}

}  // namespace vorn_view

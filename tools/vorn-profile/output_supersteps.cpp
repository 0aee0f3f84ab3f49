// Supersteps as a table, JSON and CSV: one row per phase occurrence, or per tile.
#include <algorithm>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "output.hpp"
#include "text_table.hpp"
#include "vorn_view/json_writer.hpp"

namespace vorn_cli {

using vorn_view::append_number;
using vorn_view::array;
using vorn_view::ObjectWriter;
namespace {

/// The columns of the rows per tile.
std::vector<Column> tile_columns() {
    return {{"tile", Align::Right},
            {"straggler_count", Align::Right},
            {"busy_cycles", Align::Right},
            {"busy_ms", Align::Right},
            {"lost_cycles_caused", Align::Right},
            {"lost_tile_ms", Align::Right}};
}

/// The columns of the rows per phase occurrence.
std::vector<Column> occurrence_columns() {
    return {
        {"epoch", Align::Right},        {"phase", Align::Right},     {"tiles", Align::Right},
        {"start", Align::Right},        {"end", Align::Right},       {"span", Align::Right},
        {"span_ms", Align::Right},      {"max_busy", Align::Right},  {"max_ms", Align::Right},
        {"min_busy", Align::Right},     {"min_ms", Align::Right},    {"mean_busy", Align::Right},
        {"imbalance", Align::Right},    {"straggler", Align::Right}, {"lost", Align::Right},
        {"lost_tile_ms", Align::Right}, {"sync", Align::Right},      {"sync_ms", Align::Right}};
}

using vorn_profile::StragglerTile;
using vorn_profile::SuperstepReport;
using vorn_profile::SuperstepRow;

std::string number(std::uint64_t value) { return std::to_string(value); }
std::string ms(double value) { return fixed(value, 6); }

/// Milliseconds in a table: "n/a" when the profile has no clock.
std::string ms(double value, std::uint64_t clock_hz) {
    return clock_hz == 0 ? "n/a" : fixed(value, 6);
}

template <class Row>
std::span<const Row> first_rows(const std::vector<Row>& rows, std::optional<std::uint64_t> limit) {
    const std::size_t count =
        limit ? static_cast<std::size_t>(std::min<std::uint64_t>(*limit, rows.size()))
              : rows.size();
    return {rows.data(), count};
}

std::string totals_line(const SuperstepReport& report) {
    std::uint64_t lost = 0;
    for (const SuperstepRow& row : report.occurrences) {
        lost += row.lost_cycles;
    }
    std::string line =
        number(report.tile_count) + " tiles, " + number(report.sample_count) + " samples (" +
        number(report.matched_sample_count) + " matched), clock " + number(report.clock_hz) +
        " Hz, span " + number(report.profile_span_cycles) +
        " cycles = " + (report.clock_hz == 0 ? "n/a" : ms(report.profile_span_ms) + " ms");
    if (report.from != 0 || report.to != UINT64_MAX) {
        line += ", window [" + number(report.from) + ", " + number(report.to) + ")";
    }
    // Lost cycles add up over tiles: their time is tile-milliseconds, not time on the clock.
    return fit_line(line + "\n") +
           fit_line(number(report.occurrences.size()) + " supersteps, " + number(lost) +
                    " tile-cycles lost waiting for stragglers = " +
                    (report.clock_hz == 0
                         ? "n/a"
                         : ms(vorn_profile::cycles_to_ms(lost, report.clock_hz)) + " tile-ms") +
                    "\n");
}

void write_occurrence_json(std::string& out, const SuperstepRow& row, int indent) {
    ObjectWriter object(out, indent);
    object.member("epoch", std::uint64_t{row.epoch});
    object.member("phase", std::uint64_t{row.phase});
    object.member("tiles", row.tiles);
    object.member("start", row.start);
    object.member("end", row.end);
    object.member("span_cycles", row.span_cycles);
    object.member("span_ms", row.span_ms);
    object.member("busy_cycles", row.busy_cycles);
    object.member("max_busy", row.max_busy);
    object.member("max_busy_ms", row.max_busy_ms);
    object.member("min_busy", row.min_busy);
    object.member("min_busy_ms", row.min_busy_ms);
    object.member("mean_busy", row.mean_busy);
    object.member("imbalance", row.imbalance);
    object.member("straggler", std::uint64_t{row.straggler});
    object.member("lost_cycles", row.lost_cycles);
    object.member("lost_ms", row.lost_ms);
    object.member("sync_cycles", row.sync_cycles);
    object.member("sync_ms", row.sync_ms);
    object.close();
}

void write_tile_json(std::string& out, const StragglerTile& tile, int indent) {
    ObjectWriter object(out, indent);
    object.member("physical_tile", std::uint64_t{tile.physical_tile});
    object.member("straggler_count", tile.straggler_count);
    object.member("busy_cycles", tile.busy_cycles);
    object.member("busy_ms", tile.busy_ms);
    object.member("lost_cycles_caused", tile.lost_cycles_caused);
    object.member("lost_ms", tile.lost_ms);
    object.close();
}

}  // namespace

void write_supersteps_table(std::ostream& out, const SuperstepReport& report, SuperstepRows rows,
                            std::optional<std::uint64_t> limit) {
    std::string text = totals_line(report) + "\n";
    const std::uint64_t clock = report.clock_hz;
    if (rows == SuperstepRows::Tile) {
        TextTable table(tile_columns());
        out << text;
        if (report.tiles.empty()) {
            out << "no tiles\n";
            return;
        }
        std::vector<std::string> cells;
        table.write(out, [&](auto emit) {
            for (const StragglerTile& tile : first_rows(report.tiles, limit)) {
                cells = {number(tile.physical_tile),      number(tile.straggler_count),
                         number(tile.busy_cycles),        ms(tile.busy_ms, clock),
                         number(tile.lost_cycles_caused), ms(tile.lost_ms, clock)};
                emit(cells);
            }
        });
        return;
    }
    TextTable table(occurrence_columns(), {"epoch", "phase", "tiles", "span", "span_ms",
                                           "imbalance", "straggler", "lost", "lost_tile_ms"});
    out << text;
    if (report.occurrences.empty()) {
        out << "no supersteps\n";
        return;
    }
    std::vector<std::string> cells;
    table.write(out, [&](auto emit) {
        for (const SuperstepRow& row : first_rows(report.occurrences, limit)) {
            cells = {number(row.epoch),
                     number(row.phase),
                     number(row.tiles),
                     number(row.start),
                     number(row.end),
                     number(row.span_cycles),
                     ms(row.span_ms, clock),
                     number(row.max_busy),
                     ms(row.max_busy_ms, clock),
                     number(row.min_busy),
                     ms(row.min_busy_ms, clock),
                     fixed(row.mean_busy, 1),
                     fixed(row.imbalance, 3),
                     number(row.straggler),
                     number(row.lost_cycles),
                     ms(row.lost_ms, clock),
                     number(row.sync_cycles),
                     ms(row.sync_ms, clock)};
            emit(cells);
        }
    });
}

void write_supersteps_json(std::ostream& out, const SuperstepReport& report, SuperstepRows rows,
                           std::optional<std::uint64_t> limit) {
    std::string text;
    ObjectWriter object(text, 0);
    object.member("clock_hz", report.clock_hz);
    object.member("tile_count", report.tile_count);
    object.member("sample_count", report.sample_count);
    object.member("matched_sample_count", report.matched_sample_count);
    object.member("profile_span_cycles", report.profile_span_cycles);
    object.member("profile_span_ms", report.profile_span_ms);
    object.member("from", report.from);
    object.member("to", report.to);
    if (rows == SuperstepRows::Tile) {
        object.key("tiles");
        array(
            text, first_rows(report.tiles, limit), 2,
            [&](const StragglerTile& tile, int indent) { write_tile_json(text, tile, indent); },
            &out);
    } else {
        object.key("occurrences");
        array(
            text, first_rows(report.occurrences, limit), 2,
            [&](const SuperstepRow& row, int indent) { write_occurrence_json(text, row, indent); },
            &out);
    }
    object.close();
    text += '\n';
    out << text;
}

void write_supersteps_csv(std::ostream& out, const SuperstepReport& report, SuperstepRows rows,
                          std::optional<std::uint64_t> limit) {
    // Written a row at a time.
    if (rows == SuperstepRows::Tile) {
        out << "physical_tile,straggler_count,busy_cycles,busy_ms,lost_cycles_caused,lost_ms\r\n";
        for (const StragglerTile& tile : first_rows(report.tiles, limit)) {
            std::string line;
            csv_field(line, number(tile.physical_tile), true);
            csv_field(line, number(tile.straggler_count));
            csv_field(line, number(tile.busy_cycles));
            csv_field(line, shortest_double(tile.busy_ms));
            csv_field(line, number(tile.lost_cycles_caused));
            csv_field(line, shortest_double(tile.lost_ms));
            line += "\r\n";
            out << line;
        }
    } else {
        out << "epoch,phase,tiles,start,end,span_cycles,span_ms,busy_cycles,max_busy,max_busy_ms,"
               "min_busy,min_busy_ms,mean_busy,imbalance,straggler,lost_cycles,lost_ms,sync_cycles,"
               "sync_ms\r\n";
        for (const SuperstepRow& row : first_rows(report.occurrences, limit)) {
            std::string line;
            csv_field(line, number(row.epoch), true);
            csv_field(line, number(row.phase));
            csv_field(line, number(row.tiles));
            csv_field(line, number(row.start));
            csv_field(line, number(row.end));
            csv_field(line, number(row.span_cycles));
            csv_field(line, shortest_double(row.span_ms));
            csv_field(line, number(row.busy_cycles));
            csv_field(line, number(row.max_busy));
            csv_field(line, shortest_double(row.max_busy_ms));
            csv_field(line, number(row.min_busy));
            csv_field(line, shortest_double(row.min_busy_ms));
            csv_field(line, shortest_double(row.mean_busy));
            csv_field(line, shortest_double(row.imbalance));
            csv_field(line, number(row.straggler));
            csv_field(line, number(row.lost_cycles));
            csv_field(line, shortest_double(row.lost_ms));
            csv_field(line, number(row.sync_cycles));
            csv_field(line, shortest_double(row.sync_ms));
            line += "\r\n";
            out << line;
        }
    }
}

std::vector<std::string> supersteps_table_columns(SuperstepRows rows) {
    return column_names(rows == SuperstepRows::Tile ? tile_columns() : occurrence_columns());
}

}  // namespace vorn_cli

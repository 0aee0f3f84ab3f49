// The difference of two profiles as a table, JSON and CSV.
#include <ostream>
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

/// The columns of the comparison table.
std::vector<Column> diff_columns() {
    return {{"group"},
            {"status"},
            {"samples", Align::Right},
            {"new_samples", Align::Right},
            {"phase_cycles", Align::Right},
            {"new_phase_cycles", Align::Right},
            {"change", Align::Right},
            {"ratio", Align::Right},
            {"change_ms", Align::Right},
            {"work_cycles", Align::Right},
            {"new_work_cycles", Align::Right},
            {"mean", Align::Right},
            {"new_mean", Align::Right},
            {"p95", Align::Right},
            {"new_p95", Align::Right},
            {"max", Align::Right},
            {"new_max", Align::Right}};
}

using vorn_profile::DiffDelta;
using vorn_profile::DiffFigures;
using vorn_profile::DiffReport;
using vorn_profile::DiffRow;
using vorn_profile::DiffTotals;

std::string_view status_name(vorn_profile::DiffStatus status) {
    switch (status) {
        case vorn_profile::DiffStatus::Both:
            return "both";
        case vorn_profile::DiffStatus::Added:
            return "added";
        case vorn_profile::DiffStatus::Removed:
            return "removed";
    }
    return "";
}

std::string number(std::uint64_t value) { return std::to_string(value); }

/// A signed change with its sign always shown: +12, -3, 0.
// Appended to a string holding the sign: g++ 12 warns (-Wrestrict, wrongly) about "+" + text.
std::string change(std::int64_t value) {
    std::string text = value > 0 ? "+" : "";
    return text += std::to_string(value);
}
std::string change(double value, int decimals) {
    std::string text = value > 0 ? "+" : "";
    return text += fixed(value, decimals);
}

std::string totals_line(std::string_view label, const DiffTotals& totals,
                        std::optional<std::uint64_t> clock_hz = std::nullopt) {
    std::string line = std::string(label) + number(totals.sample_count) + " samples (" +
                       number(totals.matched_sample_count) + " matched), ";
    if (clock_hz) {
        line += "clock " + number(*clock_hz) + " Hz, ";
    }
    return fit_line(
        line + "span " + number(totals.profile_span_cycles) + " cycles = " +
        (clock_hz && *clock_hz == 0 ? "n/a" : fixed(totals.profile_span_ms, 6) + " ms") + "\n");
}

void write_figures(std::string& out, const DiffFigures& f, int indent) {
    ObjectWriter object(out, indent);
    object.member("sample_count", f.sample_count);
    object.member("tile_count", f.tile_count);
    object.member("phase_count", f.phase_count);
    object.member("phase_cycles", f.phase_cycles);
    object.member("phase_ms", f.phase_ms);
    object.member("work_cycles", f.work_cycles);
    object.member("average_active_tiles", f.average_active_tiles);
    object.member("mean_cycles", f.mean_cycles);
    object.member("p95_cycles", f.p95_cycles);
    object.member("maximum_cycles", f.maximum_cycles);
    object.close();
}

void write_delta(std::string& out, const DiffDelta& d, int indent) {
    ObjectWriter object(out, indent);
    object.member("sample_count", d.sample_count);
    object.member("tile_count", d.tile_count);
    object.member("phase_count", d.phase_count);
    object.member("phase_cycles", d.phase_cycles);
    object.member("phase_ms", d.phase_ms);
    object.member("work_cycles", d.work_cycles);
    object.member("average_active_tiles", d.average_active_tiles);
    object.member("mean_cycles", d.mean_cycles);
    object.member("p95_cycles", d.p95_cycles);
    object.member("maximum_cycles", d.maximum_cycles);
    object.close();
}

void write_totals(std::string& out, const DiffTotals& t, int indent) {
    ObjectWriter object(out, indent);
    object.member("sample_count", t.sample_count);
    object.member("matched_sample_count", t.matched_sample_count);
    object.member("profile_span_cycles", t.profile_span_cycles);
    object.member("profile_span_ms", t.profile_span_ms);
    object.close();
}

}  // namespace

void write_diff_table(std::ostream& out, const DiffReport& report,
                      const vorn_profile::TimeWindow& window, std::optional<DiffClocks> clocks) {
    // Both clocks are named when they differ: the same cycles then take different times.
    const bool name_clocks = clocks && clocks->base != clocks->next;
    std::string text =
        totals_line("base   ", report.base,
                    name_clocks ? std::optional<std::uint64_t>(clocks->base) : std::nullopt) +
        totals_line("new    ", report.next,
                    name_clocks ? std::optional<std::uint64_t>(clocks->next) : std::nullopt);
    text += "change " + change(report.delta.sample_count) + " samples (" +
            change(report.delta.matched_sample_count) + " matched), span " +
            change(report.delta.profile_span_cycles) +
            " cycles = " + change(report.delta.profile_span_ms, 6) + " ms\n";
    if (window != vorn_profile::TimeWindow{}) {
        text += "window [" + number(window.from) + ", " + number(window.to) + ")\n";
    }
    text += '\n';
    if (report.rows.empty()) {
        out << text << "no groups\n";
        return;
    }
    TextTable table(diff_columns(), {"group", "status", "phase_cycles", "new_phase_cycles",
                                     "change", "ratio", "change_ms", "p95", "new_p95"});
    out << text;
    std::vector<std::string> cells;
    table.write(out, [&](auto emit) {
        for (const DiffRow& row : report.rows) {
            cells = {row.name.empty() ? "\"\"" : row.name,
                     std::string(status_name(row.status)),
                     number(row.base.sample_count),
                     number(row.next.sample_count),
                     number(row.base.phase_cycles),
                     number(row.next.phase_cycles),
                     change(row.delta.phase_cycles),
                     row.phase_cycles_ratio ? fixed(*row.phase_cycles_ratio, 3) : "-",
                     change(row.delta.phase_ms, 6),
                     number(row.base.work_cycles),
                     number(row.next.work_cycles),
                     fixed(row.base.mean_cycles, 1),
                     fixed(row.next.mean_cycles, 1),
                     number(row.base.p95_cycles),
                     number(row.next.p95_cycles),
                     number(row.base.maximum_cycles),
                     number(row.next.maximum_cycles)};
            emit(cells);
        }
    });
}

void write_diff_json(std::ostream& out, const DiffReport& report,
                     const vorn_profile::TimeWindow& window) {
    std::string text;
    ObjectWriter object(text, 0);
    object.member("from", window.from);
    object.member("to", window.to);
    object.key("base");
    write_totals(text, report.base, 2);
    object.key("new");
    write_totals(text, report.next, 2);
    object.key("delta");
    {
        ObjectWriter delta(text, 2);
        delta.member("sample_count", report.delta.sample_count);
        delta.member("matched_sample_count", report.delta.matched_sample_count);
        delta.member("profile_span_cycles", report.delta.profile_span_cycles);
        delta.member("profile_span_ms", report.delta.profile_span_ms);
        delta.close();
    }
    object.key("rows");
    // Written a row at a time: `text` never holds more than one of them.
    array(
        text, report.rows, 2,
        [&](const DiffRow& row, int indent) {
            ObjectWriter item(text, indent);
            item.member("name", row.name);
            item.member("status", status_name(row.status));
            item.key("base");
            write_figures(text, row.base, indent + 2);
            item.key("new");
            write_figures(text, row.next, indent + 2);
            item.key("delta");
            write_delta(text, row.delta, indent + 2);
            if (row.phase_cycles_ratio) {
                item.member("phase_cycles_ratio", *row.phase_cycles_ratio);
            } else {
                item.key("phase_cycles_ratio");
                text += "null";
            }
            item.close();
        },
        &out);
    object.close();
    text += '\n';
    out << text;
}

void write_diff_csv(std::ostream& out, const DiffReport& report) {
    constexpr std::string_view kFields[] = {
        "sample_count", "tile_count",           "phase_count", "phase_cycles", "phase_ms",
        "work_cycles",  "average_active_tiles", "mean_cycles", "p95_cycles",   "maximum_cycles"};
    std::string text = "name,status";
    for (const std::string_view side : {"base_", "new_", "delta_"}) {
        for (const std::string_view field : kFields) {
            text += ',';
            text += side;
            text += field;
        }
    }
    text += ",phase_cycles_ratio\r\n";
    out << text;
    // Written a row at a time.
    std::string line;
    for (const DiffRow& row : report.rows) {
        line.clear();
        csv_field(line, row.name, true);
        csv_field(line, status_name(row.status));
        for (const DiffFigures* f : {&row.base, &row.next}) {
            csv_field(line, number(f->sample_count));
            csv_field(line, number(f->tile_count));
            csv_field(line, number(f->phase_count));
            csv_field(line, number(f->phase_cycles));
            csv_field(line, shortest_double(f->phase_ms));
            csv_field(line, number(f->work_cycles));
            csv_field(line, shortest_double(f->average_active_tiles));
            csv_field(line, shortest_double(f->mean_cycles));
            csv_field(line, number(f->p95_cycles));
            csv_field(line, number(f->maximum_cycles));
        }
        const DiffDelta& d = row.delta;
        csv_field(line, std::to_string(d.sample_count));
        csv_field(line, std::to_string(d.tile_count));
        csv_field(line, std::to_string(d.phase_count));
        csv_field(line, std::to_string(d.phase_cycles));
        csv_field(line, shortest_double(d.phase_ms));
        csv_field(line, std::to_string(d.work_cycles));
        csv_field(line, shortest_double(d.average_active_tiles));
        csv_field(line, shortest_double(d.mean_cycles));
        csv_field(line, std::to_string(d.p95_cycles));
        csv_field(line, std::to_string(d.maximum_cycles));
        csv_field(line, row.phase_cycles_ratio ? shortest_double(*row.phase_cycles_ratio) : "");
        line += "\r\n";
        out << line;
    }
}

std::vector<std::string> diff_table_columns() { return column_names(diff_columns()); }

}  // namespace vorn_cli

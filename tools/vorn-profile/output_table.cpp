// The report as aligned text for a terminal: totals, the groups, then the listed steps.
#include <algorithm>
#include <charconv>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "output.hpp"
#include "text_table.hpp"

namespace vorn_cli {

namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string or_dash(std::string text) { return text.empty() ? "-" : text; }

/// Milliseconds in a table: "n/a" when the profile has no clock.
std::string table_ms(double value, std::uint64_t clock_hz) {
    return clock_hz == 0 ? "n/a" : fixed(value, 6);
}

std::string totals_line(const vorn_profile::QueryReport& report,
                        const std::optional<vorn_profile::TimeWindow>& window) {
    std::string line = number(report.tile_count) + " tiles, " + number(report.sample_count) +
                       " samples (" + number(report.matched_sample_count) + " matched), clock " +
                       number(report.clock_hz) + " Hz, span " + number(report.profile_span_cycles) +
                       " cycles = " + table_ms(report.profile_span_ms, report.clock_hz) +
                       (report.clock_hz == 0 ? "" : " ms");
    if (report.at_offset) {
        line += ", at offset " + number(*report.at_offset);
    }
    if (window) {
        line += ", window [" + number(window->from) + ", " + number(window->to) + ")";
    }
    return line + "\n";
}

/// The columns of the group table: today's, then, when `statistics`, the ones added since,
/// then one per further percentile.
std::vector<Column> group_columns(bool statistics, const std::vector<std::uint32_t>& percentiles) {
    std::vector<Column> columns{{"group"},
                                {"dimensions"},
                                {"samples", Align::Right},
                                {"tiles", Align::Right},
                                {"phases", Align::Right},
                                {"phase_cycles", Align::Right},
                                {"phase_ms", Align::Right},
                                {"work_cycles", Align::Right},
                                {"avg_tiles", Align::Right},
                                {"mean", Align::Right},
                                {"p50", Align::Right},
                                {"p95", Align::Right},
                                {"max", Align::Right},
                                {"first_offset", Align::Right},
                                {"last_offset", Align::Right}};
    if (statistics) {
        columns.insert(columns.end(),
                       {{"min", Align::Right}, {"stddev", Align::Right}, {"share", Align::Right}});
    }
    for (const std::uint32_t thousandths : percentiles) {
        columns.push_back({vorn_profile::percentile_name(thousandths), Align::Right});
    }
    return columns;
}

/// The columns of the listed steps.
std::vector<Column> sample_columns() {
    return {{"tile", Align::Right},
            {"offset", Align::Right},
            {"duration", Align::Right},
            {"phase", Align::Right},
            {"epoch", Align::Right},
            {"kind"},
            {"operation"},
            {"kernel"},
            {"metadata"}};
}

void write_groups(std::ostream& out, const vorn_profile::QueryReport& report) {
    const std::vector<vorn_profile::GroupSummary>& groups = report.groups;
    // The statistics added since are shown when a fitted table asks for them, and the further
    // percentiles when the query has them; a plain query keeps its table as it always was.
    const bool fitted = table_view().fitted();
    std::vector<Column> columns = group_columns(fitted, report.percentiles);
    // A group's dimensions only repeat its name (and the query's metadata key): a fitted
    // table shows them when asked by name only.
    const std::vector<std::string>& asked = table_view().columns;
    const bool dimensions_shown =
        !fitted || std::find(asked.begin(), asked.end(), "dimensions") != asked.end();
    if (!dimensions_shown) {
        columns.erase(columns.begin() + 1);
    }
    TextTable table(std::move(columns), {"group", "samples", "tiles", "phase_cycles", "phase_ms",
                                         "avg_tiles", "p50", "p95", "max"});
    std::vector<std::string> cells;
    table.write(out, [&](auto emit) {
        for (const vorn_profile::GroupSummary& group : groups) {
            cells = {group.name.empty() ? "\"\"" : group.name,
                     or_dash(joined_dimensions(group)),
                     number(group.sample_count),
                     number(group.tile_count),
                     number(group.phase_count),
                     number(group.phase_cycles),
                     table_ms(group.phase_ms, report.clock_hz),
                     number(group.work_cycles),
                     fixed(group.average_active_tiles, 2),
                     fixed(group.mean_cycles, 1),
                     number(group.p50_cycles),
                     number(group.p95_cycles),
                     number(group.maximum_cycles),
                     number(group.first_offset),
                     number(group.last_offset)};
            if (fitted) {
                cells.push_back(number(group.minimum_cycles));
                cells.push_back(fixed(group.stddev_cycles, 1));
                cells.push_back(fixed(group.share * 100.0, 2) + "%");
            }
            for (const std::uint32_t value : group.percentile_cycles) {
                cells.push_back(number(value));
            }
            if (!dimensions_shown) {
                cells.erase(cells.begin() + 1);
            }
            emit(cells);
        }
    });
}

void write_samples(std::ostream& out, const ListedSamples& samples) {
    TextTable table(sample_columns());
    std::vector<std::string> cells;
    table.write(out, [&](auto emit) {
        for (const vorn_profile::SampleRecord& sample : samples) {
            std::string metadata;
            for (const vorn_profile::MetadataEntry& entry : sample.metadata) {
                metadata += metadata.empty() ? "" : ", ";
                metadata += entry.name + "=" + entry.value;
            }
            cells = {number(sample.physical_tile), number(sample.offset),  number(sample.duration),
                     number(sample.phase),         number(sample.epoch),   sample.kind,
                     or_dash(sample.operation),    or_dash(sample.kernel), or_dash(metadata)};
            emit(cells);
        }
    });
}

}  // namespace

std::vector<std::string> query_table_columns(const std::vector<std::uint32_t>& percentiles) {
    std::vector<Column> columns = group_columns(true, percentiles);
    const std::vector<Column> listed = sample_columns();
    columns.insert(columns.end(), listed.begin(), listed.end());
    return column_names(columns);
}

void write_table(std::ostream& out, const vorn_profile::QueryReport& report,
                 const std::optional<vorn_profile::TimeWindow>& window) {
    write_table(out, report, ListedSamples(report.samples), window);
}

void write_table(std::ostream& out, const vorn_profile::QueryReport& report,
                 const ListedSamples& samples,
                 const std::optional<vorn_profile::TimeWindow>& window) {
    out << fit_line(totals_line(report, window)) << '\n';
    if (report.groups.empty()) {
        out << "no groups\n";
    } else {
        write_groups(out, report);
    }
    if (!samples.empty()) {
        out << "\nlongest matching steps\n";
        write_samples(out, samples);
    }
}

}  // namespace vorn_cli

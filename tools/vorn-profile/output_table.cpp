// The report as aligned text for a terminal: totals, the groups, then the listed steps.
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

std::string totals_line(const vorn_profile::QueryReport& report,
                        const std::optional<vorn_profile::TimeWindow>& window) {
    std::string line = number(report.tile_count) + " tiles, " + number(report.sample_count) +
                       " samples (" + number(report.matched_sample_count) + " matched), clock " +
                       number(report.clock_hz) + " Hz, span " + number(report.profile_span_cycles) +
                       " cycles = " + fixed(report.profile_span_ms, 6) + " ms";
    if (report.at_offset) {
        line += ", at offset " + number(*report.at_offset);
    }
    if (window) {
        line += ", window [" + number(window->from) + ", " + number(window->to) + ")";
    }
    return line + "\n";
}

void write_groups(std::ostream& out, const std::vector<vorn_profile::GroupSummary>& groups) {
    TextTable table({{"group"},
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
                     {"last_offset", Align::Right}});
    std::vector<std::string> cells;
    table.write(out, [&](auto emit) {
        for (const vorn_profile::GroupSummary& group : groups) {
            cells = {group.name.empty() ? "\"\"" : group.name,
                     or_dash(joined_dimensions(group)),
                     number(group.sample_count),
                     number(group.tile_count),
                     number(group.phase_count),
                     number(group.phase_cycles),
                     fixed(group.phase_ms, 6),
                     number(group.work_cycles),
                     fixed(group.average_active_tiles, 2),
                     fixed(group.mean_cycles, 1),
                     number(group.p50_cycles),
                     number(group.p95_cycles),
                     number(group.maximum_cycles),
                     number(group.first_offset),
                     number(group.last_offset)};
            emit(cells);
        }
    });
}

void write_samples(std::ostream& out, const ListedSamples& samples) {
    TextTable table({{"tile", Align::Right},
                     {"offset", Align::Right},
                     {"duration", Align::Right},
                     {"phase", Align::Right},
                     {"epoch", Align::Right},
                     {"kind"},
                     {"operation"},
                     {"kernel"},
                     {"metadata"}});
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

void write_table(std::ostream& out, const vorn_profile::QueryReport& report,
                 const std::optional<vorn_profile::TimeWindow>& window) {
    write_table(out, report, ListedSamples(report.samples), window);
}

void write_table(std::ostream& out, const vorn_profile::QueryReport& report,
                 const ListedSamples& samples,
                 const std::optional<vorn_profile::TimeWindow>& window) {
    out << totals_line(report, window) << '\n';
    if (report.groups.empty()) {
        out << "no groups\n";
    } else {
        write_groups(out, report.groups);
    }
    if (!samples.empty()) {
        out << "\nlongest matching steps\n";
        write_samples(out, samples);
    }
}

}  // namespace vorn_cli

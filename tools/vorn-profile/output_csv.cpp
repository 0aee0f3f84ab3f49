// The groups of a report as RFC 4180 CSV: CRLF line ends, fields quoted when they hold a
// comma, a quote or a line break, quotes doubled.
#include <ostream>
#include <string>
#include <vector>

#include "output.hpp"

namespace vorn_cli {

void csv_field(std::string& line, std::string_view text, bool first) {
    if (!first) {
        line += ',';
    }
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        line += text;
        return;
    }
    line += '"';
    for (const char c : text) {
        line += c;
        if (c == '"') {
            line += '"';
        }
    }
    line += '"';
}

std::string joined_dimensions(const vorn_profile::GroupSummary& group) {
    std::string joined;
    for (const auto& [key, value] : group.dimensions) {
        if (!joined.empty()) {
            joined += ';';
        }
        joined += key;
        joined += '=';
        joined += value;
    }
    return joined;
}

void write_csv(std::ostream& out, const vorn_profile::QueryReport& report) {
    std::string text =
        "name,dimensions,sample_count,tile_count,phase_count,phase_cycles,phase_ms,work_cycles,"
        "average_active_tiles,mean_cycles,p50_cycles,p95_cycles,maximum_cycles,first_offset,"
        "last_offset\r\n";
    for (const vorn_profile::GroupSummary& group : report.groups) {
        std::string line;
        csv_field(line, group.name, true);
        csv_field(line, joined_dimensions(group));
        csv_field(line, std::to_string(group.sample_count));
        csv_field(line, std::to_string(group.tile_count));
        csv_field(line, std::to_string(group.phase_count));
        csv_field(line, std::to_string(group.phase_cycles));
        csv_field(line, shortest_double(group.phase_ms));
        csv_field(line, std::to_string(group.work_cycles));
        csv_field(line, shortest_double(group.average_active_tiles));
        csv_field(line, shortest_double(group.mean_cycles));
        csv_field(line, std::to_string(group.p50_cycles));
        csv_field(line, std::to_string(group.p95_cycles));
        csv_field(line, std::to_string(group.maximum_cycles));
        csv_field(line, std::to_string(group.first_offset));
        csv_field(line, std::to_string(group.last_offset));
        text += line;
        text += "\r\n";
    }
    out << text;
}

}  // namespace vorn_cli

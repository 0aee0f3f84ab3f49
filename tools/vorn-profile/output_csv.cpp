// The groups of a report as RFC 4180 CSV: CRLF line ends, fields quoted when they hold a
// comma, a quote or a line break, quotes doubled.
#include <ostream>
#include <string>
#include <vector>

#include "output.hpp"

namespace vorn_cli {
namespace {

/// Appends one field; every field but the first is preceded by a comma.
void field(std::string& line, std::string_view text, bool first = false) {
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

}  // namespace

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
        field(line, group.name, true);
        field(line, joined_dimensions(group));
        field(line, std::to_string(group.sample_count));
        field(line, std::to_string(group.tile_count));
        field(line, std::to_string(group.phase_count));
        field(line, std::to_string(group.phase_cycles));
        field(line, shortest_double(group.phase_ms));
        field(line, std::to_string(group.work_cycles));
        field(line, shortest_double(group.average_active_tiles));
        field(line, shortest_double(group.mean_cycles));
        field(line, std::to_string(group.p50_cycles));
        field(line, std::to_string(group.p95_cycles));
        field(line, std::to_string(group.maximum_cycles));
        field(line, std::to_string(group.first_offset));
        field(line, std::to_string(group.last_offset));
        text += line;
        text += "\r\n";
    }
    out << text;
}

}  // namespace vorn_cli

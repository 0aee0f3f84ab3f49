// The groups of a report as RFC 4180 CSV: CRLF line ends, fields quoted when they hold a
// comma, a quote or a line break, quotes doubled. The dimensions column joins a group's entries as
// key=value;key=value, with a backslash before each `;`, `=` and `\` of a key or value.
#include <charconv>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
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

namespace {

/// Appends `text` with a backslash before each `;`, `=` and `\`, the characters that separate
/// and escape the entries of the dimensions column.
void append_escaped(std::string& joined, std::string_view text) {
    for (const char c : text) {
        if (c == ';' || c == '=' || c == '\\') {
            joined += '\\';
        }
        joined += c;
    }
}

}  // namespace

std::string joined_dimensions(const vorn_profile::GroupSummary& group) {
    std::string joined;
    for (const auto& [key, value] : group.dimensions) {
        if (!joined.empty()) {
            joined += ';';
        }
        append_escaped(joined, key);
        joined += '=';
        append_escaped(joined, value);
    }
    return joined;
}

void write_csv(std::ostream& out, const vorn_profile::QueryReport& report) {
    out << "name,dimensions,sample_count,tile_count,phase_count,phase_cycles,phase_ms,work_cycles,"
           "average_active_tiles,mean_cycles,p50_cycles,p95_cycles,maximum_cycles,first_offset,"
           "last_offset,minimum_cycles,stddev_cycles,share";
    for (const std::uint32_t thousandths : report.percentiles) {
        out << ',' << vorn_profile::percentile_name(thousandths) << "_cycles";
    }
    out << "\r\n";
    // Written a row at a time: `line` never holds more than one group.
    std::string line;
    std::string number;
    const auto count = [&](std::uint64_t value) {
        char text[24];
        number.assign(text, std::to_chars(std::begin(text), std::end(text), value).ptr);
        csv_field(line, number);
    };
    const auto fraction = [&](double value) {
        number.clear();
        append_shortest_double(number, value);
        csv_field(line, number);
    };
    for (const vorn_profile::GroupSummary& group : report.groups) {
        line.clear();
        csv_field(line, group.name, true);
        csv_field(line, joined_dimensions(group));
        count(group.sample_count);
        count(group.tile_count);
        count(group.phase_count);
        count(group.phase_cycles);
        fraction(group.phase_ms);
        count(group.work_cycles);
        fraction(group.average_active_tiles);
        fraction(group.mean_cycles);
        count(group.p50_cycles);
        count(group.p95_cycles);
        count(group.maximum_cycles);
        count(group.first_offset);
        count(group.last_offset);
        count(group.minimum_cycles);
        fraction(group.stddev_cycles);
        fraction(group.share);
        for (const std::uint32_t value : group.percentile_cycles) {
            count(value);
        }
        line += "\r\n";
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
    }
}

}  // namespace vorn_cli

// The report as JSON. Integers are written exactly and doubles in their shortest round-trip
// form, so that a script reading the output gets the library's values bit for bit.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>

#include "json_writer.hpp"
#include "output.hpp"

namespace vorn_cli {
namespace {

void write_group(std::string& out, const vorn_profile::GroupSummary& group, int indent) {
    ObjectWriter object(out, indent);
    object.member("name", group.name);
    object.key("dimensions");
    ObjectWriter dimensions(out, indent + 2);
    for (const auto& [name, value] : group.dimensions) {
        dimensions.member(name, value);
    }
    dimensions.close();
    object.member("sample_count", group.sample_count);
    object.member("tile_count", group.tile_count);
    object.member("phase_count", group.phase_count);
    object.member("phase_cycles", group.phase_cycles);
    object.member("phase_ms", group.phase_ms);
    object.member("work_cycles", group.work_cycles);
    object.member("average_active_tiles", group.average_active_tiles);
    object.member("mean_cycles", group.mean_cycles);
    object.member("p50_cycles", std::uint64_t{group.p50_cycles});
    object.member("p95_cycles", std::uint64_t{group.p95_cycles});
    object.member("maximum_cycles", std::uint64_t{group.maximum_cycles});
    object.member("first_offset", group.first_offset);
    object.member("last_offset", group.last_offset);
    object.close();
}

void write_sample(std::string& out, const vorn_profile::SampleRecord& sample, int indent) {
    ObjectWriter object(out, indent);
    object.member("physical_tile", std::uint64_t{sample.physical_tile});
    object.member("offset", sample.offset);
    object.member("duration", std::uint64_t{sample.duration});
    object.member("phase", std::uint64_t{sample.phase});
    object.member("epoch", std::uint64_t{sample.epoch});
    object.member("kind", sample.kind);
    object.member("operation", sample.operation);
    object.member("kernel", sample.kernel);
    object.key("metadata");
    array(out, sample.metadata, indent + 2, [&](const vorn_profile::MetadataEntry& entry, int) {
        out += "{\"name\": " + json_string(entry.name) +
               ", \"value\": " + json_string(entry.value) + "}";
    });
    object.close();
}

}  // namespace

std::string shortest_double(double value) {
    char text[32];
    const auto end = std::to_chars(std::begin(text), std::end(text), value).ptr;
    std::string result(text, end);
    if (result.find_first_not_of("-0123456789") == std::string::npos) {
        result += ".0";
    }
    return result;
}

std::string json_string(std::string_view text) {
    constexpr std::string_view kHex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xf];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

void write_json(std::ostream& out, const vorn_profile::QueryReport& report,
                const std::optional<vorn_profile::TimeWindow>& window) {
    std::string text;
    ObjectWriter object(text, 0);
    object.member("clock_hz", report.clock_hz);
    object.member("tile_count", report.tile_count);
    object.member("sample_count", report.sample_count);
    object.member("matched_sample_count", report.matched_sample_count);
    object.member("profile_span_cycles", report.profile_span_cycles);
    object.member("profile_span_ms", report.profile_span_ms);
    object.key("at_offset");
    text += report.at_offset ? std::to_string(*report.at_offset) : "null";
    if (window) {
        object.member("from", window->from);
        object.member("to", window->to);
    }
    object.key("groups");
    array(text, report.groups, 2, [&](const vorn_profile::GroupSummary& group, int indent) {
        write_group(text, group, indent);
    });
    object.key("samples");
    array(text, report.samples, 2, [&](const vorn_profile::SampleRecord& sample, int indent) {
        write_sample(text, sample, indent);
    });
    object.close();
    text += '\n';
    out << text;
}

}  // namespace vorn_cli

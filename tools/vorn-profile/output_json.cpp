// The report as JSON. Integers are written exactly and doubles in their shortest round-trip
// form, so that a script reading the output gets the library's values bit for bit.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "output.hpp"
#include "vorn_view/json_writer.hpp"

namespace vorn_cli {

using vorn_view::append_number;
using vorn_view::array;
using vorn_view::ObjectWriter;
namespace {

void write_group(std::string& out, const vorn_profile::GroupSummary& group, int indent) {
    ObjectWriter object(out, indent);
    object.member("name", group.name);
    object.field("dimensions");
    ObjectWriter dimensions(out, indent + 2);
    for (const auto& [name, value] : group.dimensions) {
        dimensions.key(name);
        append_json_string(out, value);
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
    object.field("metadata");
    array(out, sample.metadata, indent + 2, [&](const vorn_profile::MetadataEntry& entry, int) {
        out += "{\"name\": ";
        append_json_string(out, entry.name);
        out += ", \"value\": ";
        append_json_string(out, entry.value);
        out += '}';
    });
    object.close();
}

}  // namespace

void write_json(std::ostream& out, const vorn_profile::QueryReport& report,
                const std::optional<vorn_profile::TimeWindow>& window) {
    write_json(out, report, ListedSamples(report.samples), window);
}

void write_json(std::ostream& out, const vorn_profile::QueryReport& report,
                const ListedSamples& samples,
                const std::optional<vorn_profile::TimeWindow>& window) {
    // Written a group or a sample at a time: `text` never holds more than one of them.
    std::string text;
    ObjectWriter object(text, 0);
    object.member("clock_hz", report.clock_hz);
    object.member("tile_count", report.tile_count);
    object.member("sample_count", report.sample_count);
    object.member("matched_sample_count", report.matched_sample_count);
    object.member("profile_span_cycles", report.profile_span_cycles);
    object.member("profile_span_ms", report.profile_span_ms);
    object.field("at_offset");
    if (report.at_offset) {
        append_number(text, *report.at_offset);
    } else {
        text += "null";
    }
    if (window) {
        object.member("from", window->from);
        object.member("to", window->to);
    }
    object.field("groups");
    array(
        text, report.groups, 2,
        [&](const vorn_profile::GroupSummary& group, int indent) {
            write_group(text, group, indent);
        },
        &out);
    object.field("samples");
    array(
        text, samples, 2,
        [&](const vorn_profile::SampleRecord& sample, int indent) {
            write_sample(text, sample, indent);
        },
        &out);
    object.close();
    text += '\n';
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace vorn_cli

#include "samples.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "output.hpp"
#include "timeline.hpp"

namespace vorn_cli {
namespace {

// Rows are gathered into blocks of about this size before they are written.
constexpr std::size_t kBlock = std::size_t{1} << 16;
// Steps whose row endings are kept made: above this many, each is made per row instead, so
// that memory does not grow with a profile whose every step is distinct.
constexpr std::uint64_t kCachedSteps = std::uint64_t{1} << 20;

void append_number(std::string& out, std::uint64_t value) {
    char digits[20];
    out.append(digits, std::to_chars(std::begin(digits), std::end(digits), value).ptr);
}

void append_escaped_entry(std::string& out, std::string_view text) {
    for (const char c : text) {
        if (c == ';' || c == '=' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
}

/// What a row holds after `local_index`: operation, kernel and metadata, and the line end.
void append_step_end(std::string& out, const vorn_package::ProfileColumns& columns,
                     std::uint32_t step, SampleFormat format) {
    const std::string_view operation = columns.text(columns.step_operation[step]);
    const std::string_view kernel = columns.text(columns.step_kernel[step]);
    if (format == SampleFormat::Csv) {
        csv_field(out, operation);
        csv_field(out, kernel);
        std::string joined;
        for (const vorn_package::MetadataPair& entry : columns.step_metadata(step)) {
            if (!joined.empty()) {
                joined += ';';
            }
            append_escaped_entry(joined, columns.text(entry.name));
            joined += '=';
            append_escaped_entry(joined, columns.text(entry.value));
        }
        csv_field(out, joined);
        out += "\r\n";
        return;
    }
    out += ", \"operation\": ";
    append_json_string(out, operation);
    out += ", \"kernel\": ";
    append_json_string(out, kernel);
    out += ", \"metadata\": [";
    bool first = true;
    for (const vorn_package::MetadataPair& entry : columns.step_metadata(step)) {
        out += first ? "{\"name\": " : ", {\"name\": ";
        first = false;
        append_json_string(out, columns.text(entry.name));
        out += ", \"value\": ";
        append_json_string(out, columns.text(entry.value));
        out += '}';
    }
    out += "]}\n";
}

/// The part of a step inside the window, as the query counts it: a step of positive length
/// must overlap the window, a step of length 0 must start inside it.
bool clip(const vorn_profile::TimeWindow& window, std::uint64_t& offset, std::uint32_t& length) {
    if (length == 0) {
        return window.from <= offset && offset < window.to;
    }
    const std::uint64_t end = offset + length;
    if (offset >= window.to || end <= window.from) {
        return false;
    }
    offset = std::max(offset, window.from);
    length = static_cast<std::uint32_t>(std::min(end, window.to) - offset);
    return true;
}

}  // namespace

void write_samples(std::ostream& out, const vorn_package::ProfileColumns& columns,
                   const vorn_profile::Query& query, const vorn_profile::TimeWindow& window,
                   SampleFormat format) {
    const bool csv = format == SampleFormat::Csv;
    std::vector<std::string> step_ends;
    if (columns.step_count() <= kCachedSteps) {
        step_ends.resize(columns.step_count());
        for (std::uint32_t step = 0; step < columns.step_count(); ++step) {
            append_step_end(step_ends[step], columns, step, format);
        }
    }
    const SampleFilter filter(columns, query);
    std::string block;
    block.reserve(kBlock + 4096);
    if (csv) {
        block +=
            "physical_tile,offset,duration,kind,phase,epoch,local_index,operation,kernel,"
            "metadata\r\n";
    }
    std::string tile_start;
    for (std::uint64_t t = 0; t < columns.tile_count(); ++t) {
        const std::uint32_t physical = columns.tile_physical[t];
        const std::uint64_t begin = columns.tile_sample_begin[t];
        const std::uint64_t end = columns.tile_sample_begin[t + 1];
        if (begin == end || !filter.keeps_tile(physical)) {
            continue;
        }
        tile_start.clear();
        if (!csv) {
            tile_start += "{\"physical_tile\": ";
        }
        append_number(tile_start, physical);
        tile_start += csv ? "," : ", \"offset\": ";
        const std::uint32_t base = columns.start_cycle[begin];
        for (std::uint64_t at = begin; at < end; ++at) {
            std::uint64_t offset = static_cast<std::uint32_t>(columns.start_cycle[at] - base);
            std::uint32_t length = columns.end_cycle[at] - columns.start_cycle[at];
            if (!filter.passes(at, physical, offset, length) || !clip(window, offset, length)) {
                continue;
            }
            const std::uint32_t step = columns.step[at];
            const std::string_view kind = kind_text(columns.step_kind[step]);
            block += tile_start;
            append_number(block, offset);
            block += csv ? "," : ", \"duration\": ";
            append_number(block, length);
            if (csv) {
                block += ',';
                block += kind;
                block += ',';
            } else {
                block += ", \"kind\": \"";
                block += kind;
                block += "\", \"phase\": ";
            }
            append_number(block, columns.phase[at]);
            block += csv ? "," : ", \"epoch\": ";
            append_number(block, columns.epoch[at]);
            block += csv ? "," : ", \"local_index\": ";
            append_number(block, columns.local_index[at]);
            if (step_ends.empty()) {
                append_step_end(block, columns, step, format);
            } else {
                block += step_ends[step];
            }
            if (block.size() >= kBlock) {
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
                block.clear();
            }
        }
    }
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
}

}  // namespace vorn_cli

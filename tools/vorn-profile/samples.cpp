#include "samples.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "output.hpp"
#include "vorn_view/timeline.hpp"

namespace vorn_cli {
namespace {

using vorn_view::kind_text;
using vorn_view::SampleFilter;

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
    const bool filtering = query.kind || query.kernel || query.operation_contains ||
                           !query.tiles.empty() || !query.phases.empty() ||
                           !query.metadata.empty() || query.at_offset || !query.epochs.empty() ||
                           query.kernel_matches || query.operation_matches ||
                           !query.exclude_kinds.empty() || !query.exclude_kernels.empty();
    // Rows are put together in one buffer with plain copies: a row is a few dozen bytes, and
    // the appends of a string would cost more than the digits.
    std::vector<char> block(kBlock + 4096);
    char* at = block.data();
    const auto room = [&](std::size_t bytes) {
        if (static_cast<std::size_t>(block.data() + block.size() - at) < bytes) {
            out.write(block.data(), at - block.data());
            at = block.data();
            if (block.size() < bytes) {
                block.resize(bytes);
                at = block.data();
            }
        }
    };
    const auto put = [&](std::string_view text) {
        std::memcpy(at, text.data(), text.size());
        at += text.size();
    };
    const auto put_number = [&](std::uint64_t value) {
        at = std::to_chars(at, at + 20, value).ptr;
    };
    if (csv) {
        put("physical_tile,offset,duration,kind,phase,epoch,local_index,operation,kernel,"
            "metadata\r\n");
    }
    const std::string_view duration_key = csv ? "," : ", \"duration\": ";
    const std::string_view phase_key = csv ? "," : "\", \"phase\": ";
    const std::string_view epoch_key = csv ? "," : ", \"epoch\": ";
    const std::string_view local_key = csv ? "," : ", \"local_index\": ";
    const std::string_view kind_key = csv ? "," : ", \"kind\": \"";
    std::string tile_start;
    std::string step_end;
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
        for (std::uint64_t sample = begin; sample < end; ++sample) {
            std::uint64_t offset = static_cast<std::uint32_t>(columns.start_cycle[sample] - base);
            std::uint32_t length = columns.end_cycle[sample] - columns.start_cycle[sample];
            if (filtering && !filter.passes(sample, physical, offset, length)) {
                continue;
            }
            if (!clip(window, offset, length)) {
                continue;
            }
            const std::uint32_t step = columns.step[sample];
            std::string_view ending;
            if (step_ends.empty()) {
                step_end.clear();
                append_step_end(step_end, columns, step, format);
                ending = step_end;
            } else {
                ending = step_ends[step];
            }
            const std::string_view kind = kind_text(columns.step_kind[step]);
            room(tile_start.size() + 5 * 20 + 64 + kind.size() + ending.size());
            put(tile_start);
            put_number(offset);
            put(duration_key);
            put_number(length);
            put(kind_key);
            put(kind);
            put(phase_key);
            put_number(columns.phase[sample]);
            put(epoch_key);
            put_number(columns.epoch[sample]);
            put(local_key);
            put_number(columns.local_index[sample]);
            put(ending);
        }
    }
    out.write(block.data(), at - block.data());
}

}  // namespace vorn_cli

// Streams a profile as one JSON document in the stored layout. Output goes through a local
// buffer that is handed to the stream in large blocks; no tree of the document is built.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string_view>
#include <vector>

#include "vorn_package/profile_json.hpp"

namespace vorn_package {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
// Room for the longest single item appended without a capacity check (an integer or an escape).
constexpr std::size_t kSlack = 32;

class JsonSink {
public:
    explicit JsonSink(std::ostream& out) : out_(out) {}
    JsonSink(const JsonSink&) = delete;
    JsonSink& operator=(const JsonSink&) = delete;
    ~JsonSink() { flush(); }

    void raw(std::string_view text) {
        while (!text.empty()) {
            reserve(1);
            const std::size_t n = std::min(text.size(), kBufferSize - used_);
            std::memcpy(buffer_.data() + used_, text.data(), n);
            used_ += n;
            text.remove_prefix(n);
        }
    }

    void number(std::uint64_t value) {
        reserve(kSlack);
        char* begin = buffer_.data() + used_;
        used_ += static_cast<std::size_t>(std::to_chars(begin, begin + kSlack, value).ptr - begin);
    }

    void string(std::string_view text) {
        raw_char('"');
        std::size_t run = 0;  // start of the pending run of bytes that need no escape
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text[i]);
            if (byte >= 0x20 && byte != '"' && byte != '\\') {
                continue;
            }
            raw(text.substr(run, i - run));
            escape(byte);
            run = i + 1;
        }
        raw(text.substr(run));
        raw_char('"');
    }

    void flush() {
        if (used_ != 0) {
            out_.write(buffer_.data(), static_cast<std::streamsize>(used_));
            used_ = 0;
        }
    }

private:
    void reserve(std::size_t n) {
        if (kBufferSize - used_ < n) {
            flush();
        }
    }

    void raw_char(char c) {
        reserve(1);
        buffer_[used_++] = c;
    }

    void escape(unsigned char byte) {
        reserve(kSlack);
        char* out = buffer_.data() + used_;
        char short_form = 0;
        switch (byte) {
            case '"':
                short_form = '"';
                break;
            case '\\':
                short_form = '\\';
                break;
            case '\b':
                short_form = 'b';
                break;
            case '\f':
                short_form = 'f';
                break;
            case '\n':
                short_form = 'n';
                break;
            case '\r':
                short_form = 'r';
                break;
            case '\t':
                short_form = 't';
                break;
            default:
                break;
        }
        out[0] = '\\';
        if (short_form != 0) {
            out[1] = short_form;
            used_ += 2;
            return;
        }
        constexpr std::string_view kHex = "0123456789abcdef";
        out[1] = 'u';
        out[2] = '0';
        out[3] = '0';
        out[4] = kHex[byte >> 4];
        out[5] = kHex[byte & 0xf];
        used_ += 6;
    }

    std::ostream& out_;
    std::array<char, kBufferSize> buffer_{};
    std::size_t used_ = 0;
};

std::string_view kind_name(ProfileStepKind kind) {
    switch (kind) {
        case ProfileStepKind::Exchange:
            return "exchange";
        case ProfileStepKind::Compute:
            return "compute";
        case ProfileStepKind::Synchronization:
            return "synchronization";
        case ProfileStepKind::Idle:
            return "idle";
    }
    return "exchange";  // not reached for a valid enumerator
}

void write_metadata(JsonSink& sink, const std::vector<ProfileMetadata>& metadata) {
    if (metadata.empty()) {
        sink.raw("[]");
        return;
    }
    sink.raw("[ ");
    for (std::size_t i = 0; i < metadata.size(); ++i) {
        sink.raw(i == 0 ? "{ \"name\": " : ", { \"name\": ");
        sink.string(metadata[i].name);
        sink.raw(", \"value\": ");
        sink.string(metadata[i].value);
        sink.raw(" }");
    }
    sink.raw(" ]");
}

void write_sample(JsonSink& sink, const CycleSample& sample) {
    const ProfileStep& step = sample.step;
    sink.raw("        {\n          \"start_cycle\": ");
    sink.number(sample.start_cycle);
    sink.raw(",\n          \"end_cycle\": ");
    sink.number(sample.end_cycle);
    sink.raw(",\n          \"step\": {\n            \"local_index\": ");
    sink.number(step.local_index);
    sink.raw(",\n            \"phase\": ");
    sink.number(step.phase);
    sink.raw(",\n            \"epoch\": ");
    sink.number(step.epoch);
    sink.raw(",\n            \"operation\": ");
    sink.string(step.operation);
    sink.raw(",\n            \"kind\": \"");
    sink.raw(kind_name(step.kind));
    sink.raw("\",\n            \"kernel\": ");
    sink.string(step.kernel);
    sink.raw(",\n            \"metadata\": ");
    write_metadata(sink, step.metadata);
    sink.raw("\n          }\n        }");
}

void write_tile(JsonSink& sink, const TileProfile& tile) {
    sink.raw("    {\n      \"physical_tile\": ");
    sink.number(tile.physical_tile);
    if (tile.samples.empty()) {
        sink.raw(",\n      \"samples\": []\n    }");
        return;
    }
    sink.raw(",\n      \"samples\": [\n");
    for (std::size_t i = 0; i < tile.samples.size(); ++i) {
        if (i != 0) {
            sink.raw(",\n");
        }
        write_sample(sink, tile.samples[i]);
    }
    sink.raw("\n      ]\n    }");
}

}  // namespace

void write_profile_json(std::ostream& out, const ProfileReport& report) {
    JsonSink sink(out);
    sink.raw("{\n  \"format\": \"vorn-profile\",\n  \"version\": 1,\n  \"clock_hz\": ");
    sink.number(report.clock_hz);
    if (report.tiles.empty()) {
        sink.raw(",\n  \"tiles\": []\n}\n");
        return;
    }
    sink.raw(",\n  \"tiles\": [\n");
    for (std::size_t i = 0; i < report.tiles.size(); ++i) {
        if (i != 0) {
            sink.raw(",\n");
        }
        write_tile(sink, report.tiles[i]);
    }
    sink.raw("\n  ]\n}\n");
}

}  // namespace vorn_package

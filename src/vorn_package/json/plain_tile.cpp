// The quick reader of tiles written the usual way.
#include "vorn_package/json/plain_tile.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

namespace vorn_package::json {
namespace {

// Reads tokens from `p` up to `end`; each step returns false on anything unusual.
class PlainScanner {
public:
    PlainScanner(const char* p, const char* end) : p_(p), end_(end) {}

    bool at_end() {
        skip_space();
        return p_ == end_;
    }

    bool punct(char c) {
        skip_space();
        if (p_ == end_ || *p_ != c) {
            return false;
        }
        ++p_;
        return true;
    }

    // A member name written as `name` and its colon.
    template <std::size_t N>
    bool key(const char (&name)[N]) {
        skip_space();
        if (end_ - p_ < static_cast<std::ptrdiff_t>(N + 1) || *p_ != '"' ||
            !std::equal(name, name + N - 1, p_ + 1) || p_[N] != '"') {
            return false;
        }
        p_ += N + 1;
        return punct(':');
    }

    // Plain digits without a leading zero, within 32 bits.
    bool u32(std::uint32_t& out) {
        skip_space();
        const char* start = p_;
        std::uint64_t value = 0;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9' && p_ - start <= 10) {
            value = value * 10 + static_cast<std::uint64_t>(*p_ - '0');
            ++p_;
        }
        const std::ptrdiff_t digits = p_ - start;
        if (digits == 0 || digits > 10 || (*start == '0' && digits > 1) ||
            value > std::numeric_limits<std::uint32_t>::max()) {
            return false;
        }
        out = static_cast<std::uint32_t>(value);
        return true;
    }

    // A string of printable ASCII without escapes.
    bool text(std::string_view& out) {
        skip_space();
        if (p_ == end_ || *p_ != '"') {
            return false;
        }
        const char* start = ++p_;
        while (p_ != end_ && *p_ >= 0x20 && *p_ < 0x7f && *p_ != '"' && *p_ != '\\') {
            ++p_;
        }
        if (p_ == end_ || *p_ != '"') {
            return false;
        }
        out = std::string_view(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
    }

    bool kind(ProfileStepKind& out) {
        std::string_view name;
        if (!text(name)) {
            return false;
        }
        if (name == "compute") {
            out = ProfileStepKind::Compute;
        } else if (name == "exchange") {
            out = ProfileStepKind::Exchange;
        } else if (name == "synchronization") {
            out = ProfileStepKind::Synchronization;
        } else if (name == "idle") {
            out = ProfileStepKind::Idle;
        } else {
            return false;
        }
        return true;
    }

private:
    void skip_space() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
            ++p_;
        }
    }

    const char* p_;
    const char* end_;
};

// A tile's samples are all held until it has been read, so a larger tile is left to the general
// parser, which hands them over one by one: the memory held here stays small.
constexpr std::ptrdiff_t kLargestTile = std::ptrdiff_t{16} << 20;

}  // namespace

bool PlainTileReader::read(const char* open, const char* close, ProfileSink& sink) {
    if (close - open > kLargestTile) {
        return false;
    }
    samples_.clear();
    metadata_.clear();
    metadata_begin_.clear();
    PlainScanner s(open, close + 1);
    std::uint32_t physical = 0;
    if (!s.punct('{') || !s.key("physical_tile") || !s.u32(physical) || !s.punct(',') ||
        !s.key("samples") || !s.punct('[')) {
        return false;
    }
    if (!s.punct(']')) {
        do {
            SampleFields& f = samples_.emplace_back();
            metadata_begin_.push_back(metadata_.size());
            if (!s.punct('{') || !s.key("start_cycle") || !s.u32(f.start_cycle) || !s.punct(',') ||
                !s.key("end_cycle") || !s.u32(f.end_cycle) || !s.punct(',') || !s.key("step") ||
                !s.punct('{') || !s.key("local_index") || !s.u32(f.local_index) || !s.punct(',') ||
                !s.key("phase") || !s.u32(f.phase) || !s.punct(',') || !s.key("epoch") ||
                !s.u32(f.epoch) || !s.punct(',') || !s.key("operation") || !s.text(f.operation) ||
                !s.punct(',') || !s.key("kind") || !s.kind(f.kind) || !s.punct(',') ||
                !s.key("kernel") || !s.text(f.kernel) || !s.punct(',') || !s.key("metadata") ||
                !s.punct('[')) {
                return false;
            }
            if (!s.punct(']')) {
                do {
                    MetadataText& entry = metadata_.emplace_back();
                    if (!s.punct('{') || !s.key("name") || !s.text(entry.name) || !s.punct(',') ||
                        !s.key("value") || !s.text(entry.value) || !s.punct('}')) {
                        return false;
                    }
                } while (s.punct(','));
                if (!s.punct(']')) {
                    return false;
                }
            }
            if (!s.punct('}') || !s.punct('}')) {
                return false;
            }
        } while (s.punct(','));
        if (!s.punct(']')) {
            return false;
        }
    }
    if (!s.punct('}') || !s.at_end()) {
        return false;
    }
    sink.set_physical_tile(physical);
    metadata_begin_.push_back(metadata_.size());
    for (std::size_t i = 0; i < samples_.size(); ++i) {
        samples_[i].metadata = std::span<const MetadataText>(metadata_).subspan(
            metadata_begin_[i], metadata_begin_[i + 1] - metadata_begin_[i]);
        sink.add_sample(samples_[i]);
    }
    return true;
}

}  // namespace vorn_package::json

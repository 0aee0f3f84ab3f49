// The tile parser, for one simdjson kernel: included once per kernel by tile_parser_<kernel>.cpp
// with SIMDJSON_BUILTIN_IMPLEMENTATION and VORN_JSON_KERNEL naming it, so that simdjson's
// On-Demand code here is that kernel's (simdjson::<kernel>::ondemand) and so is everything of
// ours, which lives in a namespace of the kernel's name. Types used in templates are the
// kernel's own, so that no out-of-line copy of a template is shared between kernels.
//
// Member names are compared with the format's names as written; only a name that matches none
// of them is decoded (escapes may still spell one). Numbers and strings are read from the raw
// tokens, so every fault is reported with the same text as the byte-level checker gives.
#ifndef VORN_JSON_KERNEL
#error "define VORN_JSON_KERNEL and SIMDJSON_BUILTIN_IMPLEMENTATION before including this file"
#endif

#define SIMDJSON_EXCEPTIONS 0
#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "vorn_package/json/tile_parser.hpp"

namespace vorn_package::json::VORN_JSON_KERNEL {

namespace ondemand = simdjson::VORN_JSON_KERNEL::ondemand;
static_assert(std::is_same_v<ondemand::parser, simdjson::ondemand::parser>,
              "the On-Demand code compiled here is not the kernel's");

constexpr std::size_t kTileDepth = 3;  // root object, `tiles` array, tile

// A member name inside a tile, compared with the format's names as written.
class MemberName {
public:
    explicit MemberName(const char* raw) : raw_(raw) {}

    template <std::size_t N>
    bool is(const char (&name)[N]) const {
        if (decoded_ != nullptr) {
            return *decoded_ == std::string_view(name, N - 1);
        }
        // The name's last letter is no backslash, so a quote after it closes the string.
        return std::memcmp(raw_, name, N - 1) == 0 && raw_[N - 1] == '"';
    }

    const char* raw() const { return raw_; }
    void set_decoded(const std::string* decoded) { decoded_ = decoded; }

private:
    const char* raw_;  // just past the opening quote
    const std::string* decoded_ = nullptr;
};

// A decoded text, kept until the sample it belongs to is handed over.
struct Decoded {
    std::string text;
};

class KernelTileParser final : public TileParser {
public:
    bool read(Cursor& cursor, const char* open, const char* close, ProfileSink& sink) override {
        cursor_ = &cursor;
        sink_ = &sink;
        const std::size_t base = cursor.depth();
        simdjson_error_ = simdjson::SUCCESS;
        const auto length = static_cast<std::size_t>(close + 1 - open);
        const auto capacity = static_cast<std::size_t>(cursor.readable_end() - open);
        bool ok = false;
        ondemand::document document;
        if (auto error = parser_.iterate(open, length, capacity).get(document); error) {
            ok = broken(error);
        } else {
            ondemand::object object;
            if (auto error = document.get_object().get(object); error) {
                ok = broken(error);
            } else {
                ok = read_tile_members(object, open);
                if (ok && document.current_location().error() != simdjson::OUT_OF_BOUNDS) {
                    ok = broken(simdjson::TRAILING_CONTENT);
                }
            }
        }
        if (ok || cursor.failed()) {
            return ok;
        }
        // simdjson stopped on malformed JSON; let the checker find and name the fault.
        cursor.truncate(base);
        const char* p = open;
        if (!cursor.check_value(p, kTileDepth)) {
            return false;
        }
        cursor.truncate(base);
        return cursor.fail(
            open, std::string("malformed tile (") + simdjson::error_message(simdjson_error_) + ")");
    }

private:
    // A syntax error that simdjson found; `read` turns it into an error of the checker's.
    bool broken(simdjson::error_code code) {
        simdjson_error_ = code;
        return false;
    }

    bool expected(const char* at, std::string_view what) { return cursor_->expected(at, what); }

    // Duplicate check for a member name the format does not define, then the value check.
    bool skip_unknown(const Key& key, ondemand::value& value, NameSet& names, std::size_t depth) {
        if (!names.insert(key.name)) {
            return cursor_->duplicate(key);
        }
        const char* p = value.raw_json_token().data();
        return cursor_->check_value(p, depth);
    }

    // Marks a known member as seen; a second one is an error.
    bool first_time(bool& seen, const MemberName& name) {
        if (!std::exchange(seen, true)) {
            return true;
        }
        const char* p = name.raw() - 1;
        Key key;
        return cursor_->read_key_text(p, key, false) && cursor_->duplicate(key);
    }

    template <class ReadMember>
    bool for_each_member(ondemand::value& value, std::string_view what, std::size_t depth,
                         const char*& at, ReadMember&& read_member) {
        at = value.raw_json_token().data();
        if (*at != '{') {
            return expected(at, what);
        }
        ondemand::object object;
        if (auto error = value.get_object().get(object); error) {
            return broken(error);
        }
        return members(object, depth, read_member);
    }

    template <class ReadMember>
    bool members(ondemand::object& object, std::size_t depth, ReadMember& read_member) {
        // The names the format does not define, looked up once the object has one: most have
        // none.
        NameSet* unknown = nullptr;
        for (auto result : object) {
            ondemand::field field;
            if (auto error = std::move(result).get(field); error) {
                return broken(error);
            }
            MemberName name(field.key().raw());
            cursor_->push_key(name.raw());
            ondemand::value& value = field.value();
            int known = read_member(name, value);
            if (known == 0) {
                const char* p = name.raw() - 1;
                Key key;
                if (!cursor_->read_key_text(p, key, false)) {
                    return false;
                }
                if (key.name.data() != key.raw.data()) {
                    decoded_name_.text.assign(key.name);
                    name.set_decoded(&decoded_name_.text);
                    known = read_member(name, value);
                }
                if (known == 0) {
                    if (unknown == nullptr) {
                        unknown = &cursor_->names_at(depth);
                        unknown->clear();
                    }
                    if (!skip_unknown(key, value, *unknown, depth + 1)) {
                        return false;
                    }
                }
            }
            if (known < 0) {
                return false;
            }
            cursor_->pop();
        }
        return true;
    }

    bool read_tile_members(ondemand::object& object, const char* at) {
        bool have_physical = false;
        bool have_samples = false;
        auto member = [&](const MemberName& key, ondemand::value& value) -> int {
            if (key.is("physical_tile")) {
                std::uint32_t physical = 0;
                if (!first_time(have_physical, key) || !read_u32(value, physical)) {
                    return -1;
                }
                sink_->set_physical_tile(physical);
                return 1;
            }
            if (key.is("samples")) {
                return first_time(have_samples, key) && read_samples(value) ? 1 : -1;
            }
            return 0;
        };
        if (!members(object, kTileDepth, member)) {
            return false;
        }
        if (!have_physical) {
            return cursor_->missing(at, "physical_tile");
        }
        if (!have_samples) {
            return cursor_->missing(at, "samples");
        }
        return true;
    }

    template <class ReadElement>
    bool for_each_element(ondemand::value& value, std::string_view what,
                          ReadElement&& read_element) {
        const char* at = value.raw_json_token().data();
        if (*at != '[') {
            return expected(at, what);
        }
        ondemand::array array;
        if (auto error = value.get_array().get(array); error) {
            return broken(error);
        }
        cursor_->push_index();
        for (auto result : array) {
            ondemand::value element;
            if (auto error = std::move(result).get(element); error) {
                return broken(error);
            }
            if (!read_element(element)) {
                return false;
            }
            ++cursor_->back().index;
        }
        cursor_->pop();
        return true;
    }

    bool read_samples(ondemand::value& value) {
        return for_each_element(value, "an array of samples",
                                [&](ondemand::value& element) { return read_sample(element); });
    }

    bool read_sample(ondemand::value& value) {
        SampleFields sample;
        decoded_used_ = 0;
        metadata_used_ = 0;
        bool have_start = false;
        bool have_end = false;
        bool have_step = false;
        auto member = [&](const MemberName& key, ondemand::value& member_value) -> int {
            if (key.is("start_cycle")) {
                return first_time(have_start, key) && read_u32(member_value, sample.start_cycle)
                           ? 1
                           : -1;
            }
            if (key.is("end_cycle")) {
                return first_time(have_end, key) && read_u32(member_value, sample.end_cycle) ? 1
                                                                                             : -1;
            }
            if (key.is("step")) {
                return first_time(have_step, key) && read_step(member_value, sample) ? 1 : -1;
            }
            return 0;
        };
        const char* at = nullptr;
        if (!for_each_member(value, "a sample object", kTileDepth + 2, at, member)) {
            return false;
        }
        if (!have_start) {
            return cursor_->missing(at, "start_cycle");
        }
        if (!have_end) {
            return cursor_->missing(at, "end_cycle");
        }
        if (!have_step) {
            return cursor_->missing(at, "step");
        }
        sink_->add_sample(sample);
        return true;
    }

    bool read_step(ondemand::value& value, SampleFields& step) {
        bool have_local = false;
        bool have_phase = false;
        bool have_epoch = false;
        bool have_operation = false;
        bool have_kind = false;
        bool have_kernel = false;
        bool have_metadata = false;
        auto member = [&](const MemberName& key, ondemand::value& member_value) -> int {
            bool ok = false;
            if (key.is("local_index")) {
                ok = first_time(have_local, key) && read_u32(member_value, step.local_index);
            } else if (key.is("phase")) {
                ok = first_time(have_phase, key) && read_u32(member_value, step.phase);
            } else if (key.is("epoch")) {
                ok = first_time(have_epoch, key) && read_u32(member_value, step.epoch);
            } else if (key.is("operation")) {
                ok = first_time(have_operation, key) &&
                     read_string_view(member_value, step.operation);
            } else if (key.is("kind")) {
                ok = first_time(have_kind, key) && read_kind(member_value, step.kind);
            } else if (key.is("kernel")) {
                ok = first_time(have_kernel, key) && read_string_view(member_value, step.kernel);
            } else if (key.is("metadata")) {
                ok = first_time(have_metadata, key) && read_metadata(member_value, step);
            } else {
                return 0;
            }
            return ok ? 1 : -1;
        };
        const char* at = nullptr;
        if (!for_each_member(value, "a step object", kTileDepth + 3, at, member)) {
            return false;
        }
        if (!have_phase) {
            return cursor_->missing(at, "phase");
        }
        if (!have_operation) {
            return cursor_->missing(at, "operation");
        }
        if (!have_kind) {
            return cursor_->missing(at, "kind");
        }
        return true;
    }

    bool read_metadata(ondemand::value& value, SampleFields& step) {
        const std::size_t first = metadata_used_;
        const bool ok =
            for_each_element(value, "an array of metadata entries", [&](ondemand::value& element) {
                MetadataText& entry = next_metadata();
                bool have_name = false;
                bool have_value = false;
                auto member = [&](const MemberName& key, ondemand::value& member_value) -> int {
                    if (key.is("name")) {
                        return first_time(have_name, key) &&
                                       read_string_view(member_value, entry.name)
                                   ? 1
                                   : -1;
                    }
                    if (key.is("value")) {
                        return first_time(have_value, key) &&
                                       read_string_view(member_value, entry.value)
                                   ? 1
                                   : -1;
                    }
                    return 0;
                };
                const char* at = nullptr;
                if (!for_each_member(element, "a metadata object", kTileDepth + 5, at, member)) {
                    return false;
                }
                if (!have_name) {
                    return cursor_->missing(at, "name");
                }
                return have_value || cursor_->missing(at, "value");
            });
        step.metadata = {metadata_.get() + first, metadata_used_ - first};
        return ok;
    }

    // The next metadata entry of the sample; the array grows by doubling.
    MetadataText& next_metadata() {
        if (metadata_used_ == metadata_capacity_) {
            const std::size_t capacity = std::max<std::size_t>(16, metadata_capacity_ * 2);
            std::unique_ptr<MetadataText[]> grown(new MetadataText[capacity]);
            std::copy(metadata_.get(), metadata_.get() + metadata_used_, grown.get());
            metadata_ = std::move(grown);
            metadata_capacity_ = capacity;
        }
        return metadata_[metadata_used_++] = {};
    }

    bool read_u32(ondemand::value& value, std::uint32_t& out) {
        const std::string_view token = trim_space(value.raw_json_token());
        std::uint64_t number = 0;
        if (!parse_plain_unsigned(token, std::numeric_limits<std::uint32_t>::max(), number)) {
            return expected(token.data(), "an unsigned 32-bit integer");
        }
        out = static_cast<std::uint32_t>(number);
        return true;
    }

    // The decoded text of a string value: a view of the input when it holds no escapes,
    // otherwise of a buffer kept until the sample is handed over.
    bool read_string_view(ondemand::value& value, std::string_view& out) {
        const std::string_view token = trim_space(value.raw_json_token());
        if (token.size() < 2 || token.front() != '"' || token.back() != '"') {
            return token.empty() || token.front() != '"' ? expected(token.data(), "a string")
                                                         : broken(simdjson::STRING_ERROR);
        }
        const std::string_view body = token.substr(1, token.size() - 2);
        // Most strings are short; a plain loop beats a call to memchr here.
        if (std::find(body.begin(), body.end(), '\\') == body.end()) {
            out = body;
            return true;
        }
        if (decoded_used_ == decoded_.size()) {
            decoded_.emplace_back();
        }
        std::string& buffer = decoded_[decoded_used_++].text;
        buffer.clear();
        const char* p = body.data();
        if (auto fault = scan_string(p, cursor_->end(), &buffer, false)) {
            return cursor_->fail(std::move(*fault));
        }
        if (p != body.data() + body.size()) {
            return broken(simdjson::STRING_ERROR);
        }
        out = buffer;
        return true;
    }

    bool read_kind(ondemand::value& value, ProfileStepKind& kind) {
        const char* at = value.raw_json_token().data();
        std::string_view text;
        if (!read_string_view(value, text)) {
            return false;
        }
        if (text == "exchange") {
            kind = ProfileStepKind::Exchange;
        } else if (text == "compute") {
            kind = ProfileStepKind::Compute;
        } else if (text == "synchronization") {
            kind = ProfileStepKind::Synchronization;
        } else if (text == "idle") {
            kind = ProfileStepKind::Idle;
        } else {
            return cursor_->fail(at,
                                 "unknown kind " + quote_text(text) +
                                     ", expected \"exchange\", \"compute\", \"synchronization\" "
                                     "or \"idle\"");
        }
        return true;
    }

    Cursor* cursor_ = nullptr;
    ProfileSink* sink_ = nullptr;
    simdjson::error_code simdjson_error_ = simdjson::SUCCESS;
    ondemand::parser parser_;
    Decoded decoded_name_;
    std::deque<Decoded> decoded_;  // a deque, so that a text stays in place as more are added
    std::size_t decoded_used_ = 0;
    std::unique_ptr<MetadataText[]> metadata_;
    std::size_t metadata_capacity_ = 0;
    std::size_t metadata_used_ = 0;
};

std::unique_ptr<TileParser> make_tile_parser() { return std::make_unique<KernelTileParser>(); }

}  // namespace vorn_package::json::VORN_JSON_KERNEL

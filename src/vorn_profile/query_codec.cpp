// The fields of a query as bytes. `query_fields` is the one list of them: a field added to
// `Query` gets a line there with the next tag (tags never change meaning), and its type a pair
// of `put` and `get` below if it is of a new kind.
#include "query_codec.hpp"

#include <simdjson.h>

#include <string>
#include <type_traits>
#include <vector>

namespace vorn_profile::detail {
namespace {

/// Calls `field(tag, name, value)` for every field of `query`, in tag order.
template <class QueryType, class Field>
void query_fields(QueryType& query, Field&& field) {
    field(1, "group_by", query.group_by);
    field(2, "sort_by", query.sort_by);
    field(3, "kind", query.kind);
    field(4, "kernel", query.kernel);
    field(5, "operation_contains", query.operation_contains);
    field(6, "tiles", query.tiles);
    field(7, "phases", query.phases);
    field(8, "metadata", query.metadata);
    field(9, "metadata_key", query.metadata_key);
    field(10, "at_offset", query.at_offset);
    field(11, "limit", query.limit);
    field(12, "sample_limit", query.sample_limit);
}

// The last value of each enumeration a query holds, for checking one read back.
constexpr GroupBy last_value(GroupBy) { return GroupBy::Metadata; }
constexpr SortBy last_value(SortBy) { return SortBy::Name; }
constexpr StepKind last_value(StepKind) { return StepKind::Idle; }

// ---- Writing ------------------------------------------------------------------------------

void put(ByteWriter& out, std::uint32_t value) { out.u32(value); }
void put(ByteWriter& out, std::uint64_t value) { out.u64(value); }
void put(ByteWriter& out, const std::string& value) { out.text(value); }
template <class E>
requires std::is_enum_v<E>
void put(ByteWriter& out, E value) { out.u8(static_cast<std::uint8_t>(value)); }
void put(ByteWriter& out, const MetadataFilter& filter);
template <class T>
void put(ByteWriter& out, const std::optional<T>& value);
template <class T>
void put(ByteWriter& out, const std::set<T>& values);
template <class T>
void put(ByteWriter& out, const std::vector<T>& values);

void put(ByteWriter& out, const MetadataFilter& filter) {
    put(out, filter.name);
    put(out, filter.value);
}
template <class T>
void put(ByteWriter& out, const std::optional<T>& value) {
    out.u8(value ? 1 : 0);
    if (value) {
        put(out, *value);
    }
}
template <class T>
void put(ByteWriter& out, const std::set<T>& values) {
    out.u64(values.size());
    for (const T& value : values) {
        put(out, value);
    }
}
template <class T>
void put(ByteWriter& out, const std::vector<T>& values) {
    out.u64(values.size());
    for (const T& value : values) {
        put(out, value);
    }
}

// ---- Reading ------------------------------------------------------------------------------

bool get(ByteReader& in, std::uint32_t& value) {
    value = in.u32();
    return !in.failed();
}
bool get(ByteReader& in, std::uint64_t& value) {
    value = in.u64();
    return !in.failed();
}
bool get(ByteReader& in, std::string& value) {
    const std::uint64_t at = in.position();
    const std::string_view text = in.text();
    if (in.failed()) {
        return false;
    }
    if (!valid_utf8(text)) {
        return in.fail(at, "a text that is not valid UTF-8");
    }
    value = text;
    return true;
}
template <class E>
requires std::is_enum_v<E>
bool get(ByteReader& in, E& value) {
    const std::uint64_t at = in.position();
    const std::uint8_t number = in.u8();
    if (in.failed()) {
        return false;
    }
    if (number > static_cast<std::uint8_t>(last_value(E{}))) {
        return in.fail(at, "value " + std::to_string(number) + " out of range (0 to " +
                               std::to_string(static_cast<int>(last_value(E{}))) + ")");
    }
    value = static_cast<E>(number);
    return true;
}
bool get(ByteReader& in, MetadataFilter& filter);
template <class T>
bool get(ByteReader& in, std::optional<T>& value);
template <class T>
bool get(ByteReader& in, std::set<T>& values);
template <class T>
bool get(ByteReader& in, std::vector<T>& values);

bool get(ByteReader& in, MetadataFilter& filter) {
    return get(in, filter.name) && get(in, filter.value);
}
template <class T>
bool get(ByteReader& in, std::optional<T>& value) {
    const std::uint64_t at = in.position();
    const std::uint8_t present = in.u8();
    if (in.failed()) {
        return false;
    }
    if (present > 1) {
        return in.fail(at, "presence flag " + std::to_string(present) + " (0 or 1)");
    }
    value.reset();
    if (present == 1) {
        return get(in, value.emplace());
    }
    return true;
}
template <class T>
bool get(ByteReader& in, std::set<T>& values) {
    values.clear();
    const std::uint64_t count = in.count(1, "values");
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = in.position();
        T value{};
        if (!get(in, value)) {
            return false;
        }
        // A set is written in ascending order, each value once.
        if (!values.empty() && !(*values.rbegin() < value)) {
            return in.fail(at, "a set's values are not in strictly ascending order");
        }
        values.insert(values.end(), std::move(value));
    }
    return !in.failed();
}
template <class T>
bool get(ByteReader& in, std::vector<T>& values) {
    values.clear();
    const std::uint64_t count = in.count(1, "values");
    values.resize(static_cast<std::size_t>(count));
    for (T& value : values) {
        if (!get(in, value)) {
            return false;
        }
    }
    return !in.failed();
}

/// Each field's value alone as bytes, in tag order, and the fields' names.
struct EncodedFields {
    std::vector<std::string> values;
    std::vector<std::string_view> names;
};

EncodedFields encode_fields(const Query& query) {
    EncodedFields fields;
    query_fields(query, [&](std::uint16_t, std::string_view name, const auto& value) {
        std::string bytes;
        ByteWriter out(bytes);
        put(out, value);
        fields.values.push_back(std::move(bytes));
        fields.names.push_back(name);
    });
    return fields;
}

}  // namespace

bool valid_utf8(std::string_view text) { return simdjson::validate_utf8(text.data(), text.size()); }

void encode_query(ByteWriter& out, const Query& query) {
    std::uint32_t count = 0;
    query_fields(query, [&](std::uint16_t, std::string_view, const auto&) { ++count; });
    out.u32(count);
    query_fields(query, [&](std::uint16_t tag, std::string_view, const auto& value) {
        out.u16(tag);
        const std::size_t length_at = out.size();
        out.u64(0);
        put(out, value);
        out.patch_u64(length_at, out.size() - length_at - 8);
    });
}

bool decode_query(ByteReader& in, Query& query) {
    query = Query{};
    const std::uint64_t count_at = in.position();
    const std::uint32_t count = in.u32();
    if (in.failed()) {
        return false;
    }
    constexpr std::uint64_t kFieldHead = 2 + 8;  // tag and length
    if (count > in.left() / kFieldHead) {
        return in.fail(count_at, std::to_string(count) + " query fields cannot fit in the " +
                                     std::to_string(in.left()) + " bytes left");
    }
    int previous = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t tag_at = in.position();
        const std::uint16_t tag = in.u16();
        const std::uint64_t length = in.u64();
        if (in.failed()) {
            return false;
        }
        if (tag <= previous) {
            return in.fail(tag_at, "query field tag " + std::to_string(tag) + " after tag " +
                                       std::to_string(previous) +
                                       " (fields come once each, in ascending tag order)");
        }
        previous = tag;
        const std::uint64_t begin = in.position();
        if (length > in.left()) {
            return in.fail(tag_at + 2, "query field " + std::to_string(tag) + " of " +
                                           std::to_string(length) + " bytes runs past the end (" +
                                           std::to_string(in.left()) + " bytes left)");
        }
        // The field's value is read with a reader of its own bytes, which it must fill.
        bool known = false;
        query_fields(query, [&](std::uint16_t field_tag, std::string_view name, auto& value) {
            if (field_tag != tag || in.failed()) {
                return;
            }
            known = true;
            ByteReader field(in.input(), begin, begin + length);
            if (get(field, value) && field.left() != 0) {
                field.fail(field.position(),
                           std::to_string(field.left()) + " bytes left over after the value");
            }
            if (field.failed()) {
                in.fail(field.error_offset(),
                        "query field " + std::string(name) + ": " + field.error());
            }
        });
        if (in.failed()) {
            return false;
        }
        if (!known) {
            return in.fail(tag_at, "unknown query field tag " + std::to_string(tag) +
                                       " (written by a newer version of vorn_profile?)");
        }
        in.skip(length);
    }
    return !in.failed();
}

std::optional<std::string_view> query_difference(const Query& left, const Query& right) {
    const EncodedFields a = encode_fields(left);
    const EncodedFields b = encode_fields(right);
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        if (a.values[i] != b.values[i]) {
            return a.names[i];
        }
    }
    return std::nullopt;
}

}  // namespace vorn_profile::detail

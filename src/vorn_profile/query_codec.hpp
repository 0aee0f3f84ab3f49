// A query as bytes, for the serialized partial report: every field of `Query` is listed once, in
// query_codec.cpp, and encoding, decoding and comparing all follow that list.
#pragma once

#include <optional>
#include <string_view>

#include "byte_codec.hpp"
#include "vorn_profile/query.hpp"

namespace vorn_profile::detail {

/// Appends `query`: a count of fields, then per field its tag, the length of its value in
/// bytes and the value.
void encode_query(ByteWriter& out, const Query& query);

/// Reads a query written by `encode_query` into `query` (fields not in the bytes keep their
/// defaults); false, with the reader's error set, for bytes that are not one.
bool decode_query(ByteReader& in, Query& query);

/// The name of the first field in which `left` and `right` differ, or nothing when they are
/// the same query.
std::optional<std::string_view> query_difference(const Query& left, const Query& right);

/// Whether `text` is valid UTF-8, as every text of a profile is.
bool valid_utf8(std::string_view text);

}  // namespace vorn_profile::detail

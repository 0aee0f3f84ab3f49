// Text forms of numbers and strings shared by every rendering: the tables, the JSON, the
// report page and the traces.
#pragma once

#include <string>
#include <string_view>

namespace vorn_view {

/// Fixed-point text with `decimals` digits after the point.
std::string fixed(double value, int decimals);

/// The shortest text that reads back as the same double, with ".0" added when it would look
/// like an integer: 2.0, 1.6666666666666667, 0.0, 1e+20.
std::string shortest_double(double value);

/// Appends `shortest_double(value)` to `out`.
void append_shortest_double(std::string& out, double value);

/// `text` as a JSON string literal (RFC 8259), quotes included.
std::string json_string(std::string_view text);

/// Appends `json_string(text)` to `out`.
void append_json_string(std::string& out, std::string_view text);

}  // namespace vorn_view
